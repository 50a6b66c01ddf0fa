// The Linux side of the pty bridge: a pseudo-terminal in packet mode with extended
// processing, so that every change a program makes to the terminal's settings is
// reported to the master, and the settings it can carry as line settings.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>

#include "line.h"

namespace vcomusb {

// What a terminal's termios asks of a serial port.
struct TermiosRequest {
    LineSettings line;  // 8 data bits without parity on a pty; the flow as RTS/CTS wins over XON/XOFF
    bool rtsCts = false;
    bool outX = false;    // IXON: stop sending on XOFF
    bool inX = false;     // IXOFF: send XOFF when the input fills
    bool hangup = false;  // B0: drop DTR
    uint8_t xonChar = 0x11;
    uint8_t xoffChar = 0x13;

    bool operator==(const TermiosRequest&) const = default;
};

TermiosRequest FromTermios(const struct termios& t);
std::string Describe(const TermiosRequest& request);
// Bits per second of a termios speed code; 0 for B0 or an unknown code.
uint32_t SpeedOf(speed_t code);
// The termios speed code of a rate; false when termios has none.
bool SpeedCode(uint32_t baud, speed_t* out);

class Pty {
public:
    Pty() = default;
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Opens a new pseudo-terminal: the slave in raw mode at `baud` with EXTPROC set,
    // and the master non-blocking in packet mode. The bridge keeps a descriptor of the
    // slave open itself, so that the master does not read end-of-file (EIO) while no
    // program has the terminal open.
    bool Open(uint32_t baud, std::string* error);
    int Master() const { return master_; }
    const std::string& SlavePath() const { return path_; }
    // The slave's settings, read through the master.
    bool Settings(struct termios* out) const;
    // Sets the slave's baud rate back (after the port refused a rate), and EXTPROC
    // again when a program cleared it: without it no further change would be reported.
    bool SetBaud(uint32_t baud);
    bool KeepExtproc();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

}  // namespace vcomusb
