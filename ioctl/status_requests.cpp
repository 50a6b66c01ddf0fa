// The read-only and bookkeeping control requests: the modem status, the
// communication status, the statistics and their reset, the configuration size, the
// port properties, and the two private requests that reset one of the bulk pipes
// through the pipe driver.
#include "ioctl/status_requests.h"

#include "driver/driver.h"
#include "ioctl/dispatcher.h"
#include "lines/status_polling.h"
#include "lower/pipe.h"
#include "rx/ring_buffer.h"

namespace {

constexpr ULONG CommStatusSize = 20;  // SERIAL_STATUS up to and including the immediate-waiting byte
constexpr ULONG PropertiesSize = 64;
constexpr ULONG StatsSize = 24;
static_assert(sizeof(SERIALPERF_STATS) == StatsSize, "the statistics answer is the whole block");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "the properties answer is 64 bytes");

// The properties every port reports; only the two current queue sizes change.
const SERIAL_COMMPROP PropertiesTemplate = {
    64,           // PacketLength
    2,            // PacketVersion
    0x00000001,   // ServiceMask: SERIAL_SP_SERIALCOMM
    0,            // Reserved1
    0,            // MaxTxQueue: no maximum
    0,            // MaxRxQueue: no maximum
    0x00020000,   // MaxBaud: SERIAL_BAUD_115200
    0x00000001,   // ProvSubType: SERIAL_SP_RS232
    0x000000F7,   // ProvCapabilities: DTR/DSR, RTS/CTS, CD, XON/XOFF, settable XON/XOFF, total and interval timeouts
    0x0000005F,   // SettableParams: parity, baud, data bits, stop bits, handshaking, carrier detect
    0x00026B60,   // SettableBaud: 600, 1200, 2400, 4800, 9600, 19200, 38400, 115200
    0x000C,       // SettableData: 7 and 8 data bits
    0x0705,       // SettableStopParity: 1 and 2 stop bits; no, odd and even parity
    0,            // CurrentTxQueue: OutSize, per request
    0,            // CurrentRxQueue: InSize, per request
    0,            // ProvSpec1
    0,            // ProvSpec2
    {0},          // ProvChar
};

BOOLEAN Removed(PortExtension* Port) { return PortRemoved(Port); }

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    return CompleteRequestWith(Irp, Status, Information, IO_NO_INCREMENT);
}

// The room the request's output buffer has, or 0 when it has none.
ULONG OutputRoom(PIRP Irp)
{
    if (!Irp->AssociatedIrp.SystemBuffer) return 0;
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

// Any IRQL; no lock. The six counters of a statistics block, each read whole: the
// receive pump and the transmit path add to them on other processors, and a count that
// arrives meanwhile may be seen or not.
VOID ReadCounters(SERIALPERF_STATS* Stats, PULONG To)
{
    auto* from = (volatile LONG*)Stats;
    for (ULONG i = 0; i < sizeof(SERIALPERF_STATS) / sizeof(ULONG); ++i) To[i] = (ULONG)InterlockedCompareExchange(from + i, 0, 0);
}

// Any IRQL; no lock. Clears the six counters, each whole; a count added meanwhile may be
// kept or lost.
VOID ClearCounters(SERIALPERF_STATS* Stats)
{
    auto* to = (volatile LONG*)Stats;
    for (ULONG i = 0; i < sizeof(SERIALPERF_STATS) / sizeof(ULONG); ++i) InterlockedExchange(to + i, 0);
}

// PASSIVE_LEVEL. IOCTL_SERIAL_GET_COMMSTATUS: the stored status, then the ring counts,
// each under its own lock and never two at once.
NTSTATUS CommStatusRequest(PortExtension* Port, PIRP Irp)
{
    if (Removed(Port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    if (OutputRoom(Irp) < CommStatusSize) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    SERIAL_STATUS answer;
    RtlZeroMemory(&answer, sizeof answer);
    KIRQL irql;
    KeAcquireSpinLock(&Port->CommStatusLock, &irql);
    answer.Errors = Port->CommStatus.Errors;
    answer.HoldReasons = Port->CommStatus.HoldReasons;
    answer.EofReceived = Port->CommStatus.EofReceived;
    answer.WaitForImmediate = Port->CommStatus.WaitForImmediate;
    KeReleaseSpinLock(&Port->CommStatusLock, irql);
    // The write paths move it by interlocked operations without the lock.
    answer.AmountInOutQueue = (ULONG)InterlockedCompareExchange((volatile LONG*)&Port->CommStatus.AmountInOutQueue, 0, 0);
    answer.AmountInInQueue = RingCount(&Port->RxRing);
    if (Port->TxAsync) answer.AmountInOutQueue = RingCount(&Port->TxRing);
    KeAcquireSpinLock(&Port->CommStatusLock, &irql);
    Port->CommStatus.Errors = 0;
    KeReleaseSpinLock(&Port->CommStatusLock, irql);
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &answer, CommStatusSize);
    return Complete(Irp, STATUS_SUCCESS, CommStatusSize);
}

// PASSIVE_LEVEL. The private pipe resets travel on the application's own request: the
// pipe driver completes it.
NTSTATUS PipeResetRequest(PortExtension* Port, PIRP Irp, PipeHandle* Pipe)
{
    if (Removed(Port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->FileObject = &Pipe->File;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_RESET;
    return IoCallDriver(Port->LowerDevice, Irp);
}

}  // namespace

NTSTATUS NTAPI StatusRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    PVOID out = Irp->AssociatedIrp.SystemBuffer;
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        // Answered in every state, a removal included.
        if (OutputRoom(Irp) < sizeof(ULONG)) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        *(PULONG)out = ReadModemStatus(port);
        return Complete(Irp, STATUS_SUCCESS, sizeof(ULONG));
    case IOCTL_SERIAL_GET_COMMSTATUS:
        return CommStatusRequest(port, Irp);
    case IOCTL_SERIAL_GET_PROPERTIES: {
        if (Removed(port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
        if (OutputRoom(Irp) < PropertiesSize) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        // From the template itself, so that its zero padding goes out too.
        RtlCopyMemory(out, &PropertiesTemplate, PropertiesSize);
        ((PSERIAL_COMMPROP)out)->CurrentTxQueue = port->OutSize;
        ((PSERIAL_COMMPROP)out)->CurrentRxQueue = port->InSize;
        return Complete(Irp, STATUS_SUCCESS, PropertiesSize);
    }
    case IOCTL_SERIAL_CONFIG_SIZE:
        // A short buffer reports no bytes: the I/O manager copies back as many as the
        // request says, and a 2-byte buffer has no room for 4.
        if (OutputRoom(Irp) < sizeof(ULONG)) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        *(PULONG)out = 0;
        return Complete(Irp, STATUS_SUCCESS, sizeof(ULONG));
    case IOCTL_SERIAL_GET_STATS:
        if (Removed(port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
        if (OutputRoom(Irp) < StatsSize) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        ReadCounters(&port->PerfStats, (PULONG)out);
        return Complete(Irp, STATUS_SUCCESS, StatsSize);
    case IOCTL_SERIAL_CLEAR_STATS:
        ClearCounters(&port->PerfStats);
        ClearCounters(&port->WmiPerfStats);
        return Complete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_PRIVATE_RESET_RX_PIPE:
        return PipeResetRequest(port, Irp, &port->DataInPipe);
    default:  // IOCTL_PRIVATE_RESET_TX_PIPE
        return PipeResetRequest(port, Irp, &port->DataOutPipe);
    }
}
