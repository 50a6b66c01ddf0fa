// A COM port as the tool's commands use it: opened through the Win32 comm API with
// FILE_FLAG_OVERLAPPED, so that one thread can wait in ReadFile while another
// writes, with the line settings given as the tool's LineSettings.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "line.h"
#include "pty_termios.h"

namespace vcomusb {

// "ERROR_INVALID_PARAMETER (87)"
std::string Win32ErrorName(uint32_t error);
// The calling thread's last error, named.
std::string LastError();

// What the term command's status line shows.
struct PortStatus {
    bool cts = false, dsr = false, dcd = false, ring = false;  // the modem input lines
    bool dtr = false, rts = false;                             // the port's own lines
    uint32_t errors = 0;                                       // CE_* since the last look
    uint32_t inQueue = 0, outQueue = 0;
    uint32_t received = 0, transmitted = 0;
};

class Port {
public:
    Port() = default;
    ~Port();  // Close()
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // Opens "COMn" for reading and writing; reads return as soon as one byte has come,
    // or with nothing after `pollMs`, so that a reader can look at a stop flag.
    bool Open(const std::string& name, uint32_t pollMs, std::string* error);
    void Close();
    bool IsOpen() const { return handle_ != nullptr; }
    void* Handle() const { return handle_; }
    const std::string& Name() const { return name_; }

    // Sets the frame and the flow control and keeps the port's other settings; a
    // refusal names the call that failed and its error.
    bool Apply(const LineSettings& line, std::string* error);
    bool Apply(const TermiosRequest& request, std::string* error);
    bool Current(LineSettings* out, std::string* error = nullptr) const;

    // Safe from several threads.
    bool Status(PortStatus* out);
    bool SetDtr(bool on);
    bool SetRts(bool on);
    // A break condition of `ms` milliseconds.
    bool SendBreak(uint32_t ms);

    // PurgeComm: the input queue and reads, the output queue and writes.
    bool PurgeInput(bool abortReads = false);
    bool PurgeOutput(bool abortWrites = false);

    // Overlapped request waited for; false with the error named.
    bool Read(void* buffer, uint32_t length, uint32_t* got, std::string* error);
    bool Write(const void* data, uint32_t length, uint32_t* done, std::string* error);

private:
    void* handle_ = nullptr;
    void* readEvent_ = nullptr;
    void* writeEvent_ = nullptr;
    void* ioctlEvent_ = nullptr;
    std::mutex ioctlLock_;  // one device control at a time on ioctlEvent_
    std::string name_;
};

}  // namespace vcomusb
