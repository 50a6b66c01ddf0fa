// The direct write path (TxAsync 0): the application's own write request goes to the
// pipe driver as its pipe write on DataOutPipe, one at a time; later writes wait in
// WriteQueue. A write whose length is a whole number of packets is followed by a
// zero-length pass on the same request, so that the adapter sees the transfer end.
//
// Who ends the current write: its completion routine, unless a canceller (the write
// timeout or CancelAllWrites) has claimed it. CurrentWriteState decides between them:
// each party makes one interlocked change and acts on the value it displaced, so
// exactly one of them completes the request. WriteCancelGuard admits one canceller at
// a time.
//
// WriteQueueLock guards WriteQueue, CurrentWrite and the making of a write current;
// it is never held across a call to the pipe driver, IoCancelIrp or a completion.
// The cancel spin lock is released before WriteQueueLock is taken.
#include "driver/driver.h"
#include "lines/wait_mask.h"
#include "lower/pipe.h"
#include "tx/write.h"

namespace {

// WriteQueueLock held. Makes a request whose cancel routine has been taken back the
// current write and prepares its pass down: the pipe write in the next stack
// location, the completion routine, the idle event cleared, the timeout armed. The
// caller sends it once the lock is released.
VOID MakeCurrentAndPrepare(PortExtension* Port, PIRP Irp)
{
    Port->WriteGeneration++;
    Port->TotalWritten = 0;
    Port->CurrentWrite = Irp;
    InterlockedExchange(&Port->CurrentWriteState, WRITE_IDLE);
    ULONG length = WriteLength(Irp);
    PipeSetWriteLocation(Port, Irp, length);
    IoSetCompletionRoutine(Irp, DirectWriteComplete, Port, TRUE, TRUE, TRUE);
    KeClearEvent(&Port->TxIdleEvent);
    InterlockedExchange(&Port->CurrentWriteState, WRITE_SENT);
    ArmWriteTimer(Port, length);
}

// <= DISPATCH_LEVEL; no lock held. Hands a prepared write to the pipe driver. Its
// return value says nothing the completion routine will not.
VOID SendWrite(PortExtension* Port, PIRP Irp) { IoCallDriver(Port->LowerDevice, Irp); }

// WriteQueueLock held. Makes the oldest queued write whose cancel routine can be taken
// back the current write, prepared to go down; returns it, or null. A stopped
// transmitter hands nothing down: its queued writes wait for the cancel that follows
// a purge or cleanup, or for the start that follows a power-down.
PIRP TakeNextWrite(PortExtension* Port)
{
    if (VcomReadFlag(&Port->TxStopped)) return nullptr;
    while (!IsListEmpty(&Port->WriteQueue)) {
        PLIST_ENTRY entry = RemoveHeadList(&Port->WriteQueue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, nullptr)) {
            MakeCurrentAndPrepare(Port, irp);
            return irp;
        }
        InitializeListHead(entry);  // its cancel routine is running and unlinks it harmlessly
    }
    return nullptr;
}

// <= DISPATCH_LEVEL; no lock held. Sends a write made current by TakeNextWrite; from a
// completion nested too deeply it goes from WriteSendDpc, once the stack has unwound.
VOID SendNextWrite(PortExtension* Port, PIRP Irp)
{
    if (InterlockedCompareExchange(&Port->TxCompletionDepth, 0, 0) > TX_MAX_NESTED_COMPLETIONS)
        KeInsertQueueDpc(&Port->WriteSendDpc, Irp, nullptr);
    else
        SendWrite(Port, Irp);
}

// <= DISPATCH_LEVEL; takes WriteQueueLock. The current write has ended: the next
// queued one goes down. When none goes down nothing is in flight: TxIdleEvent is
// signalled under the lock, so that a write made current meanwhile (which clears it
// under the lock) cannot be overtaken; and when the queue ran dry SERIAL_EV_TXEMPTY is
// posted.
VOID StartNextWrite(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    Port->CurrentWrite = nullptr;
    PIRP next = TakeNextWrite(Port);
    BOOLEAN drained = !next && IsListEmpty(&Port->WriteQueue);
    if (!next) KeSetEvent(&Port->TxIdleEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);

    if (next) {
        SendNextWrite(Port, next);
    } else if (drained) {
        PostEvents(Port->PortDeviceObject, SERIAL_EV_TXEMPTY);
        CheckWait(Port->PortDeviceObject);
    }
}

// <= DISPATCH_LEVEL; takes WriteQueueLock. The current write, which a canceller had
// claimed, came back from the pipe driver while the cancel was under way; the
// canceller ends it and starts the next.
VOID EndReturnedWrite(PortExtension* Port, PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost)
{
    CompleteWrite(Port, Irp, Status, Information, Boost);
    StartNextWrite(Port);
}

// <= DISPATCH_LEVEL; takes WriteQueueLock. Accepts a write: it goes down at once when
// the transmitter is free, else it waits in WriteQueue with its cancel routine set.
NTSTATUS StartOrQueueWrite(PortExtension* Port, PIRP Irp)
{
    BOOLEAN send = FALSE;
    BOOLEAN cancelled = FALSE;
    BOOLEAN stopped = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, WriteCancelRoutine);
    if (VcomIrpCancelled(Irp) && IoSetCancelRoutine(Irp, nullptr)) {
        cancelled = TRUE;
    } else if (VcomReadFlag(&Port->TxStopped) && IoSetCancelRoutine(Irp, nullptr)) {
        stopped = TRUE;  // the transmitter stopped since the write was accepted
    } else if (Port->CurrentWrite || !IsListEmpty(&Port->WriteQueue)) {
        InsertTailList(&Port->WriteQueue, &Irp->Tail.Overlay.ListEntry);
    } else if (IoSetCancelRoutine(Irp, nullptr)) {
        MakeCurrentAndPrepare(Port, Irp);
        send = TRUE;
    } else {
        // Cancelled on another processor just now: its cancel routine completes it.
        InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);

    if (send) SendWrite(Port, Irp);
    if (cancelled) CompleteWrite(Port, Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    if (stopped) CompleteWrite(Port, Irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    return STATUS_PENDING;
}

// <= DISPATCH_LEVEL, in the pipe driver's completion context; takes WriteQueueLock
// through StartNextWrite. Ends one pass of the current write: a whole number of
// packets is followed by a zero-length pass on the same request; otherwise the write
// ends here unless a canceller has claimed it.
VOID EndPass(PortExtension* port, PIRP Irp)
{
    ULONG pass = (ULONG)Irp->IoStatus.Information;
    port->TotalWritten += pass;
    CountTransmitted(port, pass);

    if (ReadRunState(port) == RUN_WORKING && port->TxAllowNullPacket && pass && port->MaxPacketOut &&
        pass % port->MaxPacketOut == 0) {
        // The timer and the state stay: the write's timeout covers this pass too.
        PipeSetWriteLocation(port, Irp, 0);
        IoSetCompletionRoutine(Irp, DirectWriteComplete, port, TRUE, TRUE, TRUE);
        KeClearEvent(&port->TxIdleEvent);
        SendWrite(port, Irp);
        return;
    }

    KeCancelTimer(&port->WriteTimer);
    LONG was = InterlockedExchange(&port->CurrentWriteState, WRITE_RETURNED);
    if (was == WRITE_CLAIMED) {
        // A canceller is between its claim and the return of its IoCancelIrp; it
        // finds WRITE_RETURNED and ends the write.
        return;
    }
    NTSTATUS status = Irp->IoStatus.Status;
    // Cancelled by the write timeout: the application sees a timeout, not a cancel.
    if (was == WRITE_CANCEL_ISSUED && status == STATUS_CANCELLED && port->WriteCanceller == WRITE_CANCELLER_TIMEOUT)
        status = STATUS_TIMEOUT;
    EndReturnedWrite(port, Irp, status, port->TotalWritten, IO_SERIAL_INCREMENT);
}

// WriteQueueLock held. Claims the current write for a canceller: the guard admits one
// canceller at a time, and the claim needs a write that is with the pipe driver now
// (WRITE_SENT). One left in another state by an earlier canceller is not claimed
// again, since its completion routine would take the new claim for one still under
// way and leave the write to a canceller that has already gone.
PIRP ClaimCurrentWrite(PortExtension* Port, LONG Canceller)
{
    if (!Port->CurrentWrite || InterlockedExchange(&Port->WriteCancelGuard, 1)) return nullptr;
    if (InterlockedCompareExchange(&Port->CurrentWriteState, WRITE_CLAIMED, WRITE_SENT) != WRITE_SENT) {
        InterlockedExchange(&Port->WriteCancelGuard, 0);
        return nullptr;
    }
    Port->WriteCanceller = Canceller;
    return Port->CurrentWrite;
}

// <= DISPATCH_LEVEL; no lock held. Cancels a claimed write. When the pipe driver
// completed it while the cancel was under way, the canceller ends it: a timeout as
// STATUS_TIMEOUT, a purge as STATUS_CANCELLED, unless the pipe driver had finished it
// otherwise (its own status stands then, with every byte it sent). The guard is let go
// before the next write starts, so that write's own timeout is never turned away.
VOID CancelClaimedWrite(PortExtension* Port, PIRP Irp)
{
    IoCancelIrp(Irp);
    LONG was = InterlockedExchange(&Port->CurrentWriteState, WRITE_CANCEL_ISSUED);
    InterlockedExchange(&Port->WriteCancelGuard, 0);
    if (was != WRITE_RETURNED) return;  // its completion routine ends it
    NTSTATUS status = Irp->IoStatus.Status;
    ULONG_PTR information = Port->TotalWritten;
    if (Port->WriteCanceller == WRITE_CANCELLER_TIMEOUT) {
        status = STATUS_TIMEOUT;
    } else if (status == STATUS_CANCELLED) {
        information = 0;
    }
    EndReturnedWrite(Port, Irp, status, information,
                     status == STATUS_CANCELLED ? IO_NO_INCREMENT : IO_SERIAL_INCREMENT);
}

}  // namespace

// PASSIVE_LEVEL, from AddDevice: the write path's timer, queue and lock.
VOID DirectWriteInit(PortExtension* Port)
{
    WriteQueueInit(Port, DirectWriteTimeout);
    KeInitializeDpc(&Port->WriteSendDpc, DirectWriteSendDeferred, Port);
    Port->WriteCancelGuard = 0;
    Port->TotalWritten = 0;
}

// <= DISPATCH_LEVEL (applications call at PASSIVE_LEVEL); takes WriteQueueLock.
NTSTATUS NTAPI DirectWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    NTSTATUS status;
    if (WriteRefused(port, Irp, &status)) return status;
    AdjustOutQueue(port, (LONG)WriteLength(Irp));
    Irp->IoStatus.Information = 0;
    return StartOrQueueWrite(port, Irp);
}

// DISPATCH_LEVEL, cancel spin lock held on entry; releases it, then takes
// WriteQueueLock. Only queued writes carry this routine.
VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PortExtension* port = PortOf(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&port->WriteQueueLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);  // a self-linked request stays as it is
    KeReleaseSpinLock(&port->WriteQueueLock, irql);
    CompleteWrite(port, Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
}

// <= DISPATCH_LEVEL, in the pipe driver's completion context; takes WriteQueueLock
// through StartNextWrite. Ends one pass of the current write: a whole number of
// packets is followed by a zero-length pass on the same request; otherwise the write
// ends here unless a canceller has claimed it.
NTSTATUS NTAPI DirectWriteComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* port = (PortExtension*)Context;
    InterlockedIncrement(&port->TxCompletionDepth);
    EndPass(port, Irp);
    InterlockedDecrement(&port->TxCompletionDepth);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// DISPATCH_LEVEL, WriteSendDpc: the next write, prepared by a completion nested too
// deeply to send it.
VOID NTAPI DirectWriteSendDeferred(PKDPC, PVOID Context, PVOID Irp, PVOID)
{
    SendWrite((PortExtension*)Context, (PIRP)Irp);
}

// <= DISPATCH_LEVEL; takes WriteQueueLock. After a stop that left writes queued (a
// power-down), the oldest goes down.
VOID DirectTxResume(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    PIRP next = Port->CurrentWrite ? nullptr : TakeNextWrite(Port);
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);
    if (next) SendWrite(Port, next);
}

// WriteQueueLock held.
PIRP ClaimCurrentDirectWrite(PortExtension* Port) { return ClaimCurrentWrite(Port, WRITE_CANCELLER_PURGE); }

// <= DISPATCH_LEVEL; no lock held.
VOID CancelClaimedDirectWrite(PortExtension* Port, PIRP Irp) { CancelClaimedWrite(Port, Irp); }

// DISPATCH_LEVEL, the DPC of WriteTimer; takes WriteQueueLock. Times out the write
// the timer was armed for, and no other: a DPC queued by an earlier expiry that runs
// late finds the timer armed for a newer write, or not armed, and does nothing.
VOID NTAPI DirectWriteTimeout(PKDPC, PVOID Context, PVOID, PVOID)
{
    auto* port = (PortExtension*)Context;
    PIRP irp = nullptr;
    KeAcquireSpinLockAtDpcLevel(&port->WriteQueueLock);
    if (WriteTimerExpiredForCurrent(port)) irp = ClaimCurrentWrite(port, WRITE_CANCELLER_TIMEOUT);
    KeReleaseSpinLockFromDpcLevel(&port->WriteQueueLock);
    if (irp) CancelClaimedWrite(port, irp);
}
