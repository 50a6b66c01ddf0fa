// A simulated pipe driver with a scriptable USB serial adapter behind it, for the
// host build. Its device object stands at the bottom of the port's stack, where the
// real pipe driver's would: it opens and closes pipes by file name, serves reads on
// the IN pipes, and answers the private control codes (abort, reset, maximum packet
// size, control transfer, pipe write). The adapter behind it has a bulk IN source
// that tests feed, a bulk OUT sink that records every transfer, a status endpoint
// that reports the modem input lines, and a control endpoint that decodes the
// adapter's command set into adapter state.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hostkernel/frontend.h"

namespace pipesim {

// The pipe driver's private control codes (device type 0x23, buffered, any access).
constexpr ULONG kIoctlPipeReset = CTL_CODE(0x23, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlPipeAbort = CTL_CODE(0x23, 8, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlPipeControlTransfer = CTL_CODE(0x23, 9, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlPipeGetMaxPacketSize = CTL_CODE(0x23, 10, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlPipeWrite = CTL_CODE(0x23, 16, METHOD_BUFFERED, FILE_ANY_ACCESS);

enum class Pipe { DataOut = 0, DataIn = 1, Status = 2, Control = 3 };
enum class Kind { Open, Close, Read, Abort, Reset, MaxPacket, ControlTransfer, Write };

// A fault applied to requests of one kind on one pipe.
struct Fault {
    NTSTATUS status = STATUS_SUCCESS;  // a failure status to complete with
    bool stall = false;                // stays pending until aborted or cancelled
    bool zeroBytes = false;            // succeeds with no data
    ULONG shortWrite = MAXULONG;       // a write reports at most this many bytes sent
    int times = -1;                    // how many requests it applies to; -1 for all
};

// The status endpoint's line byte.
constexpr UCHAR LINE_CTS = 0x01;
constexpr UCHAR LINE_DSR = 0x02;
constexpr UCHAR LINE_DCD = 0x04;
constexpr UCHAR LINE_RI = 0x08;

enum class Parity { None, Even, Odd };

// The line configuration the adapter was last given.
struct LineConfig {
    int form = 0;  // 0 never set; 2: {LineConfigByte}; 3: {BaudIndex, LineFlags}
    ULONG baud = 115200;
    int dataBits = 8;
    int stopBits = 1;
    Parity parity = Parity::None;
    bool rtsCts = false;
    bool xonXoff = false;
};

struct AdapterState {
    bool portEnabled = false;
    int enableCommands = 0;
    bool rts = false;
    bool dtr = false;
    bool breakOn = false;
    LineConfig line;
    bool flowCharsSet = false;
    UCHAR xonChar = 0;
    UCHAR xoffChar = 0;
    bool errorCharEnabled = false;
    UCHAR errorChar = 0;
};

// One control transfer as it reached the control endpoint.
struct ControlRecord {
    UCHAR requestType = 0;
    UCHAR request = 0;
    USHORT value = 0;
    USHORT index = 0;
    USHORT length = 0;
    ULONG inputLength = 0;   // the request's input buffer (setup packet and OUT data)
    ULONG outputLength = 0;  // the request's output buffer (IN data)
    std::vector<UCHAR> data;  // OUT data
    bool portCommand = false;     // the adapter's vendor command (0x40, 0x0B)
    bool unknownCommand = false;  // a port command the adapter does not know
};

// One request as it reached the device.
struct Arrival {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG code = 0;  // control code of device-control requests
    int pipe = -1;   // the pipe its file object names, or -1
};

struct Options {
    std::u16string instanceId = u"USB\\VID_0403&PID_6001\\SIM0";
    std::vector<hk::RegistryValue> registry;  // the PnP device key's values
    ULONG deviceFlags = DO_POWER_PAGABLE;      // OR'ed into DO_DIRECT_IO
    bool statusEndpoint = true;
    ULONG maxPacketOut = 64;
    ULONG maxPacketIn = 64;
    ULONG maxPacketStatus = 1;
};

class PipeSim {
public:
    explicit PipeSim(Options options = {});
    ~PipeSim();
    PipeSim(const PipeSim&) = delete;
    PipeSim& operator=(const PipeSim&) = delete;

    // The device object at the bottom of the stack (a physical device object).
    PDEVICE_OBJECT Device() const;

    // Requests of a kind complete inside IofCallDriver (the default), or are marked
    // pending and completed `delay` later at DISPATCH_LEVEL from a DPC.
    void CompleteSynchronously(Kind kind);
    void CompleteLater(Kind kind, LONGLONG delayHundredNs = 0);
    void InjectFault(Pipe pipe, Kind kind, Fault fault);
    void ClearFaults();
    void SetMaxPacketSize(Pipe pipe, ULONG size);

    // Bulk IN: bytes the adapter has received on its serial line, delivered to reads
    // in packets of the IN maximum packet size (a short packet ends a read), or as
    // one transfer.
    void Feed(const std::vector<UCHAR>& bytes, bool packetized = true);
    size_t PendingInBytes() const;
    // Bulk OUT: every transfer in order (an empty one is a zero-length packet).
    std::vector<std::vector<UCHAR>> OutTransfers() const;
    std::vector<UCHAR> OutBytes() const;

    // Modem input lines: free-running lines set by the test, or the loopback plug
    // (TX to RX, RTS to CTS, DTR to DSR and DCD).
    void SetLines(UCHAR lines);
    UCHAR StatusByte() const;
    void SetLoopback(bool on);
    // Paces writes by the configured baud rate and frame size on the clock.
    void SetPacing(bool on);

    // Control endpoint.
    std::vector<ControlRecord> ControlTransfers() const;
    std::vector<std::vector<UCHAR>> Commands() const;  // port-command payloads in order
    AdapterState Adapter() const;
    void SetControlInData(std::vector<UCHAR> data);  // what IN control transfers return

    // What reached the device.
    std::vector<Arrival> Arrivals() const;
    int Count(UCHAR major, int minor = -1) const;
    bool IsOpen(Pipe pipe) const;
    size_t Outstanding(Pipe pipe) const;  // requests held (waiting for data, stalled, pended)
    void ClearRecords();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace pipesim
