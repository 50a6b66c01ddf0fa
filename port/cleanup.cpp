// Cleanup, flush and purge: the requests that end or discard work in progress on an
// open port. CancelReads lives with the read queue it empties (rx/read.cpp).
#include "driver/driver.h"
#include "lines/wait_mask.h"
#include "port/port.h"
#include "rx/receive_pump.h"
#include "rx/ring_buffer.h"
#include "tx/write.h"

namespace {

constexpr LONGLONG FlushPatience = 30LL * 1000 * 10000;  // 30 s in 100 ns units
constexpr LONGLONG FlushCheckPeriod = 10 * 10000;        // 10 ms

// PASSIVE_LEVEL; waits. Buffered mode: until TxRing is empty, looking every 10 ms on
// a timer of its own, at most about 30 seconds.
VOID WaitForRingToDrain(PortExtension* Port)
{
    LARGE_INTEGER start, now;
    KeQuerySystemTime(&start);
    KTIMER timer;
    KeInitializeTimer(&timer);
    while (RingCount(&Port->TxRing)) {
        KeQuerySystemTime(&now);
        if (now.QuadPart - start.QuadPart > FlushPatience) break;
        LARGE_INTEGER due;
        due.QuadPart = -FlushCheckPeriod;
        KeSetTimer(&timer, due, nullptr);
        KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    }
}

}  // namespace

// PASSIVE_LEVEL; waits for the pumps and the transmitter. The port stays open with
// everything stopped: only the close follows.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    StopPumps(DeviceObject);
    CancelReads(port);
    TxStop(port);
    CancelAllWrites(port);
    RingReset(&port->TxRing);
    CompletePendingWait(port);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

// PASSIVE_LEVEL; waits at most about 30 seconds for the transmitter to drain, and
// succeeds either way: the application cannot tell the two apart.
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (port->TxAsync) {
        WaitForRingToDrain(port);
    } else {
        LARGE_INTEGER patience;
        patience.QuadPart = -FlushPatience;
        KeWaitForSingleObject(&port->TxIdleEvent, Executive, KernelMode, FALSE, &patience);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL (control requests); waits for the transmitter, under OpenPowerLock,
// when SERIAL_PURGE_TXABORT is asked. The actions run in a fixed order, each only when its flag is set; other
// bits are ignored. Flags shorter than 4 bytes are refused rather than read past.
// The answer is the 4 bytes of the flags; the I/O manager copies that many back into
// an output buffer the caller gave, so one too small for them is told of none.
NTSTATUS NTAPI PurgeRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG) || !Irp->AssociatedIrp.SystemBuffer)
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG flags = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    if (flags & SERIAL_PURGE_RXABORT) CancelReads(port);
    if (flags & SERIAL_PURGE_RXCLEAR) RxRingClear(port);
    if (flags & SERIAL_PURGE_TXABORT) {
        // Under OpenPowerLock, so that a power-down never falls between the stop and the
        // start; powered down, the transmitter stays stopped for the return to D0.
        AcquirePassiveLock(&port->OpenPowerLock);
        TxStop(port);
        CancelAllWrites(port);
        // The restart sends what waits in the ring at once: a clear asked for with the
        // abort empties it first.
        if (flags & SERIAL_PURGE_TXCLEAR) RingReset(&port->TxRing);
        TxStart(port);
        ReleasePassiveLock(&port->OpenPowerLock);
    }
    if (flags & SERIAL_PURGE_TXCLEAR) RingReset(&port->TxRing);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = room && room < sizeof(ULONG) ? 0 : sizeof(ULONG);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
