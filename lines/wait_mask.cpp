// Wait-on-mask events: the accumulator every event source posts into, the wait mask,
// and the one pending IOCTL_SERIAL_WAIT_ON_MASK request.
//
// PendingWait is touched only with the cancel spin lock held (and, everywhere but in
// the cancel routine, EventLock too): the cancel routine clears it holding nothing
// but the cancel spin lock, so a reader under EventLock alone could see a request
// that its cancel routine has just completed.
#include "lines/wait_mask.h"

#include "driver/driver.h"

namespace {

// Any IRQL <= DISPATCH_LEVEL; both EventLock and the cancel spin lock held. Takes the
// pending wait out of PendingWait when nobody is cancelling it: a request whose Cancel
// flag is set, or whose cancel routine is already gone, belongs to that routine,
// which clears PendingWait itself.
PIRP TakePendingWait(PortExtension* Port)
{
    PIRP irp = Port->PendingWait;
    if (!irp || VcomIrpCancelled(irp)) return nullptr;
    if (!IoSetCancelRoutine(irp, nullptr)) return nullptr;
    Port->PendingWait = nullptr;
    return irp;
}

// <= DISPATCH_LEVEL; no lock held. Ends a wait request that this code owns. A
// request's 4-byte result lands in its system buffer only when its output has room
// for it, so that no path writes past a short buffer.
VOID CompleteWait(PIRP Irp, ULONG Events, ULONG_PTR Information, CCHAR Boost)
{
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(ULONG))
        *(PULONG)Irp->AssociatedIrp.SystemBuffer = Events;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, Boost);
}

// PASSIVE_LEVEL; takes EventLock, then the cancel spin lock. A new mask ends the
// pending wait with an empty result, as the serial interface asks, so that the waiter
// learns the mask changed under it.
NTSTATUS SetWaitMask(PortExtension* Port, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG))
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;

    KIRQL eventIrql, cancelIrql;
    KeAcquireSpinLock(&Port->EventLock, &eventIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
    Port->WaitMask = mask;  // events already accumulated are kept: the new mask may match them
    PIRP wait = TakePendingWait(Port);
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&Port->EventLock, eventIrql);

    if (wait) CompleteWait(wait, 0, sizeof(ULONG), IO_NO_INCREMENT);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

// PASSIVE_LEVEL; takes EventLock.
NTSTATUS GetWaitMask(PortExtension* Port, PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    KIRQL irql;
    KeAcquireSpinLock(&Port->EventLock, &irql);
    ULONG mask = Port->WaitMask;
    KeReleaseSpinLock(&Port->EventLock, irql);

    *(PULONG)Irp->AssociatedIrp.SystemBuffer = mask;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = sizeof(ULONG);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

}  // namespace

// <= DISPATCH_LEVEL; takes EventLock. Sources post every bit they saw, masked or not:
// a mask set later still matches what was posted before it.
NTSTATUS PostEvents(PDEVICE_OBJECT DeviceObject, ULONG Events)
{
    PortExtension* port = PortOf(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&port->EventLock, &irql);
    port->PendingEvents |= Events;
    KeReleaseSpinLock(&port->EventLock, irql);
    return STATUS_SUCCESS;
}

// <= DISPATCH_LEVEL; takes EventLock, then the cancel spin lock. The accumulator is
// cleared in the same hold as the wait is taken, so a bit posted after this check is
// kept for the next wait.
NTSTATUS CheckWait(PDEVICE_OBJECT DeviceObject)
{
    PortExtension* port = PortOf(DeviceObject);
    KIRQL eventIrql, cancelIrql;
    KeAcquireSpinLock(&port->EventLock, &eventIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
    ULONG events = port->WaitMask & port->PendingEvents;
    PIRP wait = nullptr;
    if (events && port->PendingWait) {
        // A wait being cancelled still consumes the events: they were delivered to the
        // waiter that gave up on them.
        wait = TakePendingWait(port);
        port->PendingEvents = 0;
    }
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&port->EventLock, eventIrql);

    if (wait) CompleteWait(wait, events, sizeof(ULONG), IO_SERIAL_INCREMENT);
    return STATUS_SUCCESS;
}

// <= DISPATCH_LEVEL; takes EventLock, then the cancel spin lock. Cleanup and removal
// end the wait with nothing returned: no event happened.
VOID CompletePendingWait(PortExtension* Port)
{
    KIRQL eventIrql, cancelIrql;
    KeAcquireSpinLock(&Port->EventLock, &eventIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP wait = TakePendingWait(Port);
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&Port->EventLock, eventIrql);

    if (wait) CompleteWait(wait, 0, 0, IO_NO_INCREMENT);
}

// PASSIVE_LEVEL; see SetWaitMask and GetWaitMask for the locks. One handler for the
// pair, told apart by the control code.
NTSTATUS NTAPI WaitMaskRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_WAIT_MASK)
        return SetWaitMask(port, Irp);
    return GetWaitMask(port, Irp);
}

// PASSIVE_LEVEL; takes EventLock, then the cancel spin lock. The check that no wait is
// pending, the immediate answer and the recording of a new wait happen in one hold of
// both locks, so a racing cancel routine either runs before (and PendingWait is
// already clear) or after the request is recorded (and finds it there to clear).
NTSTATUS NTAPI WaitOnMaskRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (PortRemoved(port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    // The result is written without further checks wherever the wait ends; refuse a
    // buffer it would not fit before the request is kept anywhere.
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);

    KIRQL eventIrql, cancelIrql;
    KeAcquireSpinLock(&port->EventLock, &eventIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
    if (!port->WaitMask || port->PendingWait) {
        IoReleaseCancelSpinLock(cancelIrql);
        KeReleaseSpinLock(&port->EventLock, eventIrql);
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    }

    ULONG events = port->WaitMask & port->PendingEvents;
    if (events) {
        port->PendingEvents = 0;  // every bit, also those outside the mask
        IoReleaseCancelSpinLock(cancelIrql);
        KeReleaseSpinLock(&port->EventLock, eventIrql);
        CompleteWait(Irp, events, sizeof(ULONG), IO_SERIAL_INCREMENT);
        return STATUS_SUCCESS;
    }

    // Arm the cancel routine first, then look at the Cancel flag: a cancel that came
    // before the routine was set found nothing to call, and this code must end the
    // request itself. IoCancelIrp sets the flag and takes the routine under the cancel
    // spin lock held here, so taking the routine back decides who owns the request.
    IoSetCancelRoutine(Irp, WaitCancelRoutine);
    if (VcomIrpCancelled(Irp) && IoSetCancelRoutine(Irp, nullptr)) {
        IoReleaseCancelSpinLock(cancelIrql);
        KeReleaseSpinLock(&port->EventLock, eventIrql);
        return CompleteRequest(Irp, STATUS_CANCELLED);
    }
    // Otherwise the request is kept; a cancel routine already taken could only run
    // once the cancel spin lock is free, and then finds the request here to clear.
    IoMarkIrpPending(Irp);
    port->PendingWait = Irp;
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&port->EventLock, eventIrql);
    return STATUS_PENDING;
}

// DISPATCH_LEVEL, cancel spin lock held on entry and released here; never takes
// EventLock, which comes before the cancel spin lock.
VOID NTAPI WaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (port->PendingWait == Irp) port->PendingWait = nullptr;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}
