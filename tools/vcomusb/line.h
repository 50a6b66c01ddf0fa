// Line settings as a person states them ("9600 8N1 RTS/CTS"), independent of the
// Win32 records and of the adapter's command bytes, so that the command line, the
// pty's termios and the adapter's configuration can be compared and printed alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vcomusb {

enum class Flow { None, RtsCts, XonXoff };

struct LineSettings {
    uint32_t baud = 115200;
    int dataBits = 8;     // 5 to 8
    char parity = 'N';    // N, E, O, M, S
    int stopTenths = 10;  // 10, 15 or 20: one, one and a half or two stop bits
    Flow flow = Flow::None;

    bool operator==(const LineSettings&) const = default;
};

// "9600 8N1", "115200 7E2 RTS/CTS", "4800 5N1.5 XON/XOFF".
std::string Describe(const LineSettings& line);
const char* FlowName(Flow flow);

// How the adapter's port commands read: each payload (selector and arguments) as
// one line, e.g. "line configuration 9600 8N1 RTS/CTS", "modem control: DTR on,
// RTS off", "port enabled".
std::string DescribePortCommand(const std::vector<uint8_t>& payload);
// The line settings a line-configuration command carries (selector 0, in either of
// the adapter's two forms); false for any other payload or a malformed one.
bool DecodeLineConfig(const std::vector<uint8_t>& payload, LineSettings* out);

// Bytes as a person reads them: the count, the text with C escapes for what is not
// printable and, for short runs, the hex, e.g. `5 bytes "hi\r\n\0" (68 69 0d 0a 00)`.
std::string DescribeBytes(const uint8_t* data, size_t length);
inline std::string DescribeBytes(const std::vector<uint8_t>& bytes) { return DescribeBytes(bytes.data(), bytes.size()); }

}  // namespace vcomusb
