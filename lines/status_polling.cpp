// Status-line polling. While the port is open one read at a time is outstanding on
// the adapter's status pipe, back to back (CtlPollPeriod 0) or spaced by StatusTimer;
// each report becomes ModemStatus, and every line that changed is posted as its
// serial event. An adapter whose status pipe is not read (EndPointCaps 0, or
// CtlPollPeriod negative) has the fixed status of CTS, DSR and DCD on.
//
// The chain is a strict sequence (one read or one armed timer at a time, each link
// issuing the next), so it needs no lock: StatusStopped, set by the stop and cleared
// by the start at passive level, is read by each link. A pipe driver that completes
// status reads inside the call would nest the chain; beyond a few levels it goes on
// from the DPC a millisecond later instead.
#include "lines/status_polling.h"

#include "driver/driver.h"
#include "lines/wait_mask.h"
#include "lower/pipe.h"

namespace {

constexpr UCHAR AllLinesOnButRing = 0x07;  // the fixed report without a status pipe
constexpr LONG MaxNestedCompletions = 4;
constexpr LONG AllocationRetryMs = 10;  // after a read that could not be allocated

BOOLEAN Removed(PortExtension* Port) { return PortRemoved(Port); }

// <= DISPATCH_LEVEL. StatusTimer `Ms` milliseconds from now.
VOID ArmStatusTimer(PortExtension* Port, LONG Ms)
{
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)Ms * 10000;
    KeSetTimer(&Port->StatusTimer, due, &Port->StatusDpc);
}

// <= DISPATCH_LEVEL. One status read. A read that cannot be allocated now is tried
// again from the timer, so the lines are not lost for the rest of the open; when no
// read can be issued for any other reason PipeReadAsync signals StatusIdleEvent
// itself, which ends the chain.
NTSTATUS IssueStatusRead(PortExtension* Port)
{
    NTSTATUS status = PipeReadAsync(Port, &Port->StatusByte, 1, &Port->StatusPipe, StatusReadComplete);
    if (status == STATUS_INSUFFICIENT_RESOURCES) ArmStatusTimer(Port, AllocationRetryMs);
    return status;
}

// <= DISPATCH_LEVEL. The chain has ended.
VOID EndPolling(PortExtension* Port) { KeSetEvent(&Port->StatusIdleEvent, IO_NO_INCREMENT, FALSE); }

// Any IRQL. The events of the lines that differ between two ModemStatus values.
ULONG LineEvents(ULONG Changed)
{
    ULONG events = 0;
    if (Changed & MSR_CTS) events |= SERIAL_EV_CTS;
    if (Changed & MSR_DSR) events |= SERIAL_EV_DSR;
    if (Changed & MSR_DCD) events |= SERIAL_EV_RLSD;
    if (Changed & MSR_RI) events |= SERIAL_EV_RING;
    return events;
}

}  // namespace

BOOLEAN StatusPipeInUse(PortExtension* Port) { return Port->EndPointCaps != 0 && Port->CtlPollPeriod >= 0; }

ULONG MapStatusByte(UCHAR StatusByte)
{
    ULONG status = 0;
    if (StatusByte & 0x01) status |= MSR_CTS;
    if (StatusByte & 0x02) status |= MSR_DSR;
    if (StatusByte & 0x04) status |= MSR_DCD;
    if (StatusByte & 0x08) status |= MSR_RI;
    return status;
}

ULONG ReadModemStatus(PortExtension* Port) { return (ULONG)InterlockedCompareExchange((volatile LONG*)&Port->ModemStatus, 0, 0); }

// PASSIVE_LEVEL; waits without timeout for the adapter's first report. No event is
// posted for it.
NTSTATUS ReadModemStatusOnce(PortExtension* Port)
{
    if (!StatusPipeInUse(Port)) {
        Port->StatusByte = AllLinesOnButRing;
        InterlockedExchange((volatile LONG*)&Port->ModemStatus, (LONG)MapStatusByte(AllLinesOnButRing));
        return STATUS_SUCCESS;
    }
    ULONG got = 0;
    NTSTATUS status = PipeReadSync(Port, &Port->StatusPipe, &Port->StatusByte, 1, &got);
    if (NT_SUCCESS(status) && got)
        InterlockedExchange((volatile LONG*)&Port->ModemStatus, (LONG)MapStatusByte(Port->StatusByte));
    return status;
}

// PASSIVE_LEVEL. A chain that ended by itself (a failed read) is not revived here:
// StatusStopped is still clear then, and only a stop and a start restart it.
static NTSTATUS StartStatusPollingLocked(PortExtension* Port)
{
    if (!VcomReadFlag(&Port->StatusStopped)) return STATUS_SUCCESS;
    if (ReadRunState(Port) == RUN_POWERED_DOWN) return STATUS_POWER_STATE_INVALID;
    KeClearEvent(&Port->StatusIdleEvent);
    VcomWriteFlag(&Port->StatusStopped, 0);
    if (!StatusPipeInUse(Port)) {
        EndPolling(Port);
        return STATUS_SUCCESS;
    }
    return StatusPollStep(Port);
}

// <= DISPATCH_LEVEL. The next link: a read at once (CtlPollPeriod 0) or the timer.
NTSTATUS StatusPollStep(PortExtension* Port)
{
    if (!StatusPipeInUse(Port)) return STATUS_SUCCESS;
    if (VcomReadFlag(&Port->StatusStopped)) {
        EndPolling(Port);
        return STATUS_CANCELLED;
    }
    if (Removed(Port)) {
        EndPolling(Port);
        return STATUS_DELETE_PENDING;
    }
    if (Port->CtlPollPeriod == 0) return IssueStatusRead(Port);
    ArmStatusTimer(Port, Port->CtlPollPeriod);
    return STATUS_SUCCESS;
}

// DISPATCH_LEVEL: StatusTimer's DPC; its context is the port device object.
VOID NTAPI StatusPollDpc(PKDPC, PVOID Context, PVOID, PVOID)
{
    PortExtension* port = PortOf((PDEVICE_OBJECT)Context);
    if (VcomReadFlag(&port->StatusStopped) || Removed(port))
        EndPolling(port);
    else
        IssueStatusRead(port);
}

// <= DISPATCH_LEVEL, the pipe driver's completion of a status read; takes EventLock
// (and the cancel spin lock) through PostEvents and CheckWait. A cancelled read is an
// empty one: the chain goes on unless a stop is under way. Any other failure ends
// the polling; ModemStatus keeps its last value.
NTSTATUS NTAPI StatusReadComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* port = (PortExtension*)Context;
    NTSTATUS status = Irp->IoStatus.Status;
    ULONG_PTR read = Irp->IoStatus.Information;
    if (Irp->MdlAddress) {
        MmUnlockPages(Irp->MdlAddress);
        IoFreeMdl(Irp->MdlAddress);
        Irp->MdlAddress = nullptr;
    }
    IoFreeIrp(Irp);

    if (!NT_SUCCESS(status) && status != STATUS_CANCELLED) {
        EndPolling(port);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    LONG depth = InterlockedIncrement(&port->StatusCompletionDepth);
    if (read) {
        ULONG now = MapStatusByte(port->StatusByte);
        ULONG before = (ULONG)InterlockedExchange((volatile LONG*)&port->ModemStatus, (LONG)now);
        if (now != before) PostEvents(port->PortDeviceObject, LineEvents(now ^ before));
    }
    CheckWait(port->PortDeviceObject);
    // Unwind: the DPC issues the next read a tick later, so that a pipe driver that
    // answers at once cannot keep the processor in DPCs.
    if (port->CtlPollPeriod == 0 && depth > MaxNestedCompletions)
        ArmStatusTimer(port, 1);
    else
        StatusPollStep(port);
    InterlockedDecrement(&port->StatusCompletionDepth);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL; waits. A link that looked at StatusStopped just before it was set may
// still put a read on the pipe after the abort, which a pipe driver may hold for as
// long as the lines do not change; so the abort is repeated until the chain has ended.
// A chain waiting on its timer ends when the timer's DPC sees the flag.
static NTSTATUS StopStatusPollingLocked(PortExtension* Port)
{
    if (!StatusPipeInUse(Port)) {
        VcomWriteFlag(&Port->StatusStopped, 1);
        return STATUS_SUCCESS;
    }
    if (VcomReadFlag(&Port->StatusStopped)) return STATUS_SUCCESS;
    VcomWriteFlag(&Port->StatusStopped, 1);
    PipeAbort(Port->PortDeviceObject, &Port->StatusPipe);
    NTSTATUS status = PipeWaitIdleAborting(Port->PortDeviceObject, &Port->StatusPipe, &Port->StatusIdleEvent);
    // The completion that ended the chain signalled it before leaving the port alone;
    // until the last completion frame is gone the port must stay as it is.
    while (InterlockedCompareExchange(&Port->StatusCompletionDepth, 0, 0)) {
        LARGE_INTEGER pause;
        pause.QuadPart = -10000;  // 1 ms
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
    PipeReset(Port->PortDeviceObject, &Port->StatusPipe);
    return status;
}

// PASSIVE_LEVEL; takes StatusControlLock.
NTSTATUS StartStatusPolling(PortExtension* Port)
{
    AcquirePassiveLock(&Port->StatusControlLock);
    NTSTATUS status = StartStatusPollingLocked(Port);
    ReleasePassiveLock(&Port->StatusControlLock);
    return status;
}

// PASSIVE_LEVEL; takes StatusControlLock and waits under it.
NTSTATUS StopStatusPolling(PortExtension* Port)
{
    AcquirePassiveLock(&Port->StatusControlLock);
    NTSTATUS status = StopStatusPollingLocked(Port);
    ReleasePassiveLock(&Port->StatusControlLock);
    return status;
}
