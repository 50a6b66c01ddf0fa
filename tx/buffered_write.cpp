// The buffered write path (TxAsync nonzero): a write is copied into TxRing and ends
// as soon as all its bytes are there; a transfer engine empties the ring into
// DataOutPipe, one transfer of at most 4096 bytes at a time, and gathers small
// writes: at a transfer's completion fewer than TxKickThreshold waiting bytes wait
// up to 10 ms for more. A write that does not fit stays current (with its cancel
// routine set and its list link pointing to itself) and is fed into the ring as
// transfers make room; later writes wait in WriteQueue.
//
// WriteQueueLock guards WriteQueue, CurrentWrite, WriteCursor and WriteCopied; the
// ring's lock nests inside it. A write's cancel routine is taken back before any of
// its bytes move into the ring, so a write whose bytes went out is never reported
// cancelled with none sent. TxBusy admits one party at a time to the engine; a kick
// that finds it taken leaves TxKickPending set, and every path that lets go of it
// without a transfer in flight signals TxIdleEvent when the transmitter stopped, and
// otherwise makes the pending kick.
#include "driver/driver.h"
#include "lines/wait_mask.h"
#include "lower/pipe.h"
#include "rx/ring_buffer.h"
#include "tx/write.h"

namespace {

enum FeedResult {
    FEED_DONE,       // every byte is in TxRing
    FEED_CURRENT,    // the write stays current, its cancel routine set
    FEED_CANCELLED,  // cancelled while being fed; some of its bytes may be in TxRing
};

BOOLEAN Removed(PortExtension* Port) { return PortRemoved(Port); }

// WriteQueueLock held; the caller owns Irp (its cancel routine taken back) and has made
// it CurrentWrite. Moves what fits of its remaining bytes into TxRing.
FeedResult FeedCurrentWrite(PortExtension* Port, PIRP Irp)
{
    ULONG length = WriteLength(Irp);
    ULONG n = RingPut(&Port->TxRing, Port->WriteCursor, length - Port->WriteCopied);
    Port->WriteCursor += n;
    Port->WriteCopied += n;
    if (Port->WriteCopied == length) return FEED_DONE;
    IoSetCancelRoutine(Irp, BufferedWriteCancel);
    if (VcomIrpCancelled(Irp) && IoSetCancelRoutine(Irp, nullptr)) return FEED_CANCELLED;
    return FEED_CURRENT;
}

// WriteQueueLock held.
VOID ClearCurrentWrite(PortExtension* Port)
{
    Port->CurrentWrite = nullptr;
    Port->WriteCursor = nullptr;
    Port->WriteCopied = 0;
}

// WriteQueueLock held. A write that stays current from now on: its own timeout starts.
VOID KeepCurrent(PortExtension* Port, PIRP Irp)
{
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    Port->WriteGeneration++;
    ArmWriteTimer(Port, WriteLength(Irp));
}

// <= DISPATCH_LEVEL; no lock held. Ends a fed write that did not stay current.
VOID EndFedWrite(PortExtension* Port, PIRP Irp, FeedResult Result)
{
    if (Result == FEED_DONE)
        CompleteWrite(Port, Irp, STATUS_SUCCESS, WriteLength(Irp), IO_SERIAL_INCREMENT);
    else
        CompleteWrite(Port, Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
}

// <= DISPATCH_LEVEL; no lock held on entry; takes WriteQueueLock. After the current
// write has ended: queued writes are copied into the ring in order and completed as
// they fit, until one does not fit and stays current. When no write is left current,
// SERIAL_EV_TXEMPTY is posted. Starts no transfer.
VOID DrainWriteQueue(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    while (!Port->CurrentWrite && !IsListEmpty(&Port->WriteQueue)) {
        PLIST_ENTRY entry = RemoveHeadList(&Port->WriteQueue);
        InitializeListHead(entry);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (!IoSetCancelRoutine(irp, nullptr)) continue;  // its cancel routine completes it
        Port->CurrentWrite = irp;
        Port->WriteCursor = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
        Port->WriteCopied = 0;
        FeedResult result = FeedCurrentWrite(Port, irp);
        if (result == FEED_CURRENT) {
            KeepCurrent(Port, irp);
            break;
        }
        ClearCurrentWrite(Port);
        KeReleaseSpinLock(&Port->WriteQueueLock, irql);
        EndFedWrite(Port, irp, result);
        KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    }
    BOOLEAN empty = Port->CurrentWrite == nullptr;
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);
    if (empty) {
        PostEvents(Port->PortDeviceObject, SERIAL_EV_TXEMPTY);
        CheckWait(Port->PortDeviceObject);
    }
}

// <= DISPATCH_LEVEL; takes WriteQueueLock. Feeds the current write from where it
// stopped; when its last byte is in the ring it completes, and the queue drains
// behind it. A stopped transmitter takes nothing more: the current write waits for
// the cancel that follows a purge or cleanup, or for the start after a power-down.
VOID RefillFromCurrentWrite(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    PIRP irp = VcomReadFlag(&Port->TxStopped) ? nullptr : Port->CurrentWrite;
    // A write whose cancel routine cannot be taken back is being cancelled; that
    // routine ends it.
    if (!irp || !IoSetCancelRoutine(irp, nullptr)) {
        KeReleaseSpinLock(&Port->WriteQueueLock, irql);
        return;
    }
    FeedResult result = FeedCurrentWrite(Port, irp);
    if (result == FEED_CURRENT) {
        KeReleaseSpinLock(&Port->WriteQueueLock, irql);
        return;
    }
    // Under the lock: once it is released a new write may become current and arm the
    // timer for itself.
    KeCancelTimer(&Port->WriteTimer);
    ClearCurrentWrite(Port);
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);
    EndFedWrite(Port, irp, result);
    DrainWriteQueue(Port);
}

// <= DISPATCH_LEVEL; the caller holds TxBusy and lets go of it here with nothing in
// flight. A stopped or removed transmitter is idle now. Otherwise a kick that came
// while TxBusy was held (a writer's, or the kick timer's) is made now: its bytes may
// have entered the ring after the holder looked.
VOID LetGoOfEngine(PortExtension* Port)
{
    InterlockedExchange(&Port->TxBusy, 0);
    if (VcomReadFlag(&Port->TxStopped) || Removed(Port)) {
        KeSetEvent(&Port->TxIdleEvent, IO_NO_INCREMENT, FALSE);
        return;
    }
    if (!InterlockedExchange(&Port->TxKickPending, 0)) return;
    // Inside completions nested this deep a kick made meanwhile (by a writer on another
    // thread, or by a completion routine above) waits for the stack to unwind: sent
    // from here, each transfer completed at once would nest one level further.
    if (InterlockedCompareExchange(&Port->TxCompletionDepth, 0, 0) > TX_MAX_NESTED_COMPLETIONS)
        KeSetTimer(&Port->TxKickTimer, LARGE_INTEGER{}, &Port->TxKickDpc);
    else
        TxKick(Port);
}

// <= DISPATCH_LEVEL; TxBusy held. One transfer: the ring's next bytes (at most 4096),
// or a zero-length packet. On every path that sends nothing TxBusy is let go.
NTSTATUS SendTransfer(PortExtension* Port, BOOLEAN ZeroLength)
{
    if (Removed(Port)) {
        LetGoOfEngine(Port);
        return STATUS_DELETE_PENDING;
    }
    if (VcomReadFlag(&Port->TxStopped)) {
        LetGoOfEngine(Port);
        return STATUS_UNSUCCESSFUL;
    }
    if (!ZeroLength && !RingCount(&Port->TxRing)) {
        LetGoOfEngine(Port);
        return STATUS_SUCCESS;
    }
    // The request comes before the bytes leave the ring: when it cannot be had, the
    // bytes stay and the kick timer tries again.
    PIRP irp = IoAllocateIrp(Port->PortDeviceObject->StackSize, FALSE);
    if (!irp) {
        if (!ZeroLength) KeSetTimer(&Port->TxKickTimer, Port->TxKickDelay, &Port->TxKickDpc);
        LetGoOfEngine(Port);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG n = 0;
    if (!ZeroLength) {
        n = RingGet(Port->TxStaging, &Port->TxRing, TX_TRANSFER_MAX);
        if (!n) {  // a purge emptied the ring just now
            IoFreeIrp(irp);
            LetGoOfEngine(Port);
            return STATUS_SUCCESS;
        }
    } else {
        KeClearEvent(&Port->TxIdleEvent);
    }

    // The topmost location is the driver's own; the pipe driver sees a copy of it.
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
    own->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    own->DeviceObject = Port->PortDeviceObject;
    own->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_WRITE;
    own->Parameters.DeviceIoControl.InputBufferLength = n;
    own->Parameters.DeviceIoControl.OutputBufferLength = 0;
    irp->AssociatedIrp.SystemBuffer = ZeroLength ? nullptr : Port->TxStaging;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoGetNextIrpStackLocation(irp)->FileObject = &Port->DataOutPipe.File;
    IoSetCompletionRoutine(irp, TxTransferComplete, Port, TRUE, TRUE, TRUE);

    InterlockedExchange(&Port->CurrentWriteState, WRITE_SENT);
    IoCallDriver(Port->LowerDevice, irp);
    return STATUS_SUCCESS;
}

// <= DISPATCH_LEVEL, from TxTransferComplete with TxBusy held; `Depth` counts the
// completions running nested. Refills the ring from the current write, then chooses:
// a full transfer at once, a short one after up to 10 ms of gathering, a zero-length
// packet after a transfer of whole packets that emptied the ring, or nothing.
VOID DecideNextTransfer(PortExtension* Port, ULONG Sent, LONG Depth)
{
    RefillFromCurrentWrite(Port);
    KeCancelTimer(&Port->TxKickTimer);
    if (Removed(Port) || VcomReadFlag(&Port->TxStopped)) {
        // Nothing more goes out: bytes left in the ring stay for the next start.
        LetGoOfEngine(Port);
        return;
    }
    // Kicks made before this look are decided by it; later ones are made at the let-go.
    InterlockedExchange(&Port->TxKickPending, 0);
    ULONG waiting = RingCount(&Port->TxRing);
    if (waiting >= Port->TxKickThreshold && Depth > TX_MAX_NESTED_COMPLETIONS) {
        KeSetTimer(&Port->TxKickTimer, LARGE_INTEGER{}, &Port->TxKickDpc);  // unwinds the stack first
        LetGoOfEngine(Port);
    } else if (waiting >= Port->TxKickThreshold) {
        SendTransfer(Port, FALSE);
    } else if (waiting > 0) {
        // Let more bytes gather for up to 10 ms.
        KeSetTimer(&Port->TxKickTimer, Port->TxKickDelay, &Port->TxKickDpc);
        LetGoOfEngine(Port);
    } else if (Port->TxAllowNullPacket && Sent && Port->MaxPacketOut && Sent % Port->MaxPacketOut == 0) {
        SendTransfer(Port, TRUE);
    } else {
        LetGoOfEngine(Port);
    }
}

}  // namespace

// PASSIVE_LEVEL, from AddDevice: the write path's timer, queue and lock.
VOID BufferedWriteInit(PortExtension* Port)
{
    WriteQueueInit(Port, BufferedWriteTimeout);
    Port->TxBusy = 0;
}

// <= DISPATCH_LEVEL (applications call at PASSIVE_LEVEL); takes WriteQueueLock.
// Completes at once when every byte fits into the ring; otherwise the write stays
// pending, current or queued.
NTSTATUS NTAPI BufferedWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    NTSTATUS status;
    if (WriteRefused(port, Irp, &status)) return status;
    AdjustOutQueue(port, (LONG)WriteLength(Irp));
    Irp->IoStatus.Information = 0;

    KIRQL irql;
    KeAcquireSpinLock(&port->WriteQueueLock, &irql);
    IoSetCancelRoutine(Irp, BufferedWriteCancel);
    if (VcomIrpCancelled(Irp) && IoSetCancelRoutine(Irp, nullptr)) {
        KeReleaseSpinLock(&port->WriteQueueLock, irql);
        CompleteWrite(port, Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
        return STATUS_CANCELLED;
    }
    if (VcomReadFlag(&port->TxStopped) && IoSetCancelRoutine(Irp, nullptr)) {
        // The transmitter stopped since the write was accepted: its bytes are dropped.
        KeReleaseSpinLock(&port->WriteQueueLock, irql);
        CompleteWrite(port, Irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    if (port->CurrentWrite || !IsListEmpty(&port->WriteQueue)) {
        // A transfer is in flight or due; its completion feeds the queue.
        IoMarkIrpPending(Irp);
        InsertTailList(&port->WriteQueue, &Irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&port->WriteQueueLock, irql);
        return STATUS_PENDING;
    }
    if (!IoSetCancelRoutine(Irp, nullptr)) {
        // Cancelled on another processor just now: its cancel routine completes it.
        IoMarkIrpPending(Irp);
        InitializeListHead(&Irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&port->WriteQueueLock, irql);
        return STATUS_PENDING;
    }
    port->CurrentWrite = Irp;
    port->WriteCursor = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    port->WriteCopied = 0;
    FeedResult result = FeedCurrentWrite(port, Irp);
    if (result == FEED_CURRENT) {
        IoMarkIrpPending(Irp);
        KeepCurrent(port, Irp);
        KeReleaseSpinLock(&port->WriteQueueLock, irql);
        TxKick(port);
        return STATUS_PENDING;
    }
    ClearCurrentWrite(port);
    KeReleaseSpinLock(&port->WriteQueueLock, irql);
    status = result == FEED_DONE ? STATUS_SUCCESS : STATUS_CANCELLED;
    EndFedWrite(port, Irp, result);
    if (result == FEED_DONE) {
        PostEvents(DeviceObject, SERIAL_EV_TXEMPTY);
        CheckWait(DeviceObject);
    }
    TxKick(port);
    return status;
}

// DISPATCH_LEVEL, cancel spin lock held on entry; releases it, then takes
// WriteQueueLock. A queued write, or the current one: the bytes the current one had
// already put into the ring are still sent.
VOID NTAPI BufferedWriteCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PortExtension* port = PortOf(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&port->WriteQueueLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);  // a self-linked request stays as it is
    BOOLEAN current = port->CurrentWrite == Irp;
    if (current) {
        KeCancelTimer(&port->WriteTimer);
        ClearCurrentWrite(port);
    }
    KeReleaseSpinLock(&port->WriteQueueLock, irql);
    CompleteWrite(port, Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    if (current) {
        DrainWriteQueue(port);
        TxKick(port);
    }
}

// DISPATCH_LEVEL, the DPC of WriteTimer; takes WriteQueueLock. The current write the
// timer was armed for ends with the bytes it has in the ring, which are still sent.
VOID NTAPI BufferedWriteTimeout(PKDPC, PVOID Context, PVOID, PVOID)
{
    auto* port = (PortExtension*)Context;
    KeAcquireSpinLockAtDpcLevel(&port->WriteQueueLock);
    PIRP irp = port->CurrentWrite;
    if (!WriteTimerExpiredForCurrent(port) || !IoSetCancelRoutine(irp, nullptr)) {
        KeReleaseSpinLockFromDpcLevel(&port->WriteQueueLock);
        return;
    }
    ULONG copied = port->WriteCopied;
    ClearCurrentWrite(port);
    KeReleaseSpinLockFromDpcLevel(&port->WriteQueueLock);
    CompleteWrite(port, irp, STATUS_TIMEOUT, copied, IO_NO_INCREMENT);
    DrainWriteQueue(port);
    TxKick(port);
}

// The kick is recorded before the engine is tried: a holder that lets go after a
// failed try finds the record and kicks for it.
NTSTATUS TxKick(PortExtension* Port)
{
    InterlockedExchange(&Port->TxKickPending, 1);
    if (InterlockedExchange(&Port->TxBusy, 1)) return STATUS_SUCCESS;
    InterlockedExchange(&Port->TxKickPending, 0);
    return SendTransfer(Port, FALSE);
}

NTSTATUS TxSendNullPacket(PortExtension* Port)
{
    if (InterlockedExchange(&Port->TxBusy, 1)) return STATUS_SUCCESS;
    return SendTransfer(Port, TRUE);
}

// <= DISPATCH_LEVEL, in the pipe driver's completion context. The engine stays taken
// (TxBusy) until the next transfer is decided. A failed transfer is not retried: what
// the pipe driver did not send is lost, and the engine goes on with the ring.
NTSTATUS NTAPI TxTransferComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* port = (PortExtension*)Context;
    ULONG sent = (ULONG)Irp->IoStatus.Information;
    CountTransmitted(port, sent);
    if (PMDL mdl = Irp->MdlAddress) {  // one the pipe driver may have attached
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        Irp->MdlAddress = nullptr;
    }
    IoFreeIrp(Irp);
    LONG depth = InterlockedIncrement(&port->TxCompletionDepth);
    DecideNextTransfer(port, sent, depth);
    InterlockedDecrement(&port->TxCompletionDepth);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// DISPATCH_LEVEL, the DPC of TxKickTimer.
VOID NTAPI TxKickRetry(PKDPC, PVOID Context, PVOID, PVOID)
{
    auto* port = (PortExtension*)Context;
    if (!Removed(port)) TxKick(port);
}

// WriteQueueLock held.
PIRP TakeCurrentBufferedWrite(PortExtension* Port)
{
    PIRP irp = Port->CurrentWrite;
    if (!irp || !IoSetCancelRoutine(irp, nullptr)) return nullptr;
    KeCancelTimer(&Port->WriteTimer);
    ClearCurrentWrite(Port);
    return irp;
}

// <= DISPATCH_LEVEL; no lock held.
VOID EndTakenBufferedWrite(PortExtension* Port, PIRP Irp)
{
    CompleteWrite(Port, Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    DrainWriteQueue(Port);
}

// <= DISPATCH_LEVEL; no lock held.
VOID BufferedTxResume(PortExtension* Port)
{
    RefillFromCurrentWrite(Port);
    TxKick(Port);
}
