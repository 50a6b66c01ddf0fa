#include "port.h"

// The serial interface's control codes and records (ntddser.h) come with the
// emulation's kernel headers, which go before windows.h.
#include "hostkernel/ntddser.h"
#include <windows.h>

namespace vcomusb {
namespace {

struct ErrorEntry {
    DWORD code;
    const char* name;
};
const ErrorEntry kErrors[] = {
    {ERROR_SUCCESS, "ERROR_SUCCESS"},
    {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
    {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
    {ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION"},
    {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
    {ERROR_SEM_TIMEOUT, "ERROR_SEM_TIMEOUT"},
    {ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER"},
    {ERROR_INVALID_NAME, "ERROR_INVALID_NAME"},
    {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED"},
    {ERROR_IO_INCOMPLETE, "ERROR_IO_INCOMPLETE"},
    {ERROR_IO_PENDING, "ERROR_IO_PENDING"},
    {ERROR_IO_DEVICE, "ERROR_IO_DEVICE"},
    {ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED"},
    {ERROR_NOT_FOUND, "ERROR_NOT_FOUND"},
    {ERROR_CANCELLED, "ERROR_CANCELLED"},
    {ERROR_TIMEOUT, "ERROR_TIMEOUT"},
    {ERROR_DEVICE_REMOVED, "ERROR_DEVICE_REMOVED"},
};

char ParityLetter(BYTE parity)
{
    switch (parity) {
    case ODDPARITY: return 'O';
    case EVENPARITY: return 'E';
    case MARKPARITY: return 'M';
    case SPACEPARITY: return 'S';
    default: return 'N';
    }
}

BYTE ParityCode(char letter)
{
    switch (letter) {
    case 'O': return ODDPARITY;
    case 'E': return EVENPARITY;
    case 'M': return MARKPARITY;
    case 'S': return SPACEPARITY;
    default: return NOPARITY;
    }
}

// The frame and the flow control of `line` into a DCB read from the port.
void Fill(DCB* dcb, const LineSettings& line)
{
    dcb->BaudRate = line.baud;
    dcb->ByteSize = (BYTE)line.dataBits;
    dcb->Parity = ParityCode(line.parity);
    dcb->fParity = line.parity != 'N';
    dcb->StopBits = line.stopTenths == 15 ? ONE5STOPBITS : line.stopTenths == 20 ? TWOSTOPBITS : ONESTOPBIT;
    dcb->fBinary = TRUE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDsrSensitivity = FALSE;
    dcb->fOutxCtsFlow = line.flow == Flow::RtsCts;
    dcb->fRtsControl = line.flow == Flow::RtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb->fOutX = dcb->fInX = line.flow == Flow::XonXoff;
    // The driver keeps no flow characters until told; XON/XOFF needs two distinct ones.
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x13;
}

}  // namespace

std::string Win32ErrorName(uint32_t error)
{
    for (const auto& e : kErrors)
        if (e.code == error) return std::string(e.name) + " (" + std::to_string(error) + ")";
    return "error " + std::to_string(error);
}

std::string LastError() { return Win32ErrorName(GetLastError()); }

Port::~Port() { Close(); }

bool Port::Open(const std::string& name, uint32_t pollMs, std::string* error)
{
    name_ = name;
    std::string path = "\\\\.\\" + name;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = "CreateFile " + name + ": " + LastError();
        return false;
    }
    handle_ = h;
    readEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    writeEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ioctlEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!readEvent_ || !writeEvent_ || !ioctlEvent_) {
        *error = "CreateEvent: " + LastError();
        Close();
        return false;
    }
    COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, pollMs, 0, 0};
    if (!SetCommTimeouts(h, &t)) {
        *error = "SetCommTimeouts on " + name + ": " + LastError();
        Close();
        return false;
    }
    return true;
}

void Port::Close()
{
    if (handle_) CloseHandle(handle_);
    if (readEvent_) CloseHandle(readEvent_);
    if (writeEvent_) CloseHandle(writeEvent_);
    if (ioctlEvent_) CloseHandle(ioctlEvent_);
    handle_ = readEvent_ = writeEvent_ = ioctlEvent_ = nullptr;
}

bool Port::Apply(const LineSettings& line, std::string* error)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) return *error = "GetCommState: " + LastError(), false;
    Fill(&dcb, line);
    if (!SetCommState(handle_, &dcb)) return *error = "SetCommState: " + LastError(), false;
    return true;
}

bool Port::Apply(const TermiosRequest& request, std::string* error)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) return *error = "GetCommState: " + LastError(), false;
    LineSettings line = request.line;
    if (request.hangup) line.baud = dcb.BaudRate;  // B0 keeps the rate and drops DTR
    Fill(&dcb, line);
    dcb.fOutxCtsFlow = request.rtsCts;
    dcb.fRtsControl = request.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = request.outX;
    dcb.fInX = request.inX;
    if (request.xonChar != request.xoffChar) {
        dcb.XonChar = (char)request.xonChar;
        dcb.XoffChar = (char)request.xoffChar;
    }
    dcb.fDtrControl = request.hangup ? DTR_CONTROL_DISABLE : DTR_CONTROL_ENABLE;
    if (!SetCommState(handle_, &dcb)) return *error = "SetCommState: " + LastError(), false;
    return true;
}

bool Port::Status(PortStatus* out)
{
    PortStatus st;
    DWORD modem = 0, errors = 0;
    COMSTAT comstat{};
    if (!GetCommModemStatus(handle_, &modem) || !ClearCommError(handle_, &errors, &comstat)) return false;
    st.cts = modem & MS_CTS_ON;
    st.dsr = modem & MS_DSR_ON;
    st.dcd = modem & MS_RLSD_ON;
    st.ring = modem & MS_RING_ON;
    st.errors = errors;
    st.inQueue = comstat.cbInQue;
    st.outQueue = comstat.cbOutQue;
    // Two device controls, as an application that includes ntddser.h sends them.
    std::lock_guard<std::mutex> g(ioctlLock_);
    auto ioctl = [&](DWORD code, void* buffer, DWORD length) {
        OVERLAPPED ov{};
        ov.hEvent = ioctlEvent_;
        DWORD n = 0;
        BOOL ok = DeviceIoControl(handle_, code, nullptr, 0, buffer, length, &n, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(handle_, &ov, &n, TRUE);
        return ok && n == length;
    };
    ULONG lines = 0;
    SERIALPERF_STATS stats{};
    if (!ioctl(IOCTL_SERIAL_GET_DTRRTS, &lines, sizeof lines) || !ioctl(IOCTL_SERIAL_GET_STATS, &stats, sizeof stats))
        return false;
    st.dtr = lines & SERIAL_DTR_STATE;
    st.rts = lines & SERIAL_RTS_STATE;
    st.received = stats.ReceivedCount;
    st.transmitted = stats.TransmittedCount;
    *out = st;
    return true;
}

bool Port::SetDtr(bool on) { return EscapeCommFunction(handle_, on ? SETDTR : CLRDTR); }
bool Port::SetRts(bool on) { return EscapeCommFunction(handle_, on ? SETRTS : CLRRTS); }

bool Port::SendBreak(uint32_t ms)
{
    if (!SetCommBreak(handle_)) return false;
    Sleep(ms);
    return ClearCommBreak(handle_);
}

bool Port::PurgeInput(bool abortReads)
{
    return PurgeComm(handle_, PURGE_RXCLEAR | (abortReads ? PURGE_RXABORT : 0));
}

bool Port::PurgeOutput(bool abortWrites)
{
    return PurgeComm(handle_, PURGE_TXCLEAR | (abortWrites ? PURGE_TXABORT : 0));
}

bool Port::Current(LineSettings* out, std::string* error) const
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) {
        if (error) *error = "GetCommState: " + LastError();
        return false;
    }
    LineSettings line;
    line.baud = dcb.BaudRate;
    line.dataBits = dcb.ByteSize;
    line.parity = ParityLetter(dcb.Parity);
    line.stopTenths = dcb.StopBits == ONE5STOPBITS ? 15 : dcb.StopBits == TWOSTOPBITS ? 20 : 10;
    line.flow = (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) ? Flow::RtsCts
                : (dcb.fOutX || dcb.fInX)                                      ? Flow::XonXoff
                                                                               : Flow::None;
    *out = line;
    return true;
}

namespace {
bool Overlapped(HANDLE h, HANDLE event, bool read, void* buffer, uint32_t length, uint32_t* count, std::string* error)
{
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD n = 0;
    BOOL ok = read ? ReadFile(h, buffer, length, &n, &ov) : WriteFile(h, buffer, length, &n, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(h, &ov, &n, TRUE);
    *count = n;
    if (!ok) *error = std::string(read ? "ReadFile: " : "WriteFile: ") + LastError();
    return ok;
}
}  // namespace

bool Port::Read(void* buffer, uint32_t length, uint32_t* got, std::string* error)
{
    return Overlapped(handle_, readEvent_, true, buffer, length, got, error);
}

bool Port::Write(const void* data, uint32_t length, uint32_t* done, std::string* error)
{
    return Overlapped(handle_, writeEvent_, false, const_cast<void*>(data), length, done, error);
}

}  // namespace vcomusb
