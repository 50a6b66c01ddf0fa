// A bus driver of the emulation: the devices at the bottom of a stack, completing
// what reaches them as a bus driver would.
#include "hostkernel/frontend.h"
#include "internal.h"

namespace hk {
using namespace detail;

// ---- Bus driver ---------------------------------------------------------------------------

struct StubBus::Impl {
    PDRIVER_OBJECT driver = nullptr;
    mutable std::mutex lock;
    std::vector<ArrivedRequest> arrived;
    std::map<UCHAR, NTSTATUS> statuses;
    std::vector<PDEVICE_OBJECT> pdos;
    LONGLONG delay = 0;
    std::vector<std::pair<PIRP, NTSTATUS>> later;
    KTIMER timer;
    KDPC dpc;
};

NTSTATUS BusDriverStatus(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            return STATUS_SUCCESS;
        default:
            return status;
        }
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        return (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) ? STATUS_SUCCESS : status;
    case IRP_MJ_SYSTEM_CONTROL:
        return status;
    default:
        return STATUS_SUCCESS;
    }
}

namespace {
NTSTATUS NTAPI StubDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* impl = *(StubBus::Impl**)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool keepsInformation = stack->MajorFunction == IRP_MJ_PNP || stack->MajorFunction == IRP_MJ_POWER ||
                            stack->MajorFunction == IRP_MJ_SYSTEM_CONTROL;
    ULONG_PTR information = keepsInformation ? irp->IoStatus.Information : 0;
    NTSTATUS status = BusDriverStatus(irp);
    std::unique_lock<std::mutex> lk(impl->lock);
    auto configured = impl->statuses.find(stack->MajorFunction);
    if (configured != impl->statuses.end()) status = configured->second;
    impl->arrived.push_back({stack->MajorFunction, stack->MinorFunction, *stack, stack->FileObject, status, KeGetCurrentIrql()});
    if (impl->delay) {
        IoMarkIrpPending(irp);
        irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
        impl->later.emplace_back(irp, status);
        LARGE_INTEGER due;
        due.QuadPart = -impl->delay;
        lk.unlock();
        KeSetTimer(&impl->timer, due, &impl->dpc);
        return STATUS_PENDING;
    }
    lk.unlock();
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}
VOID NTAPI StubCompleteLater(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* impl = (StubBus::Impl*)context;
    std::vector<std::pair<PIRP, NTSTATUS>> due;
    {
        std::lock_guard<std::mutex> g(impl->lock);
        due.swap(impl->later);
    }
    for (auto& [irp, status] : due) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}
}  // namespace

StubBus::StubBus() : impl_(std::make_unique<Impl>())
{
    KeInitializeTimer(&impl_->timer);
    KeInitializeDpc(&impl_->dpc, StubCompleteLater, impl_.get());
    impl_->driver = (PDRIVER_OBJECT)std::calloc(1, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION));
    impl_->driver->DriverExtension = (PDRIVER_EXTENSION)(impl_->driver + 1);
    for (auto& f : impl_->driver->MajorFunction) f = StubDispatch;
}

StubBus::~StubBus()
{
    DeletePdos();
    std::free(impl_->driver);
}

PDEVICE_OBJECT StubBus::CreatePdo(const std::u16string& instanceId, ULONG flags, const std::vector<RegistryValue>& values)
{
    PDEVICE_OBJECT pdo = nullptr;
    FaultsSuspended quiet;
    NTSTATUS status = IoCreateDevice(impl_->driver, sizeof(void*), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
    if (!NT_SUCCESS(status)) return nullptr;
    *(Impl**)pdo->DeviceExtension = impl_.get();
    pdo->Flags |= flags;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    MakePhysicalDevice(pdo, instanceId, values);
    impl_->pdos.push_back(pdo);
    return pdo;
}

std::vector<ArrivedRequest> StubBus::Arrived() const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->arrived;
}

void StubBus::ClearArrived()
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->arrived.clear();
}

void StubBus::CompleteWith(UCHAR major, NTSTATUS status)
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->statuses[major] = status;
}

void StubBus::CompleteLater(LONGLONG delay)
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->delay = delay;
}

void StubBus::DeletePdos()
{
    KeCancelTimer(&impl_->timer);
    KeRemoveQueueDpc(&impl_->dpc);
    for (PDEVICE_OBJECT pdo : impl_->pdos)
        if (detail::IsLiveDevice(pdo)) {
            if (pdo->AttachedDevice) continue;  // something above still holds it; the test reports that
            IoDeleteDevice(pdo);
        }
    impl_->pdos.clear();
}

}  // namespace hk
