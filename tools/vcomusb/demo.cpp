// `vcomusb demo`: one application session on a port whose adapter has its loopback
// plug in, told step by step at three levels: the Win32 call and its result, the
// requests the Win32 library sent the driver, and what the adapter received.
#include <cstdarg>
#include <cstring>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "vcomsim.h"
#include "wmi/wmi_guids.h"
// After the emulation's headers (see windows.h).
#include <windows.h>

#include "commands.h"
#include "line.h"
#include "port.h"

namespace vcomusb {
namespace {

const char kPort[] = "COM5";

class Demo {
public:
    int Run();

private:
    // ---- Output -------------------------------------------------------------------
    void Section(const char* title) { std::printf("\n== %s\n", title); }
    // What the application called and what came of it.
    void App(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Note(const std::string& text) { std::printf("           %s\n", text.c_str()); }
    // Checks one expectation of a step; a failed one is reported and fails the demo.
    bool Expect(bool ok, const std::string& what);
    // The requests the Win32 library sent since the last call, and the port commands
    // and transmitted bytes the adapter received since then.
    void ShowEffects();
    // Forgets what was sent since the last ShowEffects (reads that prepare a call).
    void DiscardEffects();
    void ShowAdapterData();

    // ---- Steps --------------------------------------------------------------------
    bool Load();
    bool Open();
    bool Settings();
    bool Data();
    bool Lines();
    bool Statistics();
    bool Wmi();
    bool Purge();
    void Close();
    void Remove();
    bool Report();

    bool SetLine(const LineSettings& line);
    bool CheckAdapterLine(const LineSettings& line);
    bool ToggleAndWait(DWORD function, const char* name, DWORD events, const char* eventNames, DWORD modemOn,
                       DWORD modemOff);
    bool WaitOverlapped(OVERLAPPED* ov, DWORD* count, DWORD timeoutMs, const char* what);
    bool Transfer(bool read, void* buffer, DWORD length, DWORD* count);

    vcomsim::Simulation* sim_ = nullptr;
    vcomsim::Port* port_ = nullptr;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    int failures_ = 0;

    struct Sent {
        std::string name;
        size_t commandsBefore;  // how many port commands the adapter had received when it was sent
    };
    std::mutex requestsLock_;
    std::vector<Sent> requests_;
    size_t commandsSeen_ = 0;
    size_t outBytesSeen_ = 0;
    std::vector<uint8_t> written_;
};

void Demo::App(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::printf("app        %s\n", text);
}

bool Demo::Expect(bool ok, const std::string& what)
{
    if (!ok) {
        std::printf("FAILED     %s\n", what.c_str());
        ++failures_;
    }
    return ok;
}

std::string RequestName(const vcomsim::SentRequest& r)
{
    switch (r.major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_FLUSH_BUFFERS: return "IRP_MJ_FLUSH_BUFFERS";
    case IRP_MJ_READ: return "IRP_MJ_READ(" + std::to_string(r.outputLength) + ")";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE(" + std::to_string(r.input.size()) + ")";
    case IRP_MJ_DEVICE_CONTROL: {
        const char* name = vcomsim::IoctlName(r.ioctl);
        char code[16];
        std::snprintf(code, sizeof code, "0x%08x", (unsigned)r.ioctl);
        std::string s = name ? name : code;
        const char* prefix = "IOCTL_SERIAL_";
        if (s.rfind(prefix, 0) == 0) s = s.substr(std::string(prefix).size());
        return s;
    }
    default: return "major function " + std::to_string(r.major);
    }
}

void Demo::ShowEffects()
{
    std::vector<Sent> sent;
    {
        std::lock_guard<std::mutex> g(requestsLock_);
        sent.swap(requests_);
    }
    auto commands = port_->Sim().Commands();
    // The port commands each request caused follow it; requests that caused none share
    // a line.
    std::string quiet;
    auto flush = [&] {
        if (!quiet.empty()) std::printf("  driver   %s\n", quiet.c_str());
        quiet.clear();
    };
    auto adapter = [&](size_t end) {
        for (; commandsSeen_ < end && commandsSeen_ < commands.size(); ++commandsSeen_)
            std::printf("  adapter    %s\n", DescribePortCommand(commands[commandsSeen_]).c_str());
    };
    adapter(sent.empty() ? commands.size() : sent[0].commandsBefore);
    for (size_t i = 0; i < sent.size(); ++i) {
        size_t end = i + 1 < sent.size() ? sent[i + 1].commandsBefore : commands.size();
        if (end > commandsSeen_) {
            flush();
            std::printf("  driver   %s\n", sent[i].name.c_str());
            adapter(end);
        } else {
            if (quiet.size() + sent[i].name.size() > 84) {
                quiet += ",";
                flush();
            }
            quiet += (quiet.empty() ? "" : ", ") + sent[i].name;
        }
    }
    flush();
}

void Demo::DiscardEffects()
{
    std::lock_guard<std::mutex> g(requestsLock_);
    requests_.clear();
    commandsSeen_ = port_->Sim().Commands().size();
}

void Demo::ShowAdapterData()
{
    auto out = port_->Sim().OutBytes();
    if (outBytesSeen_ < out.size()) {
        std::printf("  adapter  sent on TX: %s\n",
                    DescribeBytes(out.data() + outBytesSeen_, out.size() - outBytesSeen_).c_str());
        written_.assign(out.begin() + (long)outBytesSeen_, out.end());
        outBytesSeen_ = out.size();
    }
}

// ---- Steps ------------------------------------------------------------------------

bool Demo::Load()
{
    Section("The driver in the kernel emulation, one adapter with its loopback plug in");
    NTSTATUS status = sim_->LoadStatus();
    std::printf("system     DriverEntry -> 0x%08x\n", (unsigned)status);
    if (!Expect(NT_SUCCESS(status), "DriverEntry failed")) return false;

    vcomsim::PortOptions options;
    options.name = u"COM5";
    // The three-byte line configuration, a status pipe for the modem lines, buffered writes.
    options.registry = {hk::RegistryValue::Dword(u"EndPointCaps", 3), hk::RegistryValue::Dword(u"TxAsync", 1)};
    options.loopback = true;
    options.pacing = true;
    port_ = &sim_->AddPort(options);
    std::printf("system     adapter %s, PortName %s, EndPointCaps 3, TxAsync 1; loopback plug: TX to RX,\n"
                "           RTS to CTS, DTR to DSR and DCD; writes paced at the baud rate\n",
                "USB\\VID_0403&PID_6001", kPort);
    std::printf("system     AddDevice -> 0x%08x\n", (unsigned)port_->AddStatus());
    if (!Expect(NT_SUCCESS(port_->AddStatus()), "AddDevice failed")) return false;
    std::printf("system     IRP_MN_START_DEVICE -> 0x%08x\n", (unsigned)port_->StartStatus());
    if (!Expect(port_->Started(), "the device did not start")) return false;
    bool linked = hk::names::LinkExists(u"\\DosDevices\\COM5");
    Note(linked ? "\\DosDevices\\COM5 names the port" : "no \\DosDevices\\COM5");
    ShowEffects();
    return Expect(linked, "the port has no DOS name") &&
           Expect(port_->Sim().Commands().empty(), "the adapter was sent commands before the port was opened");
}

bool Demo::Open()
{
    Section("Open the port");
    handle_ = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                          nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        App("CreateFileA(\"\\\\.\\COM5\", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED) "
            "failed: %s",
            LastError().c_str());
        return Expect(false, "the port did not open");
    }
    App("CreateFileA(\"\\\\.\\COM5\", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED)"
        " -> a handle");
    ShowEffects();
    pipesim::AdapterState a = port_->Sim().Adapter();
    bool ok = Expect(a.portEnabled, "the adapter's port was not enabled") &&
              Expect(a.dtr && a.rts, "the open did not raise DTR and RTS");

    // A second open of an exclusive device is refused.
    HANDLE second = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD error = GetLastError();
    App("CreateFileA(\"COM5\", ...) again -> %s", second == INVALID_HANDLE_VALUE ? Win32ErrorName(error).c_str() : "a handle");
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
    ShowEffects();
    ok = Expect(second == INVALID_HANDLE_VALUE && error == ERROR_ACCESS_DENIED,
                "a second open of the port was not refused with ERROR_ACCESS_DENIED") && ok;

    event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return Expect(event_ != nullptr, "CreateEvent failed") && ok;
}

bool Demo::CheckAdapterLine(const LineSettings& line)
{
    pipesim::LineConfig c = port_->Sim().Adapter().line;
    LineSettings got;
    got.baud = c.baud;
    got.dataBits = c.dataBits;
    got.stopTenths = c.stopBits == 2 ? 20 : 10;
    got.parity = c.parity == pipesim::Parity::Even ? 'E' : c.parity == pipesim::Parity::Odd ? 'O' : 'N';
    got.flow = c.rtsCts ? Flow::RtsCts : c.xonXoff ? Flow::XonXoff : Flow::None;
    return Expect(c.form != 0 && got == line,
                  "the adapter's line configuration is " + (c.form ? Describe(got) : std::string("unset")) +
                      ", not " + Describe(line));
}

bool Demo::SetLine(const LineSettings& line)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) return Expect(false, "GetCommState failed: " + LastError());
    DiscardEffects();
    dcb.BaudRate = line.baud;
    dcb.ByteSize = (BYTE)line.dataBits;
    dcb.Parity = NOPARITY;
    dcb.StopBits = line.stopTenths == 20 ? TWOSTOPBITS : ONESTOPBIT;
    // kernel32 drives DTR as fDtrControl says; the driver's default handshake reads
    // back as DTR_CONTROL_DISABLE, which would drop the DTR the open raised.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = line.flow == Flow::RtsCts;
    dcb.fRtsControl = line.flow == Flow::RtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = line.flow == Flow::XonXoff;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    const char* flow = line.flow == Flow::RtsCts    ? "fOutxCtsFlow = TRUE, fRtsControl = RTS_CONTROL_HANDSHAKE"
                       : line.flow == Flow::XonXoff ? "fOutX = fInX = TRUE, XonChar 0x11, XoffChar 0x13"
                                                    : "no flow control";
    BOOL ok = SetCommState(handle_, &dcb);
    App("SetCommState(BaudRate %u, ByteSize %u, NOPARITY, %s, %s) -> %s", (unsigned)dcb.BaudRate,
        (unsigned)dcb.ByteSize, line.stopTenths == 20 ? "TWOSTOPBITS" : "ONESTOPBIT", flow,
        ok ? "TRUE" : LastError().c_str());
    ShowEffects();
    if (!Expect(ok, "SetCommState failed")) return false;
    LineSettings now;
    std::string error;
    DCB back{};
    back.DCBlength = sizeof back;
    bool got = GetCommState(handle_, &back);
    App("GetCommState -> %s", got ? (std::to_string(back.BaudRate) + " baud, " + std::to_string(back.ByteSize) +
                                     " data bits, fOutxCtsFlow " + std::to_string(back.fOutxCtsFlow) + ", fOutX " +
                                     std::to_string(back.fOutX))
                                        .c_str()
                                  : LastError().c_str());
    ShowEffects();
    return Expect(got && back.BaudRate == line.baud && back.fOutxCtsFlow == dcb.fOutxCtsFlow && back.fOutX == dcb.fOutX,
                  "GetCommState does not return what SetCommState set") &&
           CheckAdapterLine(line);
}

bool Demo::Settings()
{
    Section("Line settings and timeouts");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    BOOL got = GetCommState(handle_, &dcb);
    App("GetCommState -> %s", got ? (std::to_string(dcb.BaudRate) + " baud, " + std::to_string(dcb.ByteSize) +
                                     " data bits, parity " + std::to_string(dcb.Parity) + ", stop bits code " +
                                     std::to_string(dcb.StopBits) + " (the driver's defaults)")
                                        .c_str()
                                  : LastError().c_str());
    ShowEffects();
    if (!Expect(got && dcb.BaudRate == 115200 && dcb.ByteSize == 8, "GetCommState did not return 115200 8N1"))
        return false;

    LineSettings line;
    line.baud = 9600;
    line.flow = Flow::RtsCts;
    if (!SetLine(line)) return false;

    // A rate the driver does not take is refused, and the port keeps its rate.
    DCB bad = dcb;
    GetCommState(handle_, &bad);
    DiscardEffects();
    bad.BaudRate = 57600;
    BOOL ok = SetCommState(handle_, &bad);
    DWORD error = GetLastError();
    App("SetCommState(BaudRate 57600, ...) -> %s", ok ? "TRUE" : Win32ErrorName(error).c_str());
    ShowEffects();
    if (!Expect(!ok && error == ERROR_INVALID_PARAMETER, "57600 baud was not refused with ERROR_INVALID_PARAMETER"))
        return false;
    if (!CheckAdapterLine(line)) return false;
    Note("the driver takes 600, 1200, 2400, 4800, 9600, 19200, 38400, 76800 and 115200 baud");

    COMMTIMEOUTS t = {50, 10, 5000, 10, 5000};
    ok = SetCommTimeouts(handle_, &t);
    App("SetCommTimeouts(ReadInterval 50, ReadTotal 10 x n + 5000, WriteTotal 10 x n + 5000 ms) -> %s",
        ok ? "TRUE" : LastError().c_str());
    ShowEffects();
    COMMTIMEOUTS back{};
    BOOL read = GetCommTimeouts(handle_, &back);
    App("GetCommTimeouts -> %s", read ? (std::to_string(back.ReadIntervalTimeout) + ", " +
                                         std::to_string(back.ReadTotalTimeoutMultiplier) + ", " +
                                         std::to_string(back.ReadTotalTimeoutConstant) + ", " +
                                         std::to_string(back.WriteTotalTimeoutMultiplier) + ", " +
                                         std::to_string(back.WriteTotalTimeoutConstant))
                                            .c_str()
                                      : LastError().c_str());
    ShowEffects();
    return Expect(ok && read && std::memcmp(&t, &back, sizeof t) == 0, "the timeouts did not take");
}

bool Demo::WaitOverlapped(OVERLAPPED* ov, DWORD* count, DWORD timeoutMs, const char* what)
{
    // Bounded, so that a request that never completes fails the step instead of
    // hanging the demo.
    if (WaitForSingleObject(ov->hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(handle_, ov);
        GetOverlappedResult(handle_, ov, count, TRUE);
        return Expect(false, std::string(what) + " did not complete within " + std::to_string(timeoutMs) + " ms");
    }
    BOOL ok = GetOverlappedResult(handle_, ov, count, FALSE);
    if (!ok) return Expect(false, std::string(what) + " failed: " + LastError());
    return true;
}

bool Demo::Transfer(bool read, void* buffer, DWORD length, DWORD* count)
{
    OVERLAPPED ov{};
    ov.hEvent = event_;
    ResetEvent(event_);
    *count = 0;
    const char* name = read ? "ReadFile" : "WriteFile";
    BOOL ok = read ? ReadFile(handle_, buffer, length, count, &ov) : WriteFile(handle_, buffer, length, count, &ov);
    if (ok) {
        App("%s(%u bytes) -> TRUE, %u bytes at once", name, (unsigned)length, (unsigned)*count);
        return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        App("%s(%u bytes) -> %s", name, (unsigned)length, LastError().c_str());
        return Expect(false, std::string(name) + " failed");
    }
    App("%s(%u bytes) -> ERROR_IO_PENDING", name, (unsigned)length);
    if (!WaitOverlapped(&ov, count, 10000, name)) return false;
    App("GetOverlappedResult -> TRUE, %u bytes", (unsigned)*count);
    return true;
}

bool Demo::Data()
{
    Section("Write, and read back through the loopback plug");
    const char message[] = "Hello from COM5 at 9600 baud!\r\n";
    DWORD length = sizeof message - 1, count = 0;
    if (!Transfer(false, (void*)message, length, &count)) return false;
    ShowEffects();
    if (!Expect(count == length, "the write did not complete with every byte")) return false;

    std::vector<char> in(length);
    if (!Transfer(true, in.data(), length, &count)) return false;
    ShowEffects();
    ShowAdapterData();
    if (count == length)
        Note("read back: " + DescribeBytes((const uint8_t*)in.data(), count));
    return Expect(count == length && std::string(in.data(), count) == std::string(message, length),
                  "the bytes read back are not the bytes written") &&
           Expect(written_ == std::vector<uint8_t>(message, message + length),
                  "the adapter did not transmit exactly the bytes written");
}

bool Demo::ToggleAndWait(DWORD function, const char* name, DWORD events, const char* eventNames, DWORD modemOn,
                         DWORD modemOff)
{
    DWORD mask = 0, count = 0;
    OVERLAPPED ov{};
    ov.hEvent = event_;
    ResetEvent(event_);
    BOOL waiting = WaitCommEvent(handle_, &mask, &ov);
    if (waiting || GetLastError() != ERROR_IO_PENDING) {
        App("WaitCommEvent -> %s", waiting ? "TRUE at once" : LastError().c_str());
        return Expect(false, "WaitCommEvent did not wait");
    }
    App("WaitCommEvent -> ERROR_IO_PENDING");
    ShowEffects();
    BOOL ok = EscapeCommFunction(handle_, function);
    App("EscapeCommFunction(%s) -> %s", name, ok ? "TRUE" : LastError().c_str());
    ShowEffects();
    if (!Expect(ok, std::string("EscapeCommFunction(") + name + ") failed")) {
        CancelIoEx(handle_, &ov);
        GetOverlappedResult(handle_, &ov, &count, TRUE);
        return false;
    }
    if (!WaitOverlapped(&ov, &count, 5000, "WaitCommEvent")) return false;
    std::string seen;
    const std::pair<DWORD, const char*> names[] = {{EV_CTS, "EV_CTS"}, {EV_DSR, "EV_DSR"}, {EV_RLSD, "EV_RLSD"}};
    for (const auto& n : names)
        if (mask & n.first) seen += std::string(seen.empty() ? "" : " | ") + n.second;
    App("GetOverlappedResult -> events %s", seen.empty() ? "none" : seen.c_str());
    ShowEffects();
    DWORD status = 0;
    BOOL got = GetCommModemStatus(handle_, &status);
    auto on = [&](DWORD bit) { return (status & bit) ? "on" : "off"; };
    App("GetCommModemStatus -> CTS %s, DSR %s, DCD (RLSD) %s, RI %s", on(MS_CTS_ON), on(MS_DSR_ON), on(MS_RLSD_ON),
        on(MS_RING_ON));
    ShowEffects();
    return Expect((mask & events) == events, std::string("the wait did not report ") + eventNames) &&
           Expect(got && (status & modemOn) == modemOn && (status & modemOff) == 0,
                  "the modem status does not show the loopback plug's lines");
}

bool Demo::Lines()
{
    Section("Modem lines over the loopback plug");
    // While the RTS/CTS handshake owns RTS the application cannot drive it.
    BOOL ok = EscapeCommFunction(handle_, CLRRTS);
    DWORD error = GetLastError();
    App("EscapeCommFunction(CLRRTS) -> %s", ok ? "TRUE" : Win32ErrorName(error).c_str());
    ShowEffects();
    if (!Expect(!ok && error == ERROR_INVALID_PARAMETER, "CLRRTS was not refused while the handshake owns RTS"))
        return false;
    Note("the RTS/CTS handshake owns RTS; XON/XOFF instead leaves RTS to the application");
    LineSettings line;
    line.baud = 9600;
    line.flow = Flow::XonXoff;
    if (!SetLine(line)) return false;

    ok = SetCommMask(handle_, EV_CTS | EV_DSR | EV_RLSD);
    App("SetCommMask(EV_CTS | EV_DSR | EV_RLSD) -> %s", ok ? "TRUE" : LastError().c_str());
    ShowEffects();
    if (!Expect(ok, "SetCommMask failed")) return false;
    return ToggleAndWait(CLRRTS, "CLRRTS", EV_CTS, "EV_CTS", MS_DSR_ON | MS_RLSD_ON, MS_CTS_ON) &&
           ToggleAndWait(SETRTS, "SETRTS", EV_CTS, "EV_CTS", MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, 0) &&
           ToggleAndWait(CLRDTR, "CLRDTR", EV_DSR | EV_RLSD, "EV_DSR and EV_RLSD", MS_CTS_ON, MS_DSR_ON | MS_RLSD_ON) &&
           ToggleAndWait(SETDTR, "SETDTR", EV_DSR | EV_RLSD, "EV_DSR and EV_RLSD", MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON, 0);
}

bool Demo::Statistics()
{
    Section("Statistics and status");
    SERIALPERF_STATS stats{};
    DWORD returned = 0;
    OVERLAPPED ov{};
    ov.hEvent = event_;
    ResetEvent(event_);
    BOOL ok = DeviceIoControl(handle_, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats, &returned, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = WaitOverlapped(&ov, &returned, 5000, "IOCTL_SERIAL_GET_STATS");
    App("DeviceIoControl(IOCTL_SERIAL_GET_STATS) -> %s", ok ? (std::to_string(returned) + " bytes: received " +
                                                               std::to_string(stats.ReceivedCount) + ", transmitted " +
                                                               std::to_string(stats.TransmittedCount) + ", errors " +
                                                               std::to_string(stats.FrameErrorCount) + " framing, " +
                                                               std::to_string(stats.SerialOverrunErrorCount) +
                                                               " overrun, " +
                                                               std::to_string(stats.BufferOverrunErrorCount) +
                                                               " buffer overrun, " +
                                                               std::to_string(stats.ParityErrorCount) + " parity")
                                                                  .c_str()
                                                            : LastError().c_str());
    ShowEffects();
    DWORD n = (DWORD)written_.size();
    bool good = Expect(ok && returned == sizeof stats && stats.ReceivedCount == n && stats.TransmittedCount == n &&
                           stats.FrameErrorCount + stats.SerialOverrunErrorCount + stats.BufferOverrunErrorCount +
                                   stats.ParityErrorCount ==
                               0,
                       "the statistics do not count the bytes written and read back");
    DWORD errors = 0;
    COMSTAT comstat{};
    BOOL cleared = ClearCommError(handle_, &errors, &comstat);
    App("ClearCommError -> errors 0x%x, %u bytes in the input queue, %u in the output queue", (unsigned)errors,
        (unsigned)comstat.cbInQue, (unsigned)comstat.cbOutQue);
    ShowEffects();
    return Expect(cleared && errors == 0 && comstat.cbInQue == 0 && comstat.cbOutQue == 0,
                  "ClearCommError does not show an idle port") &&
           good;
}

bool Demo::Wmi()
{
    Section("WMI: the port's data blocks");
    PDEVICE_OBJECT device = port_->Device();
    hk::WmiResult name = hk::WmiQuerySingleInstance(device, VcomWmiPortNameGuid, 256);
    std::string portName;
    if (NT_SUCCESS(name.status) && name.data.size() >= 2) {
        USHORT bytes = (USHORT)(name.data[0] | name.data[1] << 8);
        for (size_t i = 2; i + 1 < name.data.size() && i < 2u + bytes; i += 2)
            if (name.data[i] || name.data[i + 1]) portName += (char)name.data[i];
    }
    std::printf("wmi        MSSerial_PortName -> 0x%08x, \"%s\"\n", (unsigned)name.status, portName.c_str());
    bool ok = Expect(NT_SUCCESS(name.status) && portName == kPort, "the port name block does not name COM5");

    hk::WmiResult perf = hk::WmiQuerySingleInstance(device, VcomWmiPerfGuid, 256);
    ULONG counters[6] = {};
    if (NT_SUCCESS(perf.status) && perf.data.size() >= sizeof counters)
        std::memcpy(counters, perf.data.data(), sizeof counters);
    std::printf("wmi        MSSerial_PerformanceInformation -> 0x%08x, received %u, transmitted %u, errors %u %u %u %u\n",
                (unsigned)perf.status, counters[0], counters[1], counters[2], counters[3], counters[4], counters[5]);
    ULONG n = (ULONG)written_.size();
    ok = Expect(NT_SUCCESS(perf.status) && perf.data.size() == sizeof counters && counters[0] == n && counters[1] == n,
                "the performance block does not count the bytes written and read back") &&
         ok;

    hk::WmiResult priv = hk::WmiQuerySingleInstance(device, VcomWmiPrivateGuid, 256);
    ULONG debugLevel = 0;
    std::string model;
    if (NT_SUCCESS(priv.status) && priv.data.size() >= 6) {
        std::memcpy(&debugLevel, priv.data.data(), 4);
        USHORT bytes = (USHORT)(priv.data[4] | priv.data[5] << 8);
        for (size_t i = 6; i + 1 < priv.data.size() && i < 6u + bytes; i += 2)
            if (priv.data[i] || priv.data[i + 1]) model += (char)priv.data[i];
    }
    std::printf("wmi        KelvoDeviceInformation -> 0x%08x, DebugLevel %u, ModelName \"%s\"\n",
                (unsigned)priv.status, (unsigned)debugLevel, model.c_str());
    ok = Expect(NT_SUCCESS(priv.status) && priv.data.size() == 26 && !model.empty(),
                "the private block is not the debug level and the model name") &&
         ok;
    hk::WmiResult comm = hk::WmiQuerySingleInstance(device, VcomWmiCommGuid, 256);
    std::printf("wmi        MSSerial_CommInfo -> 0x%08x (the driver does not serve it)\n", (unsigned)comm.status);
    return Expect(comm.status == STATUS_INVALID_DEVICE_REQUEST, "the communication block was not refused") && ok;
}

bool Demo::Purge()
{
    Section("Purge");
    const char unread[] = "bytes nobody reads";
    DWORD length = sizeof unread - 1, count = 0;
    if (!Transfer(false, (void*)unread, length, &count)) return false;
    ShowEffects();
    // The loopback plug brings them back into the input queue, at 9600 baud.
    COMSTAT comstat{};
    DWORD errors = 0;
    DWORD start = GetTickCount();
    while (ClearCommError(handle_, &errors, &comstat) && comstat.cbInQue < length && GetTickCount() - start < 10000)
        Sleep(5);
    DiscardEffects();  // the polling's requests say nothing new
    App("ClearCommError -> %u bytes in the input queue", (unsigned)comstat.cbInQue);
    ShowAdapterData();
    if (!Expect(comstat.cbInQue == length, "the loopback plug did not bring the bytes back")) return false;
    BOOL ok = PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    App("PurgeComm(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) -> %s", ok ? "TRUE" : LastError().c_str());
    ShowEffects();
    BOOL got = ClearCommError(handle_, &errors, &comstat);
    App("ClearCommError -> %u bytes in the input queue, %u in the output queue", (unsigned)comstat.cbInQue,
        (unsigned)comstat.cbOutQue);
    ShowEffects();
    return Expect(ok && got && comstat.cbInQue == 0 && comstat.cbOutQue == 0, "the purge left bytes in the queues");
}

void Demo::Close()
{
    Section("Close and remove");
    if (event_) CloseHandle(event_);
    event_ = nullptr;
    if (handle_ == INVALID_HANDLE_VALUE) return;
    BOOL ok = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    App("CloseHandle -> %s", ok ? "TRUE" : LastError().c_str());
    ShowEffects();
    Expect(ok, "CloseHandle failed");
    Expect(!port_->Sim().Adapter().portEnabled, "the close did not disable the adapter's port");
}

void Demo::Remove()
{
    NTSTATUS status = port_->Remove();
    std::printf("system     IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE -> 0x%08x\n", (unsigned)status);
    bool linked = hk::names::LinkExists(u"\\DosDevices\\COM5");
    Note(linked ? "\\DosDevices\\COM5 is still there" : "\\DosDevices\\COM5 is gone");
    Expect(NT_SUCCESS(status) && !linked, "the removal failed or left the DOS name");
}

bool Demo::Report()
{
    Section("The emulation's report");
    vcomsim::LeakReport report = sim_->Shutdown();
    std::fputs(report.text.c_str(), stdout);
    if (!report.text.empty() && report.text.back() != '\n') std::fputc('\n', stdout);
    return Expect(report.clean, "the emulation's report is not clean");
}

int Demo::Run()
{
    std::printf("vcomusb demo: an application on COM5 through the Win32 comm API, the vcomusb driver in the\n"
                "kernel emulation (real time), and a simulated USB serial adapter below it\n");
    vcomsim::Simulation sim;
    sim_ = &sim;
    vcomsim::ObserveRequests([this](const vcomsim::SentRequest& r) {
        size_t before = port_ ? port_->Sim().Commands().size() : 0;
        std::lock_guard<std::mutex> g(requestsLock_);
        requests_.push_back({RequestName(r), before});
    });
    if (Load() && Open()) {
        // Each step needs the ones before it: the data is read back at 9600 baud, the
        // statistics count it, the purge works on the open handle.
        (void)(Settings() && Data() && Lines() && Statistics() && Wmi() && Purge());
    }
    Close();
    if (port_) Remove();
    vcomsim::ObserveRequests({});
    Report();
    if (failures_ == 0)
        std::printf("\ndemo: every step did what it should; the emulation's report is clean\n");
    else
        std::printf("\ndemo: %d step(s) FAILED\n", failures_);
    return failures_ == 0 ? 0 : 1;
}

}  // namespace

int RunDemo(const Options&)
{
    Demo demo;
    return demo.Run();
}

}  // namespace vcomusb
