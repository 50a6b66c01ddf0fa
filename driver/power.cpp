// Power. The driver is not the power policy owner; until the port's own power
// handling is built, every power request goes down untouched.
//
// The port copies DO_POWER_PAGABLE from the pipe driver's device. Without it (above
// an inrush device, for one) the power manager may send power requests at
// DISPATCH_LEVEL, so the dispatch routine is resident, and a request whose handling
// waits (a device power-down, a return to D0) is marked pending and handled from a
// work item at PASSIVE_LEVEL.
#include "driver/driver.h"

namespace {

// Any IRQL; no lock. Whether the port's handling of this request waits: device
// power-down (set or query to D1, D2 or D3) and the return to D0.
BOOLEAN PowerRequestWaits(PIO_STACK_LOCATION Stack)
{
    if (Stack->MinorFunction != IRP_MN_SET_POWER && Stack->MinorFunction != IRP_MN_QUERY_POWER) return FALSE;
    if (Stack->Parameters.Power.Type != DevicePowerState) return FALSE;
    DEVICE_POWER_STATE state = Stack->Parameters.Power.State.DeviceState;
    if (state == PowerDeviceD0) return Stack->MinorFunction == IRP_MN_SET_POWER;
    return state >= PowerDeviceD1 && state <= PowerDeviceD3;
}

// Any IRQL up to DISPATCH_LEVEL; no lock. Starts the next power request and hands
// this one to the pipe driver; its status is not changed.
NTSTATUS PassPowerDown(PortExtension* Port, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Port->LowerDevice, Irp);
}

// PASSIVE_LEVEL, on a system worker thread; no lock. The request was marked pending
// by the dispatch routine: it goes down with a fresh next location, so the pipe
// driver does not inherit the pending mark of ours.
VOID NTAPI PowerWorkRoutine(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PIRP Irp = (PIRP)Context;
    PIO_WORKITEM item = (PIO_WORKITEM)Irp->Tail.Overlay.DriverContext[0];
    Irp->Tail.Overlay.DriverContext[0] = NULL;
    IoFreeWorkItem(item);
    PoStartNextPowerIrp(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoCallDriver(PortOf(DeviceObject)->LowerDevice, Irp);
}

}  // namespace

// PASSIVE_LEVEL or DISPATCH_LEVEL (see above); no lock.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (KeGetCurrentIrql() == PASSIVE_LEVEL || !PowerRequestWaits(IoGetCurrentIrpStackLocation(Irp)))
        return PassPowerDown(port, Irp);
    PIO_WORKITEM item = IoAllocateWorkItem(DeviceObject);
    if (item == NULL) {
        // Nothing here waits yet, so the request can still go down now.
        return PassPowerDown(port, Irp);
    }
    Irp->Tail.Overlay.DriverContext[0] = item;
    IoMarkIrpPending(Irp);
    IoQueueWorkItem(item, PowerWorkRoutine, DelayedWorkQueue, Irp);
    return STATUS_PENDING;
}
