// Plug and Play: the state word, the removal flags, and the teardown at removal.
#include "driver/device.h"
#include "driver/driver.h"
#include "driver/naming.h"
#include "lines/wait_mask.h"
#include "port/port.h"
#include "rx/ring_buffer.h"
#include "tx/write.h"
#include "wmi/wmi_provider.h"

namespace {

VOID ClearErrors(PortExtension* Port)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Port->CommStatusLock, &oldIrql);
    Port->CommStatus.Errors = 0;
    KeReleaseSpinLock(&Port->CommStatusLock, oldIrql);
}

VOID EnterState(PortExtension* Port, ULONG State)
{
    Port->PreviousPnpState = Port->PnpState;
    Port->PnpState = State;
}

// PASSIVE_LEVEL. Everything of the port that runs or holds requests comes to an end:
// pumps, reads, transmitter, writes, the pending wait; then the rings, the name and
// the timers and DPCs that could outlive the device.
VOID StopPortForRemoval(PDEVICE_OBJECT DeviceObject, PortExtension* Port)
{
    StopPumps(DeviceObject);
    CancelReads(Port);
    // The close stopped the transmitter already (removal waits for it): nothing more
    // goes to a pipe driver that has been removed.
    if (!VcomReadFlag(&Port->TxStopped)) TxStop(Port);
    CancelAllWrites(Port);
    CompletePendingWait(Port);
    KeCancelTimer(&Port->WriteTimer);
    KeCancelTimer(&Port->TxKickTimer);
    KeCancelTimer(&Port->ReadTotalTimer);
    KeCancelTimer(&Port->ReadIntervalTimer);
    // A DPC of the port's that signalled the end of its chain may still be returning
    // on another processor; the device and then the driver's code must outlive it.
    KeFlushQueuedDpcs();
    RingFree(&Port->RxRing);
    if (Port->TxAsync) {
        KIRQL irql;
        KeAcquireSpinLock(&Port->CommStatusLock, &irql);
        Port->CommStatus.AmountInOutQueue = 0;
        KeReleaseSpinLock(&Port->CommStatusLock, irql);
    }
    RingFree(&Port->TxRing);
    UnnamePort(Port);
}

// PASSIVE_LEVEL. Removal: waits for every other holder of the remove lock (an open
// port holds one until its close), lets the request go down, then releases what
// AddDevice and the start built. The device is gone when this returns.
NTSTATUS RemoveDevice(PortExtension* Port, PIRP Irp)
{
    if (!VcomReadFlag(&Port->DeviceRemoved)) {
        VcomWriteFlag(&Port->DeviceRemoved, 1);
        ClearErrors(Port);
        IoReleaseRemoveLockAndWait(&Port->PortRemoveLock, nullptr);
    }
    WmiDeregister(Port);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(Port->LowerDevice, Irp);
    EnterState(Port, PNP_REMOVED);
    StopPortForRemoval(Port->PortDeviceObject, Port);
    ReleasePortDevice(Port);
    return status;
}

// PASSIVE_LEVEL. Start: the lower drivers start first; the port works once they did.
// A start the lower drivers failed is answered with their status.
NTSTATUS StartDevice(PortExtension* Port, PIRP Irp)
{
    NTSTATUS status = ForwardAndWait(Port, Irp, FALSE);
    if (NT_SUCCESS(status) && NT_SUCCESS(Irp->IoStatus.Status)) {
        EnterState(Port, PNP_STARTED);
        // A start whose naming fails keeps RunState as it was.
        status = NamePort(Port->PortDeviceObject);
        if (NT_SUCCESS(status)) SetRunState(Port, RUN_WORKING);
    } else if (NT_SUCCESS(status)) {
        status = Irp->IoStatus.Status;
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

NTSTATUS ForwardAndWait(PortExtension* Port, PIRP Irp, BOOLEAN Power)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SyncForwardCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = Power ? PoCallDriver(Port->LowerDevice, Irp) : IoCallDriver(Port->LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

// DISPATCH_LEVEL or below. The dispatcher that forwarded the request waits on the
// event and completes the request itself with a status it returns, so the request is
// not marked pending here: a pending mark with a non-pending return is a fault.
NTSTATUS NTAPI SyncForwardCompletion(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL: the table's entry, pageable, in front of the resident dispatcher.
VCOM_PAGED NTSTATUS NTAPI DispatchPnpEntry(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    return DispatchPnp(DeviceObject, Irp);
}

// PASSIVE_LEVEL, one request at a time; takes no lock. Every request goes down; the
// dispatcher refuses none.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(port, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(port, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        EnterState(port, PNP_REMOVE_PENDING);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (port->PnpState == PNP_REMOVE_PENDING) port->PnpState = port->PreviousPnpState;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        EnterState(port, PNP_STOP_PENDING);
        ClearErrors(port);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        EnterState(port, PNP_STOP_PENDING);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (port->PnpState == PNP_STOP_PENDING) port->PnpState = port->PreviousPnpState;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        ClearErrors(port);
        EnterState(port, PNP_SURPRISE_REMOVED);
        VcomWriteFlag(&port->SurpriseRemoved, 1);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return DispatchPassDown(DeviceObject, Irp);
}
