// The receive pump: a chain of I/O completion routines and timer DPCs that keeps one
// read of RxReqSize bytes outstanding on the bulk IN pipe and copies what arrives into
// RxRing. At any moment the chain is in exactly one place: a read on the pipe, the
// armed RxPumpTimer, or the one step (issue, completion, DPC) that runs now; so the
// transfer buffer and its length and offset need no lock.
//
// Bytes RxRing does not take (it is full, or receive flow control holds them back)
// stay in the transfer buffer: RxTransferLength is the size of the transfer they came
// with, RxTransferOffset how many of those already went into RxRing. No new read is
// issued while any are left; the DPC retries them every 10 ms, or at once when a read
// from outside the chain drains the ring to XonLimit while the chain waits on its
// timer (RxPumpResume): the reader need not wait for bytes the driver already holds.
// A drain inside the chain's own step (the current read served from its completion)
// keeps the chain's own pause.
//
// Start and stop. RxPumpState, changed only by interlocked operations, keeps the two
// apart:
//   IDLE     no chain: RxPumpStart may begin one
//   STARTING a start is setting up (a few stores, nothing that waits)
//   RUNNING  a chain was begun (it may have ended itself on a transfer error)
//   STOPPING a stop is ending the chain and waiting for it
// A start only begins a chain from IDLE, so a start that arrives while a stop waits
// does nothing: the stop wins, and the next read request starts the pump again. A stop
// that finds a start setting up lets it finish (1 ms pauses); a stop that finds
// another stop waits for the same idle event.
//
// Nesting. The pipe driver may complete a read inside the call that issued it, so a
// completion that issues the next read can run inside the previous completion.
// RxCompletionDepth counts the completions running; beyond a few levels the chain goes
// on from the DPC at once (due time 0) instead, which unwinds the stack.
//
// Stop and restart keep received bytes: a transfer that completes with data while a
// stop is under way leaves it in the transfer buffer, and a start with bytes left
// there continues from the DPC, which moves them into RxRing before the next read.
// Only RxPumpDiscard (the close, a purge of the receive side) drops them.
#include "rx/receive_pump.h"

#include "lines/wait_mask.h"
#include "lower/pipe.h"
#include "rx/read.h"
#include "rx/ring_buffer.h"

namespace {

enum : LONG {
    RX_PUMP_IDLE = 0,
    RX_PUMP_STARTING = 1,
    RX_PUMP_RUNNING = 2,
    RX_PUMP_STOPPING = 3,
};

// Completions deeper than this continue the chain from the DPC.
constexpr LONG MaxNestedCompletions = 4;

constexpr LONG EmptyTransferPauseMs = 10;  // after an empty transfer, when polling
constexpr LONG LeftoverPauseMs = 5;        // after a transfer that left bytes over
constexpr LONG RetryPauseMs = 10;          // between retries of bytes left over, or of a read not allocated

constexpr ULONG RxFullPercent = 80;

// <= DISPATCH_LEVEL; no lock. Arms the pump's one-shot timer; 0 runs its DPC at once.
VOID ArmPumpTimer(PortExtension* Port, LONG Milliseconds)
{
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)Milliseconds * 10000;
    KeSetTimer(&Port->RxPumpTimer, due, &Port->RxPumpDpc);
}

// <= DISPATCH_LEVEL; no lock. The chain has ended: a stop may go on.
VOID EndChain(PortExtension* Port) { KeSetEvent(&Port->RxIdleEvent, IO_NO_INCREMENT, FALSE); }

ULONG LeftoverOf(PortExtension* Port) { return Port->RxTransferLength - Port->RxTransferOffset; }

// <= DISPATCH_LEVEL; takes RxRing.Lock. Whether RxRing is filled to 80 % or more. A ring
// without storage is not: there is nothing to divide by.
BOOLEAN RingNearlyFull(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->RxRing.Lock, &irql);
    ULONG size = Port->RxRing.Size;
    ULONG count = Port->RxRing.Count;
    KeReleaseSpinLock(&Port->RxRing.Lock, irql);
    return size != 0 && count * 100 / size >= RxFullPercent;
}

// <= DISPATCH_LEVEL; RingPut takes RxRing.Lock, then RxRing.Lock again for the
// decision. Moves what RxRing takes of Length bytes and applies receive flow control:
// when the ring's free space is at or below XoffLimit, no more bytes may come in until
// the read side lets them. Count and RxAllowed are read and written under the ring's
// lock, so a reader that drains the ring meanwhile sees the clearing and sets it again.
ULONG PutWithFlowControl(PortExtension* Port, const UCHAR* Source, ULONG Length)
{
    ULONG put = RingPut(&Port->RxRing, Source, Length);
    KIRQL irql;
    KeAcquireSpinLock(&Port->RxRing.Lock, &irql);
    LONGLONG room = (LONGLONG)Port->RxRing.Size - (LONGLONG)Port->RxRing.Count;
    // The limit is read whole: IOCTL_SERIAL_SET_HANDFLOW stores it on another thread.
    if (room <= (LONGLONG)InterlockedCompareExchange(&Port->HandFlow.XoffLimit, 0, 0)) Port->RxAllowed = 0;
    KeReleaseSpinLock(&Port->RxRing.Lock, irql);
    return put;
}

// <= DISPATCH_LEVEL; takes RxRing.Lock. Whether flow control lets bytes in: read under
// the lock the read side sets it under.
BOOLEAN ReceiveAllowed(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->RxRing.Lock, &irql);
    BOOLEAN allowed = Port->RxAllowed != 0;
    KeReleaseSpinLock(&Port->RxRing.Lock, irql);
    return allowed;
}

BOOLEAN Contains(const UCHAR* Bytes, ULONG Length, UCHAR Value)
{
    for (ULONG i = 0; i < Length; ++i)
        if (Bytes[i] == Value) return TRUE;
    return FALSE;
}

// <= DISPATCH_LEVEL; the read service takes the cancel spin lock, CheckWait EventLock
// then the cancel spin lock. What follows every step that may have moved bytes.
VOID ServeAndDeliver(PortExtension* Port)
{
    ReadService(Port);
    CheckWait(Port->PortDeviceObject);
}

// <= DISPATCH_LEVEL; takes RxRing.Lock. Moves bytes left in the transfer buffer into
// RxRing while flow control allows, posting the receive events of what moved (the 80 %
// test after the put). Returns whether any are still left.
BOOLEAN MoveLeftover(PortExtension* Port)
{
    ULONG left = LeftoverOf(Port);
    if (left && ReceiveAllowed(Port)) {
        const UCHAR* from = Port->RxTransferBuffer + Port->RxTransferOffset;
        ULONG put = PutWithFlowControl(Port, from, left);
        Port->RxTransferOffset += put;
        if (put) {
            ULONG events = SERIAL_EV_RXCHAR;
            if (RingNearlyFull(Port)) events |= SERIAL_EV_RX80FULL;
            if (Contains(from, put, VcomReadFlag(&Port->Chars.EventChar))) events |= SERIAL_EV_RXFLAG;
            PostEvents(Port->PortDeviceObject, events);
        }
        left = LeftoverOf(Port);
    }
    return left != 0;
}

// <= DISPATCH_LEVEL. Unlocks and frees a pump read's MDL and the read itself: pump
// reads are the driver's own and never go back to the I/O manager.
VOID FreePumpRead(PIRP Irp)
{
    if (Irp->MdlAddress) {
        MmUnlockPages(Irp->MdlAddress);
        IoFreeMdl(Irp->MdlAddress);
        Irp->MdlAddress = nullptr;
    }
    IoFreeIrp(Irp);
}

}  // namespace

// <= DISPATCH_LEVEL; no lock. Puts the next read on the bulk IN pipe, or ends the chain
// when the pump is stopping, the device is going or no read can be built.
NTSTATUS RxPumpIssue(PortExtension* Port)
{
    if (VcomReadFlag(&Port->RxStopped)) {
        EndChain(Port);
        return STATUS_CANCELLED;
    }
    if (PortRemoved(Port)) {
        EndChain(Port);
        return STATUS_DELETE_PENDING;
    }
    // A read that cannot be allocated now is tried again from the timer, where a stop
    // finds the chain: one failed allocation must not leave the port deaf until it is
    // opened again. PipeReadAsync ends the chain itself (RxIdleEvent) when no read can
    // be issued for any other reason.
    NTSTATUS status = PipeReadAsync(Port, Port->RxTransferBuffer, Port->RxReqSize, &Port->DataInPipe, RxPumpComplete);
    if (status == STATUS_INSUFFICIENT_RESOURCES) ArmPumpTimer(Port, RetryPauseMs);
    return status;
}

// DISPATCH_LEVEL or below (the pipe driver's completion). No lock of its own; the
// read service, PostEvents and CheckWait take theirs. Always returns
// STATUS_MORE_PROCESSING_REQUIRED: the read has been freed here.
NTSTATUS NTAPI RxPumpComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    PortExtension* port = (PortExtension*)Context;
    NTSTATUS status = Irp->IoStatus.Status;
    ULONG received = (ULONG)Irp->IoStatus.Information;
    if (received > port->RxReqSize) received = port->RxReqSize;  // never trust past the buffer
    FreePumpRead(Irp);

    // Interlocked: GET_STATS, CLEAR_STATS and WMI read and clear them on other threads.
    InterlockedExchangeAdd((volatile LONG*)&port->PerfStats.ReceivedCount, (LONG)received);
    InterlockedExchangeAdd((volatile LONG*)&port->WmiPerfStats.ReceivedCount, (LONG)received);

    if (VcomReadFlag(&port->RxStopped)) {
        // Bytes that came while a stop is under way stay for the restart. No read is
        // issued with bytes left over, so the transfer buffer holds only these.
        if (NT_SUCCESS(status) || status == STATUS_CANCELLED) {
            port->RxTransferLength = received;
            port->RxTransferOffset = 0;
        }
        EndChain(port);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (NT_ERROR(status) && status != STATUS_CANCELLED) {
        // A failing pipe is not read again until a stop and start.
        EndChain(port);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (!received) {
        ArmPumpTimer(port, port->RxPollPeriod ? EmptyTransferPauseMs : 0);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    LONG depth = InterlockedIncrement(&port->RxCompletionDepth);
    ULONG events = SERIAL_EV_RXCHAR;
    if (RingNearlyFull(port)) events |= SERIAL_EV_RX80FULL;  // before these bytes go in
    port->RxTransferLength = received;
    port->RxTransferOffset = 0;
    if (ReceiveAllowed(port)) {
        ULONG put = PutWithFlowControl(port, port->RxTransferBuffer, received);
        port->RxTransferOffset = put;
        // The event character is read whole: IOCTL_SERIAL_SET_CHARS stores it on another thread.
        if (put && Contains(port->RxTransferBuffer, put, VcomReadFlag(&port->Chars.EventChar))) events |= SERIAL_EV_RXFLAG;
    }
    PostEvents(port->PortDeviceObject, events);
    ServeAndDeliver(port);

    if (port->RxPollPeriod) {
        ArmPumpTimer(port, port->RxPollPeriod);
    } else if (LeftoverOf(port) || !ReceiveAllowed(port)) {
        ArmPumpTimer(port, LeftoverPauseMs);
    } else if (depth > MaxNestedCompletions) {
        ArmPumpTimer(port, 0);  // unwind: the DPC issues the next read at once
    } else {
        RxPumpIssue(port);
    }
    InterlockedDecrement(&port->RxCompletionDepth);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// DISPATCH_LEVEL: RxPumpTimer's DPC; its context is the port device object. No lock of
// its own. Moves bytes left over, then issues the next read or looks again in 10 ms.
VOID NTAPI RxPumpRetry(PKDPC, PVOID DeferredContext, PVOID, PVOID)
{
    PortExtension* port = PortOf((PDEVICE_OBJECT)DeferredContext);
    if (VcomReadFlag(&port->RxStopped) || PortRemoved(port)) {
        EndChain(port);
        return;
    }
    BOOLEAN left = MoveLeftover(port);
    ServeAndDeliver(port);
    if (!left && ReceiveAllowed(port))
        RxPumpIssue(port);
    else
        ArmPumpTimer(port, RetryPauseMs);
}

// PASSIVE_LEVEL or DISPATCH_LEVEL; no lock, never waits. Begins a chain unless one was
// begun already or a stop is under way.
NTSTATUS RxPumpStart(PortExtension* Port)
{
    if (!Port->RxTransferBuffer) return STATUS_UNSUCCESSFUL;
    if (ReadRunState(Port) == RUN_POWERED_DOWN) return STATUS_POWER_STATE_INVALID;
    if (InterlockedCompareExchange(&Port->RxPumpState, RX_PUMP_STARTING, RX_PUMP_IDLE) != RX_PUMP_IDLE)
        return STATUS_SUCCESS;
    // A power-down sets RunState before it stops the pump: one that came since the look
    // above either is seen here, or finds the pump starting and waits for the chain.
    if (ReadRunState(Port) == RUN_POWERED_DOWN) {
        InterlockedExchange(&Port->RxPumpState, RX_PUMP_IDLE);
        return STATUS_POWER_STATE_INVALID;
    }
    VcomWriteFlag(&Port->RxStopped, 0);
    KeClearEvent(&Port->RxIdleEvent);  // the next stop waits for the chain begun here
    InterlockedExchange(&Port->RxPumpState, RX_PUMP_RUNNING);
    if (LeftoverOf(Port)) {
        // Bytes kept over a stop go into RxRing before the next read.
        ArmPumpTimer(Port, 0);
        return STATUS_SUCCESS;
    }
    return RxPumpIssue(Port);
}

// PASSIVE_LEVEL; no lock. Ends the chain and returns when no step of it runs or is
// outstanding: aborts the read on the pipe (a chain on its timer ends when the DPC
// runs), waits for RxIdleEvent, resets the pipe.
NTSTATUS RxPumpStop(PortExtension* Port)
{
    for (;;) {
        LONG state = InterlockedCompareExchange(&Port->RxPumpState, RX_PUMP_STOPPING, RX_PUMP_RUNNING);
        if (state == RX_PUMP_RUNNING) break;
        if (state == RX_PUMP_IDLE) return STATUS_SUCCESS;
        // STARTING is a few stores away from RUNNING; STOPPING ends when its stopper has
        // reset the pipe. Either way look again shortly: a stop returns only once it
        // has seen the pump idle or stopped a running chain itself, never on another
        // stop's event, which a start may already have cleared for a new chain.
        LARGE_INTEGER pause;
        pause.QuadPart = -10000;  // 1 ms
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    VcomWriteFlag(&Port->RxStopped, 1);
    // A step of the chain that looked at RxStopped just before it was set may still put
    // a read on the pipe after the abort; a pipe driver that takes it would hold it for
    // ever. So the abort is repeated until the chain has ended.
    PipeAbort(Port->PortDeviceObject, &Port->DataInPipe);
    NTSTATUS status = PipeWaitIdleAborting(Port->PortDeviceObject, &Port->DataInPipe, &Port->RxIdleEvent);
    PipeReset(Port->PortDeviceObject, &Port->DataInPipe);
    InterlockedExchange(&Port->RxPumpState, RX_PUMP_IDLE);
    return status;
}

// <= DISPATCH_LEVEL; no lock. Called when flow control lets bytes in again. Only a
// chain that sits on its timer is moved, and only by taking it off the timer first, so
// this never begins a second chain; a chain that is elsewhere (a read on the pipe, a
// step running now) looks at RxAllowed itself. With RxPollPeriod set the chain keeps
// its pace: the next read comes no sooner than the period allows.
VOID RxPumpResume(PortExtension* Port)
{
    if (Port->RxPollPeriod) return;
    if (KeCancelTimer(&Port->RxPumpTimer)) ArmPumpTimer(Port, 0);
}

// <= DISPATCH_LEVEL; no lock. Drops bytes kept in the transfer buffer; only while the
// pump is stopped.
VOID RxPumpDiscard(PortExtension* Port)
{
    Port->RxTransferLength = 0;
    Port->RxTransferOffset = 0;
}

// <= DISPATCH_LEVEL; takes RxRing.Lock.
VOID RxRingClear(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->RxRing.Lock, &irql);
    Port->RxRing.Count = 0;
    Port->RxRing.ReadIndex = 0;
    Port->RxRing.WriteIndex = 0;
    if (Port->RxRing.Storage) Port->RxAllowed = 1;
    KeReleaseSpinLock(&Port->RxRing.Lock, irql);
}
