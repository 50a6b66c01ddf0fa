// Power. The driver is not the power policy owner: system power requests and
// everything but device power changes go down untouched. A device power-down (set or
// query to D1, D2 or D3) stops the port's machinery first; a return to D0 with the
// port open lets the lower drivers power up, then brings the adapter and the port's
// machinery back: port enable, modem lines, line settings, polling, pump, transmitter.
//
// The port copies DO_POWER_PAGABLE from the pipe driver's device. Without it (above
// an inrush device, for one) the power manager may send power requests at
// DISPATCH_LEVEL, so the dispatch routine is resident, and a request whose handling
// waits (a device power-down, a return to D0) is marked pending and handled at
// PASSIVE_LEVEL from the port's own work item, which AddDevice allocated.
#include "driver/driver.h"
#include "ioctl/line_settings.h"
#include "lines/status_polling.h"
#include "lower/port_command.h"
#include "port/port.h"
#include "rx/receive_pump.h"
#include "rx/ring_buffer.h"
#include "tx/write.h"

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

// PASSIVE_LEVEL; no lock. Starts the next power request and hands this one down with
// a fresh next location (a copy, not a skip: a request marked pending by the dispatch
// routine must not hand its pending mark to the pipe driver's location).
NTSTATUS PassPowerDownCopied(PortExtension* Port, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return PoCallDriver(Port->LowerDevice, Irp);
}

// PASSIVE_LEVEL; waits; takes OpenPowerLock. Nothing is sent to the adapter while it
// is powered down. Reads and writes in progress are not cancelled and the rings keep
// their bytes.
VOID PowerDown(PortExtension* Port)
{
    AcquirePassiveLock(&Port->OpenPowerLock);
    InterlockedExchange(&Port->PowerUpPending, 0);  // a restart still to come is no longer wanted
    SetRunState(Port, RUN_POWERED_DOWN);
    StopPumps(Port->PortDeviceObject);
    TxStop(Port);
    ReleasePassiveLock(&Port->OpenPowerLock);
}

// PASSIVE_LEVEL; waits; takes OpenPowerLock. Return to D0: the lower drivers power up
// first; the request is completed before the adapter is brought back, and what the
// adapter answers then is not looked at. The restart runs after the completion, so it
// holds the remove lock (a removal waits for it) and OpenPowerLock (an open, a close or
// the next power-down waits for it); a power-down that came first cancels it, and a
// port that is not open then only leaves the powered-down state.
NTSTATUS PowerUp(PortExtension* Port, PIRP Irp)
{
    NTSTATUS status = ForwardAndWait(Port, Irp, TRUE);
    // Not under OpenPowerLock: an open that holds it may be waiting for the pipe driver,
    // which may be waiting for this very request to complete.
    InterlockedExchange(&Port->PowerUpPending, 1);
    BOOLEAN held = NT_SUCCESS(IoAcquireRemoveLock(&Port->PortRemoveLock, Irp));
    PoStartNextPowerIrp(Irp);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    if (!held) return status;  // the device is being removed: nothing to bring back

    AcquirePassiveLock(&Port->OpenPowerLock);
    if (InterlockedExchange(&Port->PowerUpPending, 0)) {
        SetRunState(Port, RUN_WORKING);
        if (Port->OpenCount) {
            SendPortCommand(Port, CMD_PORT_ENABLE, 1);
            LockPortConfig(Port);
            Port->ModemControlByte = MCB_DTR | MCB_RTS;  // the lines come back raised
            SendPortCommand(Port, CMD_MODEM_CONTROL, Port->ModemControlByte);
            ApplyLineSettings(Port->PortDeviceObject);
            UnlockPortConfig(Port);
            StartStatusPolling(Port);
            RxPumpStart(Port);
            RingReset(&Port->TxRing);  // bytes buffered before the power-down are not sent
            TxStart(Port);
        }
    }
    ReleasePassiveLock(&Port->OpenPowerLock);
    IoReleaseRemoveLock(&Port->PortRemoveLock, Irp);
    return status;
}

// PASSIVE_LEVEL; waits. The request is handed down or completed here.
NTSTATUS HandlePower(PortExtension* Port, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (PowerRequestWaits(stack)) {
        if (stack->Parameters.Power.State.DeviceState != PowerDeviceD0) {
            PowerDown(Port);
        } else if (Port->OpenCount == 0 && ReadRunState(Port) != RUN_POWERED_DOWN) {
            SetRunState(Port, RUN_WORKING);  // the next open starts the machinery itself
        } else {
            return PowerUp(Port, Irp);
        }
    }
    return PassPowerDownCopied(Port, Irp);
}

// PASSIVE_LEVEL, on a system worker thread, from the port's power work item; no lock.
// The request was marked pending by the dispatch routine. The next power request of
// the device, the only one that could queue the item again, comes only after this one
// started it (in HandlePower).
VOID NTAPI PowerWorkRoutine(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    HandlePower(PortOf(DeviceObject), (PIRP)Context);
}

}  // namespace

// PASSIVE_LEVEL or DISPATCH_LEVEL (see above); no lock.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (!PowerRequestWaits(IoGetCurrentIrpStackLocation(Irp))) return PassPowerDown(port, Irp);
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) return HandlePower(port, Irp);
    IoMarkIrpPending(Irp);
    IoQueueWorkItem(port->PowerWorkItem, PowerWorkRoutine, DelayedWorkQueue, Irp);
    return STATUS_PENDING;
}
