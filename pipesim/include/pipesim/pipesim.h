// A simulated pipe driver with a scriptable USB serial adapter behind it, for the
// host build. The stack is built as Windows builds it: a bus driver's physical device
// object (PDO) at the bottom, with the adapter's device key in the registry; the pipe
// driver's device attached above it, as its AddDevice would attach; the port driver
// goes on top. The pipe driver opens and closes pipes by file name, serves reads on
// the IN pipes, answers the private control codes (abort, reset, maximum packet size,
// control transfer, pipe write), and passes Plug and Play, power and WMI requests
// down to the PDO as a function driver does. The adapter behind it has a bulk IN
// source that tests feed, a bulk OUT sink that records every transfer, a status
// endpoint that reports the modem input lines, and a control endpoint that decodes
// the adapter's command set into adapter state. Its serial line can carry a loopback
// plug or a null-modem cable to another adapter, paced at the configured baud rate.
#pragma once

#include <functional>
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

// A fault applied to requests of one kind on one pipe (control transfers: Pipe::Control).
// It counts only requests the pipe driver accepts: one refused at once (a closed or
// aborted pipe, a malformed request) neither uses it up nor is skipped by it.
struct Fault {
    NTSTATUS status = STATUS_SUCCESS;  // a failure status to complete with
    // Stays pending until cancelled or released by CompleteHeld; a stalled read or
    // write is also ended by an abort or close of its pipe. The stalled request has
    // no effect until it is released (a stalled abort aborts nothing until then).
    bool stall = false;
    bool zeroBytes = false;       // succeeds with no data
    ULONG shortWrite = MAXULONG;  // a write reports at most this many bytes sent
    int times = -1;               // how many requests it applies to; -1 for all
    int skip = 0;                 // requests that pass untouched before it applies
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

// One request as it reached the pipe driver's device.
struct Arrival {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG code = 0;  // control code of device-control requests
    int pipe = -1;   // the pipe its (opened) file object names, or -1
    // The transfer length asked for: Parameters.Read.Length of a read, the
    // InputBufferLength of a pipe write; 0 for every other request.
    ULONG length = 0;
};

struct Options {
    std::u16string instanceId = u"USB\\VID_0403&PID_6001\\SIM0";  // the PDO's
    std::vector<hk::RegistryValue> registry;  // values of the PDO's PnP device key
    // The pipe driver's device flags, OR'ed into DO_DIRECT_IO; the PDO gets their power
    // bits (DO_POWER_PAGABLE, DO_POWER_INRUSH), so the two agree as on Windows.
    ULONG deviceFlags = DO_POWER_PAGABLE;
    bool statusEndpoint = true;
    ULONG maxPacketOut = 64;
    ULONG maxPacketIn = 64;
    ULONG maxPacketStatus = 1;
    // Whether what reaches the pipe driver is recorded (Arrivals, Count, OutTransfers,
    // OutBytes, ControlTransfers, Commands) from the start; see SetRecording.
    bool record = true;
    // The most bytes the adapter keeps from its serial line (the loopback plug or a
    // null-modem peer) waiting for bulk IN reads; what arrives beyond it is lost, as
    // when a real adapter's receive buffer overflows (LostInBytes counts it). 0: no
    // limit. Bytes given to Feed are never limited.
    size_t lineBufferLimit = 0;
};

// Removal: IRP_MN_REMOVE_DEVICE ends every request the pipe driver holds or has
// pended (except those held by HoldNext) with STATUS_DELETE_PENDING, goes down to the
// PDO, and detaches the pipe driver's device from it; from then on every request is
// answered with STATUS_DELETE_PENDING. The destructor deletes the pipe driver's device
// (detaching it first if no removal came) and then the PDO; a device still attached
// above the pipe driver's device keeps both alive, and the verifier reports it.
class PipeSim {
public:
    explicit PipeSim(Options options = {});
    ~PipeSim();
    PipeSim(const PipeSim&) = delete;
    PipeSim& operator=(const PipeSim&) = delete;

    // The pipe driver's device: what the port attaches to and sends its requests to.
    PDEVICE_OBJECT Device() const;
    // The physical device object below it, owned by a bus driver of its own (a
    // different driver object). Build the port's stack on it: hk::DeviceStack(Pdo()).
    PDEVICE_OBJECT Pdo() const;
    // The bus driver: the requests that reached the PDO.
    hk::StubBus& Bus();

    // Requests of a kind complete inside IofCallDriver (the default), or are marked
    // pending and completed `delay` later at DISPATCH_LEVEL from a DPC.
    void CompleteSynchronously(Kind kind);
    void CompleteLater(Kind kind, LONGLONG delayHundredNs = 0);

    // The next request of this kind that the pipe driver accepts (each call holds
    // one more) is kept pending, with no timer and no cancel routine, as a request
    // handed to the hardware: cancel, abort, close and removal leave it alone; only
    // CompleteHeld ends it. Faults are not consulted for it.
    void HoldNext(Kind kind);
    // Completes the oldest request held on `pipe`, by HoldNext or by a stall fault,
    // from the calling thread at DISPATCH_LEVEL (as the USB stack completes
    // transfers); false when there is none. With success the request takes the
    // effect it would have had if served at once: an open opens, a reset clears the
    // halt, a maximum-packet request gets the size, a control transfer reaches the
    // adapter. `bytes` is what a read or write reports: a bulk IN read gets the next
    // `bytes` bytes fed (packet boundaries ignored; zeros when fewer were fed), a
    // status read the line byte then zeros; a write is recorded in OutTransfers with
    // all its bytes and reports `bytes` sent (both capped at the request's length).
    // Close and abort take effect whatever the status, as when served at once; any
    // other request completed with a failure status has no effect.
    bool CompleteHeld(Pipe pipe, NTSTATUS status, ULONG bytes = 0);

    void InjectFault(Pipe pipe, Kind kind, Fault fault);
    void ClearFaults();
    void SetMaxPacketSize(Pipe pipe, ULONG size);

    // Bulk IN: bytes the adapter has received on its serial line, delivered to reads
    // in packets of the IN maximum packet size (a short packet ends a read), or as
    // one transfer.
    void Feed(const std::vector<UCHAR>& bytes, bool packetized = true);
    size_t PendingInBytes() const;
    // Bulk IN as an endless stream, for throughput measurements: once the bytes given
    // to Feed are used up, each read gets its whole length from `source`, called with
    // the read's buffer and length on the thread that serves the read (the dispatch
    // routine, or the timer DPC with CompleteLater), under the simulator's lock: it
    // must not call back into the simulator. An empty function ends the stream.
    void SetInStream(std::function<void(UCHAR* buffer, ULONG length)> source);
    // Bulk OUT: every transfer in order (an empty one is a zero-length packet).
    std::vector<std::vector<UCHAR>> OutTransfers() const;
    std::vector<UCHAR> OutBytes() const;

    // Modem input lines: free-running lines set by the test, or the loopback plug
    // (TX to RX, RTS to CTS, DTR to DSR and DCD), or a null-modem cable (NullModem),
    // which takes precedence over the plug while it is connected. With the plug or a
    // cable, RI still comes from SetLines and the other free-running lines are unused.
    // Both switches may be set at any time, before the port is opened too.
    void SetLines(UCHAR lines);
    UCHAR StatusByte() const;
    void SetLoopback(bool on);
    // Paces writes by the configured baud rate and frame size (the LineConfig the
    // driver last sent; 115200 8N1 before it sent one) on the emulation's clock,
    // virtual or real: a write completes when the wire has carried its last byte,
    // writes queue behind each other on the wire, and the bytes reach the other end
    // of the loopback plug or cable in pieces of at most kWirePiece bytes, each when
    // its last byte has left the wire. An abort or close of the bulk OUT pipe (and the
    // removal) ends the paced writes and drops their bytes not yet on the wire; the
    // wire is free at once. Without pacing, a write's bytes reach the other end when
    // the write completes.
    void SetPacing(bool on);
    static constexpr size_t kWirePiece = 64;
    // Bytes from the serial line lost to lineBufferLimit.
    size_t LostInBytes() const;

    // Stops or resumes recording: while off, nothing is added to Arrivals, Count,
    // OutTransfers, OutBytes, ControlTransfers or Commands (what was recorded stays
    // until ClearRecords); the adapter's state and the data still flow. Long
    // real-time sessions turn it off so the simulator does not grow without bound.
    void SetRecording(bool on);

    // What the pipes carried since the simulator was made, counted whether or not
    // recording is on.
    struct Traffic {
        unsigned long long inReads = 0;        // bulk IN reads accepted
        unsigned long long inBytes = 0;        // bytes bulk IN reads were given
        unsigned long long outTransfers = 0;   // bulk OUT writes with data
        unsigned long long zeroLength = 0;     // bulk OUT zero-length packets
        unsigned long long outBytes = 0;       // bytes bulk OUT writes sent
        unsigned long long statusReads = 0;    // status endpoint reads accepted
        unsigned long long controlTransfers = 0;
    };
    Traffic Counts() const;

    // Control endpoint.
    std::vector<ControlRecord> ControlTransfers() const;
    std::vector<std::vector<UCHAR>> Commands() const;  // port-command payloads in order
    AdapterState Adapter() const;
    void SetControlInData(std::vector<UCHAR> data);  // what IN control transfers return

    // What reached the pipe driver's device.
    std::vector<Arrival> Arrivals() const;
    int Count(UCHAR major, int minor = -1) const;
    bool IsOpen(Pipe pipe) const;
    size_t Outstanding(Pipe pipe) const;  // requests held (waiting for data, stalled, held, pended)
    void ClearRecords();

    struct Impl;

private:
    friend class NullModem;
    std::unique_ptr<Impl> impl_;
};

// A null-modem cable between two adapters: what one side's bulk OUT pipe sends
// arrives as the other side's bulk IN data (as Feed would deliver it, in packets of
// the receiver's IN maximum packet size), both ways; each side's RTS shows as the
// other's CTS and its DTR as the other's DSR and DCD in the status byte the driver
// polls. A break shows as nothing on the other side (the status byte has no bit for
// it; bytes sent during a break still arrive). Timing is the sender's: see SetPacing.
//
// The cable is unplugged by Disconnect, by the destructor, by the removal
// (IRP_MN_REMOVE_DEVICE) or destruction of either adapter, or by wiring either
// adapter to another cable (an adapter has one socket). Then bytes still on the wire
// are lost, the other side's lines no longer show (each adapter's inputs come from its
// loopback plug or its free-running lines again), and neither simulator keeps a
// pointer to the other; requests in flight are left to their own course (a paced
// write still completes at its time, a waiting read keeps waiting). The cable and the
// two simulators may be destroyed in any order, with data or requests in flight.
// Wiring an adapter to itself is refused (Connected is false): that is the loopback
// plug's job.
class NullModem {
public:
    NullModem(PipeSim& a, PipeSim& b);
    ~NullModem();
    NullModem(const NullModem&) = delete;
    NullModem& operator=(const NullModem&) = delete;
    // Unplugs the cable; nothing when it is unplugged already.
    void Disconnect();
    // Whether the cable still connects both adapters.
    bool Connected() const;

    struct Link;

private:
    std::shared_ptr<Link> link_;
};

}  // namespace pipesim
