// Application reads. A read the receive ring can satisfy at once completes at once;
// any other waits behind at most one current read, which the receive pump fills as
// data comes and which ends when it is full, when its read mode says enough has
// come, or when one of its two timers expires. The serial timeouts choose the mode.
//
// The I/O cancel spin lock guards CurrentRead, the read queue and the arming of the
// read timers; the ring's own lock nests inside it. A read leaves CurrentRead or the
// queue only under that lock, with its cancel routine taken back, so exactly one path
// completes it; requests are completed only after the lock is released.
#include "rx/read.h"

#include "driver/driver.h"
#include "port/port.h"
#include "rx/receive_pump.h"
#include "rx/ring_buffer.h"

namespace {

constexpr ULONG TimeoutsSize = sizeof(SERIAL_TIMEOUTS);
constexpr LONGLONG LongestTimerMs = 0x7FFFFFFFFFFFFFFFLL / 10000;  // what 100 ns units can hold

PIRP IrpOf(PKDEVICE_QUEUE_ENTRY Entry) { return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.DeviceQueueEntry); }

ULONG ReadLength(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length; }

// Cancel spin lock held. Every change of the current read moves the generation on,
// so that a timer armed for an earlier read cannot end this one.
VOID SetCurrentRead(PortExtension* Port, PIRP Irp)
{
    Port->CurrentRead = Irp;
    Port->ReadGeneration++;
}

// Any IRQL; no lock. Arms a timer `Ms` milliseconds from now; a negative time is a
// moment already past, so the timer expires at once.
VOID ArmTimer(PKTIMER Timer, PKDPC Dpc, LONGLONG Ms)
{
    if (Ms > LongestTimerMs) Ms = LongestTimerMs;
    if (Ms < -LongestTimerMs) Ms = -LongestTimerMs;
    LARGE_INTEGER due;
    due.QuadPart = -Ms * 10000;
    KeSetTimer(Timer, due, Dpc);
}

// Cancel spin lock held. The whole-read timer of CurrentRead, from now.
VOID ArmReadTotalTimer(PortExtension* Port)
{
    if (Port->ReadMode == ReadModeWaitAll || !Port->CurrentRead) return;
    LONGLONG ms;
    if (Port->ReadMode == ReadModeFirstByte) {
        ms = Port->Timeouts.ReadTotalTimeoutConstant;
    } else {
        ms = (LONGLONG)ReadLength(Port->CurrentRead) * (LONG)Port->Timeouts.ReadTotalTimeoutMultiplier +
             (LONG)Port->Timeouts.ReadTotalTimeoutConstant;
    }
    if (ms == 0) return;
    Port->ReadTotalArmedFor = Port->ReadGeneration;
    ArmTimer(&Port->ReadTotalTimer, &Port->ReadTotalDpc, ms);
}

// Cancel spin lock held. The between-bytes timer of CurrentRead, from now.
VOID ArmReadIntervalTimer(PortExtension* Port)
{
    ULONG interval = Port->Timeouts.ReadIntervalTimeout;
    if (interval == 0 || interval == MAXULONG) return;
    Port->ReadIntervalArmedFor = Port->ReadGeneration;
    ArmTimer(&Port->ReadIntervalTimer, &Port->ReadIntervalDpc, interval);
}

VOID CancelReadTimers(PortExtension* Port)
{
    KeCancelTimer(&Port->ReadTotalTimer);
    KeCancelTimer(&Port->ReadIntervalTimer);
}

// Cancel spin lock held. Makes the next queued read current, with its whole-read
// timer, or marks the queue idle; returns the new current read or null, which the
// caller serves once the lock is released (ReadService does so in its loop).
PIRP ReadStartNext(PortExtension* Port)
{
    PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&Port->ReadQueue);
    PIRP next = entry ? IrpOf(entry) : nullptr;
    SetCurrentRead(Port, next);
    if (next) {
        ArmReadTotalTimer(Port);
        KeCancelTimer(&Port->ReadIntervalTimer);
    } else {
        CancelReadTimers(Port);
    }
    return next;
}

// Cancel spin lock held; takes the ring's lock (innermost). Flow control: the pump
// may fill the ring again once a read has drained it to the resume limit. The flag is
// decided under the ring's lock, where the pump reads and clears it with the count;
// the pump's timer is moved after that lock is let go.
VOID AllowReceiveIfDrained(PortExtension* Port)
{
    KIRQL irql;
    BOOLEAN resumed = FALSE;
    KeAcquireSpinLock(&Port->RxRing.Lock, &irql);
    // The limit is read whole: IOCTL_SERIAL_SET_HANDFLOW stores it on another thread.
    if (Port->RxRing.Count <= (ULONG)InterlockedCompareExchange(&Port->HandFlow.XonLimit, 0, 0)) {
        resumed = !Port->RxAllowed;
        Port->RxAllowed = 1;
    }
    KeReleaseSpinLock(&Port->RxRing.Lock, irql);
    // A pump held back by the full ring need not wait for its next look: bytes may be
    // waiting in its transfer buffer while the reader waits for them.
    if (resumed) RxPumpResume(Port);
}

VOID CompleteRead(PIRP Irp, NTSTATUS Status, CCHAR Boost)
{
    Irp->IoStatus.Status = Status;
    if (NT_ERROR(Status)) Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, Boost);
}

// <= DISPATCH_LEVEL; takes the cancel spin lock. Makes the read current or queues it.
NTSTATUS ReadStartOrQueue(PortExtension* Port, PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (VcomIrpCancelled(Irp)) {
        IoReleaseCancelSpinLock(irql);
        return CompleteRequest(Irp, STATUS_CANCELLED);
    }
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, ReadCancel);
    if (KeInsertDeviceQueue(&Port->ReadQueue, &Irp->Tail.Overlay.DeviceQueueEntry)) {
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }
    // The queue was idle: this read is current now.
    SetCurrentRead(Port, Irp);
    ArmReadTotalTimer(Port);
    KeCancelTimer(&Port->ReadIntervalTimer);
    IoReleaseCancelSpinLock(irql);
    ReadService(Port);
    return STATUS_PENDING;
}

}  // namespace

// <= DISPATCH_LEVEL; the cancel spin lock for a look at CurrentRead only; the ring's
// lock for the bytes.
NTSTATUS NTAPI ReadDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    RxPumpStart(port);  // a pump stopped by cleanup or power-down runs again from here
    Irp->IoStatus.Information = 0;
    ULONG length = ReadLength(Irp);
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if (!buffer || !length) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    BOOLEAN busy = port->CurrentRead != nullptr;
    ULONG mode = port->ReadMode;  // set under this lock by IOCTL_SERIAL_SET_TIMEOUTS on another thread
    IoReleaseCancelSpinLock(irql);
    if (!busy) {
        ULONG count = RingCount(&port->RxRing);
        if (count >= length || mode == ReadModeReturnNow || (mode == ReadModeFirstByte && count)) {
            // Two such reads may race for the bytes: each takes what is there.
            ULONG n = RingGet(buffer, &port->RxRing, length);
            IoAcquireCancelSpinLock(&irql);
            AllowReceiveIfDrained(port);
            CancelReadTimers(port);
            IoReleaseCancelSpinLock(irql);
            Irp->IoStatus.Status = STATUS_SUCCESS;
            Irp->IoStatus.Information = n;
            IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
            return STATUS_SUCCESS;
        }
    }
    return ReadStartOrQueue(port, Irp);
}

// <= DISPATCH_LEVEL; takes the cancel spin lock. Serves the current read from the
// ring, and each read that becomes current after it, in queue order, in a loop
// rather than by recursion: many small reads behind a full ring do not nest.
VOID ReadService(PortExtension* Port)
{
    for (;;) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP irp = Port->CurrentRead;
        if (!irp) {
            IoReleaseCancelSpinLock(irql);
            return;
        }
        NTSTATUS status = STATUS_SUCCESS;
        PUCHAR buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
        if (!buffer) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            ULONG length = ReadLength(irp);
            ULONG done = (ULONG)irp->IoStatus.Information;
            ULONG wanted = length - done;
            ULONG moved = 0;
            if (wanted && RingCount(&Port->RxRing)) {
                moved = RingGet(buffer + done, &Port->RxRing, wanted);
                done += moved;
                irp->IoStatus.Information = done;
                if (moved) ArmReadIntervalTimer(Port);
            }
            // On every pass, also when nothing moved: a ring emptied by a purge lets
            // the pump go on.
            AllowReceiveIfDrained(Port);
            BOOLEAN finished = done == length || Port->ReadMode == ReadModeReturnNow ||
                               (Port->ReadMode == ReadModeFirstByte && moved);
            if (!finished) {
                IoReleaseCancelSpinLock(irql);
                return;
            }
        }
        if (!IoSetCancelRoutine(irp, nullptr)) {
            // Its cancel routine runs and will find it current: it is that routine's.
            IoReleaseCancelSpinLock(irql);
            return;
        }
        PIRP next = ReadStartNext(Port);
        IoReleaseCancelSpinLock(irql);
        CompleteRead(irp, status, status == STATUS_SUCCESS ? IO_SERIAL_INCREMENT : IO_NO_INCREMENT);
        if (!next) return;
    }
}

// DISPATCH_LEVEL, entered with the cancel spin lock held; releases it. A cancelled
// read reports no bytes, also those already moved into it.
VOID NTAPI ReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    PIRP next = nullptr;
    if (port->CurrentRead == Irp) {
        next = ReadStartNext(port);
    } else {
        KeRemoveEntryDeviceQueue(&port->ReadQueue, &Irp->Tail.Overlay.DeviceQueueEntry);
    }
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CompleteRead(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
    if (next) ReadService(port);
}

namespace {

// Cancel spin lock held. The current read that a timer armed for it may end: none when
// the read it was armed for has ended (the generation moved on), when the timer was
// armed again after the expiry that queued this DPC, or when the read's cancel routine
// already runs. The read returned is out of CurrentRead and the next one is current.
PIRP TakeTimedOutRead(PortExtension* Port, ULONG ArmedFor, PKTIMER Timer, PIRP* Next)
{
    PIRP irp = Port->CurrentRead;
    if (!irp || ArmedFor != Port->ReadGeneration || !KeReadStateTimer(Timer) || !IoSetCancelRoutine(irp, nullptr))
        return nullptr;
    *Next = ReadStartNext(Port);
    return irp;
}

}  // namespace

// DISPATCH_LEVEL; takes the cancel spin lock. The between-bytes time of the current
// read passed; the read made current here is served at once.
VOID NTAPI ReadIntervalTimeoutDpc(PKDPC, PVOID Context, PVOID, PVOID)
{
    PortExtension* port = PortOf((PDEVICE_OBJECT)Context);
    KIRQL irql;
    PIRP next = nullptr;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = TakeTimedOutRead(port, port->ReadIntervalArmedFor, &port->ReadIntervalTimer, &next);
    IoReleaseCancelSpinLock(irql);
    if (!irp) return;
    if (next) ReadService(port);
    CompleteRead(irp, STATUS_TIMEOUT, IO_NO_INCREMENT);
}

// DISPATCH_LEVEL; takes the cancel spin lock. The whole-read time of the current read
// passed. The read made current here takes bytes at the pump's next step.
VOID NTAPI ReadTotalTimeoutDpc(PKDPC, PVOID Context, PVOID, PVOID)
{
    PortExtension* port = PortOf((PDEVICE_OBJECT)Context);
    KIRQL irql;
    PIRP next = nullptr;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = TakeTimedOutRead(port, port->ReadTotalArmedFor, &port->ReadTotalTimer, &next);
    IoReleaseCancelSpinLock(irql);
    if (irp) CompleteRead(irp, STATUS_TIMEOUT, IO_NO_INCREMENT);
}

// PASSIVE_LEVEL; the cancel spin lock to restart the current read's whole-read timer.
// IOCTL_SERIAL_SET_TIMEOUTS and GET_TIMEOUTS. The settings change under the cancel spin
// lock; the two write timeouts, which a write made current reads under WriteQueueLock
// instead, are each stored and read whole (interlocked).
NTSTATUS NTAPI TimeoutsRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (PortRemoved(port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto* timeouts = (PSERIAL_TIMEOUTS)Irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_TIMEOUTS) {
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < TimeoutsSize) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
        IoAcquireCancelSpinLock(&irql);
        timeouts->ReadIntervalTimeout = port->Timeouts.ReadIntervalTimeout;
        timeouts->ReadTotalTimeoutMultiplier = port->Timeouts.ReadTotalTimeoutMultiplier;
        timeouts->ReadTotalTimeoutConstant = port->Timeouts.ReadTotalTimeoutConstant;
        timeouts->WriteTotalTimeoutMultiplier =
            (ULONG)InterlockedCompareExchange((volatile LONG*)&port->Timeouts.WriteTotalTimeoutMultiplier, 0, 0);
        timeouts->WriteTotalTimeoutConstant =
            (ULONG)InterlockedCompareExchange((volatile LONG*)&port->Timeouts.WriteTotalTimeoutConstant, 0, 0);
        IoReleaseCancelSpinLock(irql);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = TimeoutsSize;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    if (stack->Parameters.DeviceIoControl.InputBufferLength < TimeoutsSize) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    ULONG ri = timeouts->ReadIntervalTimeout, rm = timeouts->ReadTotalTimeoutMultiplier, rc = timeouts->ReadTotalTimeoutConstant;
    ULONG mode;
    if (ri == MAXULONG && rm == MAXULONG && rc == MAXULONG) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    if (ri == MAXULONG && rm == 0 && rc == 0) mode = ReadModeReturnNow;
    else if (ri == MAXULONG && rm == MAXULONG && rc != 0 && rc != MAXULONG) mode = ReadModeFirstByte;
    else if (ri == 0 && rm == 0 && rc == 0) mode = ReadModeWaitAll;
    else mode = ReadModeTimed;
    IoAcquireCancelSpinLock(&irql);
    port->Timeouts.ReadIntervalTimeout = ri;
    port->Timeouts.ReadTotalTimeoutMultiplier = rm;
    port->Timeouts.ReadTotalTimeoutConstant = rc;
    InterlockedExchange((volatile LONG*)&port->Timeouts.WriteTotalTimeoutMultiplier, (LONG)timeouts->WriteTotalTimeoutMultiplier);
    InterlockedExchange((volatile LONG*)&port->Timeouts.WriteTotalTimeoutConstant, (LONG)timeouts->WriteTotalTimeoutConstant);
    port->ReadMode = mode;
    ArmReadTotalTimer(port);
    IoReleaseCancelSpinLock(irql);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

// PASSIVE_LEVEL (it stops the pump and waits). IOCTL_SERIAL_SET_QUEUE_SIZE: only a
// larger input queue changes the ring; its content stays, in order.
NTSTATUS NTAPI QueueSizeRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (PortRemoved(port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    // A short input is refused before the pump is touched.
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength < sizeof(SERIAL_QUEUE_SIZE))
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    SERIAL_QUEUE_SIZE sizes = *(PSERIAL_QUEUE_SIZE)Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = RxPumpStop(port);
    if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status);
    status = STATUS_SUCCESS;
    if (sizes.InSize > port->InSize) status = RingResize(&port->RxRing, sizes.InSize);
    port->InSize = port->RxRing.Size ? port->RxRing.Size : port->InSize;
    port->OutSize = sizes.OutSize;
    // The restart clears the pump's idle event itself, inside its own start: clearing
    // it here could wipe the end of a chain that a read started meanwhile.
    RxPumpStart(port);
    return CompleteRequest(Irp, NT_ERROR(status) ? status : STATUS_SUCCESS);
}

// <= DISPATCH_LEVEL; takes the cancel spin lock. Cleanup, close, removal and purge:
// every pending read ends with STATUS_CANCELLED. A read whose cancel routine already
// runs is left to it.
VOID CancelReads(PortExtension* Port)
{
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP current = Port->CurrentRead;
    if (current && IoSetCancelRoutine(current, nullptr)) InsertTailList(&cancelled, &current->Tail.Overlay.ListEntry);
    // An idle queue holds nothing (and may not be asked for an entry).
    while (Port->ReadQueue.Busy) {
        PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&Port->ReadQueue);
        if (!entry) break;
        PIRP queued = IrpOf(entry);
        if (IoSetCancelRoutine(queued, nullptr)) InsertTailList(&cancelled, &queued->Tail.Overlay.ListEntry);
    }
    SetCurrentRead(Port, nullptr);
    CancelReadTimers(Port);
    IoReleaseCancelSpinLock(irql);
    while (!IsListEmpty(&cancelled)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&cancelled), IRP, Tail.Overlay.ListEntry);
        CompleteRead(irp, STATUS_CANCELLED, IO_NO_INCREMENT);
    }
}
