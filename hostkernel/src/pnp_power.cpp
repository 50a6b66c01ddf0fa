// The PnP and power managers: AddDevice for a device node, and PnP and power
// requests sent from outside any driver.
#include "hostkernel/frontend.h"
#include "internal.h"

namespace hk {
using namespace detail;

// ---- Requests from outside ----------------------------------------------------------------

Result SendRequest(PDEVICE_OBJECT target, const std::function<void(PIO_STACK_LOCATION)>& setup, NTSTATUS initialStatus,
                   bool power)
{
    CurrentRec();
    struct State {
        KEVENT done;
        Result result;
    };
    auto state = std::make_shared<State>();
    KeInitializeEvent(&state->done, NotificationEvent, FALSE);
    PIRP irp = AllocateHostIrp(target->StackSize, [state](PIRP irp) {
        state->result = {irp->IoStatus.Status, irp->IoStatus.Information, CompletionBoost(irp)};
        FreeHostIrp(irp);
        KeSetEvent(&state->done, 0, FALSE);
    });
    irp->IoStatus.Status = initialStatus;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    setup(stack);
    NTSTATUS status;
    if (power) {
        KIRQL irql = PASSIVE_LEVEL;
        bool raised = !(target->Flags & DO_POWER_PAGABLE);
        if (raised) KeRaiseIrql(DISPATCH_LEVEL, &irql);
        status = PoCallDriver(target, irp);
        if (raised) KeLowerIrql(irql);
    } else {
        status = IofCallDriver(target, irp);
    }
    if (status == STATUS_PENDING || !KeReadStateEvent(&state->done))
        KeWaitForSingleObject(&state->done, Executive, KernelMode, FALSE, nullptr);
    return state->result;
}

PDEVICE_OBJECT DeviceStack::Top() const { return IoGetAttachedDeviceReference(pdo_); }

NTSTATUS DeviceStack::AddDevice(LoadedDriver& driver)
{
    PDRIVER_OBJECT object = driver.Object();
    PDEVICE_OBJECT before = Top();
    PDRIVER_ADD_DEVICE add = object->DriverExtension->AddDevice;
    NTSTATUS status = CallPassive(object, (const void*)add, "AddDevice", [&] { return CallDriver("AddDevice", add, object, pdo_); });
    PDEVICE_OBJECT after = Top();
    if (NT_SUCCESS(status)) {
        if (after != before && (after->Flags & DO_DEVICE_INITIALIZING))
            Report("device-initializing", "AddDevice returned with DO_DEVICE_INITIALIZING still set on its device");
    } else if (after != before) {
        Report("add-device-leftover", "AddDevice failed but left its device attached to the stack");
    }
    return status;
}

Result DeviceStack::Pnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    return SendRequest(Top(), [&](PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_PNP;
        s->MinorFunction = minor;
        if (setup) setup(s);
    });
}

Result DeviceStack::Power(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state)
{
    return SendRequest(
        Top(),
        [&](PIO_STACK_LOCATION s) {
            s->MajorFunction = IRP_MJ_POWER;
            s->MinorFunction = minor;
            s->Parameters.Power.Type = type;
            s->Parameters.Power.State = state;
        },
        STATUS_NOT_SUPPORTED, true);
}

Result DeviceStack::SetDevicePower(DEVICE_POWER_STATE state)
{
    POWER_STATE s;
    s.DeviceState = state;
    return Power(IRP_MN_SET_POWER, DevicePowerState, s);
}

Result DeviceStack::QueryDevicePower(DEVICE_POWER_STATE state)
{
    POWER_STATE s;
    s.DeviceState = state;
    return Power(IRP_MN_QUERY_POWER, DevicePowerState, s);
}

Result DeviceStack::SetSystemPower(SYSTEM_POWER_STATE state)
{
    POWER_STATE s;
    s.SystemState = state;
    return Power(IRP_MN_SET_POWER, SystemPowerState, s);
}

Result DeviceStack::Remove()
{
    CheckRequestsLeftAfterCleanup(pdo_, "when the device was removed", false);
    return Pnp(IRP_MN_REMOVE_DEVICE);
}

}  // namespace hk
