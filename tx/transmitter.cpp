// The transmitter as a whole: what both write paths share (the checks before a write
// is accepted, the output-queue count, the write total timeout, the statistics) and
// the three operations the rest of the driver uses on it: stop, cancel every write,
// start again.
#include "driver/driver.h"
#include "lower/pipe.h"
#include "tx/write.h"

namespace {

constexpr ULONGLONG LongestTimerMs = 0x7FFFFFFFFFFFFFFFULL / 10000;  // what 100 ns units can hold

}  // namespace

VOID WriteQueueInit(PortExtension* Port, PKDEFERRED_ROUTINE Timeout)
{
    KeInitializeTimer(&Port->WriteTimer);
    KeInitializeDpc(&Port->WriteTimerDpc, Timeout, Port);
    KeInitializeSpinLock(&Port->WriteQueueLock);
    KeInitializeEvent(&Port->TxControlLock, SynchronizationEvent, TRUE);
    InitializeListHead(&Port->WriteQueue);
    Port->CurrentWrite = nullptr;
    Port->CurrentWriteState = WRITE_IDLE;
}

ULONG WriteLength(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length; }

VOID AdjustOutQueue(PortExtension* Port, LONG Delta)
{
    InterlockedExchangeAdd((volatile LONG*)&Port->CommStatus.AmountInOutQueue, Delta);
}

VOID CountTransmitted(PortExtension* Port, ULONG Bytes)
{
    if (!Bytes) return;
    InterlockedExchangeAdd((volatile LONG*)&Port->PerfStats.TransmittedCount, (LONG)Bytes);
    InterlockedExchangeAdd((volatile LONG*)&Port->WmiPerfStats.TransmittedCount, (LONG)Bytes);
}

// The timeout is Multiplier x Length + Constant milliseconds, computed in 64 bits; a
// time too long for a 64-bit due time waits as long as one can. The two settings are
// read whole (interlocked): IOCTL_SERIAL_SET_TIMEOUTS stores them under the cancel spin
// lock, which is not held here.
VOID ArmWriteTimer(PortExtension* Port, ULONG Length)
{
    ULONG multiplier = (ULONG)InterlockedCompareExchange((volatile LONG*)&Port->Timeouts.WriteTotalTimeoutMultiplier, 0, 0);
    ULONG constant = (ULONG)InterlockedCompareExchange((volatile LONG*)&Port->Timeouts.WriteTotalTimeoutConstant, 0, 0);
    ULONGLONG ms = (ULONGLONG)multiplier * Length + constant;
    if (!ms) return;
    if (ms > LongestTimerMs) ms = LongestTimerMs;
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)ms * 10000;
    Port->WriteTimerArmedFor = Port->WriteGeneration;
    KeSetTimer(&Port->WriteTimer, due, &Port->WriteTimerDpc);
}

BOOLEAN WriteTimerExpiredForCurrent(PortExtension* Port)
{
    return Port->CurrentWrite && Port->WriteTimerArmedFor == Port->WriteGeneration && KeReadStateTimer(&Port->WriteTimer);
}

BOOLEAN WriteRefused(PortExtension* Port, PIRP Irp, NTSTATUS* Status)
{
    if (PortRemoved(Port)) {
        *Status = CompleteRequest(Irp, STATUS_DELETE_PENDING);
    } else if (VcomReadFlag(&Port->TxStopped) || WriteLength(Irp) == 0) {
        // A stopped transmitter drops the bytes: the write "succeeds" with none sent.
        *Status = CompleteRequest(Irp, STATUS_SUCCESS);
    } else if (!Irp->AssociatedIrp.SystemBuffer) {
        *Status = CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    } else {
        return FALSE;
    }
    return TRUE;
}

VOID CompleteWrite(PortExtension* Port, PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost)
{
    AdjustOutQueue(Port, -(LONG)WriteLength(Irp));
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, Boost);
}

// PASSIVE_LEVEL; waits. Once the flag is set and WriteQueueLock has been passed, no
// write can become current or enter the ring any more (both paths look at the flag
// again under the lock). In buffered mode the engine is kicked once: with TxStopped
// set the kick sends nothing and signals TxIdleEvent, unless a transfer is in flight,
// whose completion signals it. A write or transfer that looked at the flag just
// before it was set may still reach the pipe after the abort, and a pipe driver that
// takes it might hold it for ever; so the abort is repeated until the transmitter is
// idle. Takes TxControlLock for the whole stop, so that no TxStart (a purge on another
// thread, a power-up) clears the flag between the kick and the wait.
VOID TxStop(PortExtension* Port)
{
    AcquirePassiveLock(&Port->TxControlLock);
    VcomWriteFlag(&Port->TxStopped, 1);
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);
    PipeAbort(Port->PortDeviceObject, &Port->DataOutPipe);
    if (Port->TxAsync) {
        KeClearEvent(&Port->TxIdleEvent);
        KeCancelTimer(&Port->TxKickTimer);
        TxKick(Port);
    }
    PipeWaitIdleAborting(Port->PortDeviceObject, &Port->DataOutPipe, &Port->TxIdleEvent);
    // A completion that decided on a delayed kick just before the flag was set may
    // have armed the kick timer after the cancel above; nothing can arm it now.
    KeCancelTimer(&Port->TxKickTimer);
    PipeReset(Port->PortDeviceObject, &Port->DataOutPipe);
    ReleasePassiveLock(&Port->TxControlLock);
}

// PASSIVE_LEVEL; takes TxControlLock, so it waits for a stop under way to end. While the
// device is powered down the transmitter stays stopped: the return to D0 starts it.
VOID TxStart(PortExtension* Port)
{
    if (ReadRunState(Port) == RUN_POWERED_DOWN) return;
    AcquirePassiveLock(&Port->TxControlLock);
    VcomWriteFlag(&Port->TxStopped, 0);
    if (Port->TxAsync)
        BufferedTxResume(Port);
    else
        DirectTxResume(Port);
    ReleasePassiveLock(&Port->TxControlLock);
}

// Queued writes are taken in queue order onto a private list and completed after the
// lock is released; one whose cancel routine is already running is left to it.
VOID CancelAllWrites(PortExtension* Port)
{
    LIST_ENTRY cancelled;
    InitializeListHead(&cancelled);
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    while (!IsListEmpty(&Port->WriteQueue)) {
        PLIST_ENTRY entry = RemoveHeadList(&Port->WriteQueue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, nullptr))
            InsertTailList(&cancelled, entry);
        else
            InitializeListHead(entry);  // its cancel routine unlinks it harmlessly
    }
    PIRP claimed = nullptr;
    PIRP taken = nullptr;
    if (Port->TxAsync)
        taken = TakeCurrentBufferedWrite(Port);
    else
        claimed = ClaimCurrentDirectWrite(Port);
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);

    if (claimed) CancelClaimedDirectWrite(Port, claimed);
    if (taken) EndTakenBufferedWrite(Port, taken);
    while (!IsListEmpty(&cancelled)) {
        PLIST_ENTRY entry = RemoveHeadList(&cancelled);
        CompleteWrite(Port, CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    }
}
