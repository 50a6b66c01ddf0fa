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

// <= DISPATCH_LEVEL; takes WriteQueueLock. The current write has ended: the oldest
// queued write whose cancel routine can be taken back goes down next. When none is
// left the transmitter is idle: TxIdleEvent is signalled under the lock, so that a
// write made current meanwhile (which clears it under the lock) cannot be overtaken,
// and SERIAL_EV_TXEMPTY is posted.
VOID StartNextWrite(PortExtension* Port)
{
    PIRP next = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    Port->CurrentWrite = nullptr;
    while (!IsListEmpty(&Port->WriteQueue)) {
        PLIST_ENTRY entry = RemoveHeadList(&Port->WriteQueue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, nullptr)) {
            MakeCurrentAndPrepare(Port, irp);
            next = irp;
            break;
        }
        InitializeListHead(entry);  // its cancel routine is running and unlinks it harmlessly
    }
    if (!next) KeSetEvent(&Port->TxIdleEvent, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);

    if (next) {
        if (InterlockedCompareExchange(&Port->TxCompletionDepth, 0, 0) > TX_MAX_NESTED_COMPLETIONS)
            KeInsertQueueDpc(&Port->WriteSendDpc, next, nullptr);  // unwinds the stack first
        else
            SendWrite(Port, next);
        return;
    }
    PostEvents(Port->PortDeviceObject, SERIAL_EV_TXEMPTY);
    CheckWait(Port->PortDeviceObject);
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
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, WriteCancelRoutine);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr)) {
        cancelled = TRUE;
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

    if (port->RunState == RUN_WORKING && port->TxAllowNullPacket && pass && port->MaxPacketOut &&
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

}  // namespace

// PASSIVE_LEVEL, from AddDevice: the write path's timer, queue and lock.
VOID DirectWriteInit(PortExtension* Port)
{
    KeInitializeTimer(&Port->WriteTimer);
    KeInitializeDpc(&Port->WriteTimerDpc, DirectWriteTimeout, Port);
    KeInitializeDpc(&Port->WriteSendDpc, DirectWriteSendDeferred, Port);
    KeInitializeSpinLock(&Port->WriteQueueLock);
    InitializeListHead(&Port->WriteQueue);
    Port->CurrentWrite = nullptr;
    Port->CurrentWriteState = WRITE_IDLE;
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

// WriteQueueLock held. A claim needs a write that is with the pipe driver now
// (WRITE_SENT): one left in another state by an earlier canceller is not claimed
// again, since its completion routine would take the new claim for one still under
// way and leave the write to a canceller that has already gone.
PIRP ClaimCurrentDirectWrite(PortExtension* Port)
{
    if (!Port->CurrentWrite || InterlockedExchange(&Port->WriteCancelGuard, 1)) return nullptr;
    if (InterlockedCompareExchange(&Port->CurrentWriteState, WRITE_CLAIMED, WRITE_SENT) != WRITE_SENT) {
        InterlockedExchange(&Port->WriteCancelGuard, 0);
        return nullptr;
    }
    Port->WriteCanceller = WRITE_CANCELLER_PURGE;
    return Port->CurrentWrite;
}

// <= DISPATCH_LEVEL; no lock held.
VOID CancelClaimedDirectWrite(PortExtension* Port, PIRP Irp)
{
    IoCancelIrp(Irp);
    if (InterlockedExchange(&Port->CurrentWriteState, WRITE_CANCEL_ISSUED) == WRITE_RETURNED)
        EndReturnedWrite(Port, Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    InterlockedExchange(&Port->WriteCancelGuard, 0);
}

// DISPATCH_LEVEL, the DPC of WriteTimer; takes WriteQueueLock. Times out the write
// the timer was armed for, and no other: a DPC already queued when its write ended
// finds a newer generation and does nothing.
VOID NTAPI DirectWriteTimeout(PKDPC, PVOID Context, PVOID, PVOID)
{
    auto* port = (PortExtension*)Context;
    if (InterlockedExchange(&port->WriteCancelGuard, 1)) return;  // CancelAllWrites is at work
    PIRP irp = nullptr;
    KeAcquireSpinLockAtDpcLevel(&port->WriteQueueLock);
    if (WriteTimerExpiredForCurrent(port) &&
        InterlockedCompareExchange(&port->CurrentWriteState, WRITE_CLAIMED, WRITE_SENT) == WRITE_SENT) {
        port->WriteCanceller = WRITE_CANCELLER_TIMEOUT;
        irp = port->CurrentWrite;
    }
    KeReleaseSpinLockFromDpcLevel(&port->WriteQueueLock);
    if (irp) {
        IoCancelIrp(irp);
        // Came back while the cancel was under way: the bytes of all its passes count.
        if (InterlockedExchange(&port->CurrentWriteState, WRITE_CANCEL_ISSUED) == WRITE_RETURNED)
            EndReturnedWrite(port, irp, STATUS_TIMEOUT, port->TotalWritten, IO_SERIAL_INCREMENT);
    }
    InterlockedExchange(&port->WriteCancelGuard, 0);
}
