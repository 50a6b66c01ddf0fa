// The loader, PnP/power/WMI managers and the application-side I/O manager.
#include <algorithm>

#include "hostkernel/frontend.h"
#include "internal.h"

namespace hk::detail {
std::u16string DeviceKeyPath(const std::u16string& instanceId);
std::u16string DeviceMapPath(const std::u16string& key);
void RegSet(const std::u16string& path, const std::u16string& name, ULONG type, const void* data, size_t size);
bool RegGet(const std::u16string& path, const std::u16string& name, ULONG* type, std::vector<UCHAR>* data);
bool RegDelete(const std::u16string& path, const std::u16string& name);
std::vector<std::u16string> RegValueNames(const std::u16string& path);
PDEVICE_OBJECT ResolveName(std::u16string name);
bool LinkExists(const std::u16string& name);
std::u16string LinkTarget(const std::u16string& name);
int InterfaceState(const std::u16string& link);
std::vector<std::u16string> InterfacesOf(PDEVICE_OBJECT pdo);
bool WmiRegistered(PDEVICE_OBJECT device);
std::shared_ptr<DeviceNode> NodeOf(PDEVICE_OBJECT pdo);
void SetNode(PDEVICE_OBJECT pdo, std::shared_ptr<DeviceNode> node);
DeviceRec Snapshot(PDEVICE_OBJECT device, bool* found);
void AdjustOpenHandles(PDEVICE_OBJECT device, int delta);
}  // namespace hk::detail

namespace hk {
using namespace detail;

namespace {
void CheckRequestsLeftAfterCleanup(PDEVICE_OBJECT pdo, const char* when, bool forget);
}  // namespace

// ---- Reset --------------------------------------------------------------------------------

void Reset(ClockMode mode)
{
    ResetFileObjects();
    ResetWorkItems();
    ResetScheduler(mode);
    ResetIrps();
    ResetMdls();
    ResetDevices();
    ResetNames();
    ResetRegistry();
    ResetPool();
    ResetRemoveLocks();
    ResetLockGraph();
    ResetFaults();
}

void Shutdown()
{
    ResetWorkItems();
    StopScheduler();
}

// ---- Registry and names -------------------------------------------------------------------

RegistryValue RegistryValue::Dword(std::u16string name, ULONG value)
{
    RegistryValue v{std::move(name), REG_DWORD, {}};
    v.data.resize(4);
    std::memcpy(v.data.data(), &value, 4);
    return v;
}

RegistryValue RegistryValue::String(std::u16string name, const std::u16string& text)
{
    RegistryValue v{std::move(name), REG_SZ, {}};
    v.data.resize((text.size() + 1) * 2);
    std::memcpy(v.data.data(), text.c_str(), v.data.size());
    return v;
}

RegistryValue RegistryValue::Bytes(std::u16string name, ULONG type, std::vector<UCHAR> data)
{
    return RegistryValue{std::move(name), type, std::move(data)};
}

namespace registry {
void Set(const std::u16string& keyPath, const RegistryValue& v) { RegSet(keyPath, v.name, v.type, v.data.data(), v.data.size()); }
bool Get(const std::u16string& keyPath, const std::u16string& name, RegistryValue* out)
{
    RegistryValue v{name, 0, {}};
    if (!RegGet(keyPath, name, &v.type, &v.data)) return false;
    if (out) *out = v;
    return true;
}
bool Delete(const std::u16string& keyPath, const std::u16string& name) { return RegDelete(keyPath, name); }
std::vector<std::u16string> ValueNames(const std::u16string& keyPath) { return RegValueNames(keyPath); }
std::u16string DeviceMapKey(const std::u16string& key) { return DeviceMapPath(key); }
std::u16string DeviceKey(PDEVICE_OBJECT pdo)
{
    auto node = NodeOf(pdo);
    return node ? node->deviceKeyPath : std::u16string();
}
}  // namespace registry

namespace names {
bool LinkExists(const std::u16string& name) { return detail::LinkExists(name); }
std::u16string LinkTarget(const std::u16string& name) { return detail::LinkTarget(name); }
int InterfaceState(const std::u16string& link) { return detail::InterfaceState(link); }
std::vector<std::u16string> InterfacesOf(PDEVICE_OBJECT pdo) { return detail::InterfacesOf(pdo); }
PDEVICE_OBJECT Resolve(const std::u16string& name) { return ResolveName(name); }
bool WmiRegistered(PDEVICE_OBJECT device) { return detail::WmiRegistered(device); }
}  // namespace names

void MakePhysicalDevice(PDEVICE_OBJECT device, const std::u16string& instanceId, const std::vector<RegistryValue>& values)
{
    auto node = std::make_shared<DeviceNode>();
    node->instanceId = instanceId;
    node->deviceKeyPath = DeviceKeyPath(instanceId);
    node->pdo = device;
    SetNode(device, node);
    for (const auto& v : values) registry::Set(node->deviceKeyPath, v);
}

// ---- Loader -------------------------------------------------------------------------------

namespace {
// Runs a routine that the system calls at PASSIVE_LEVEL, checking its IRQL and, for
// pageable routines, that it starts with PAGED_CODE().
template <typename F>
auto CallPassive(PDRIVER_OBJECT driver, const void* routine, const char* what, F&& call)
{
    ThreadState& self = Self();
    CurrentRec();
    PDRIVER_OBJECT savedDriver = self.driver;
    self.driver = driver;
    bool pageable = IsPageableCode(routine);
    if (pageable) self.pagedFrames.push_back(false);
    auto result = call();
    if (pageable) {
        if (!self.pagedFrames.back()) Report("paged-code-missing", std::string("pageable ") + what + " did not start with PAGED_CODE()");
        self.pagedFrames.pop_back();
    }
    if (self.irql != PASSIVE_LEVEL || !self.held.empty())
        Report("irql", std::string(what) + " returned above PASSIVE_LEVEL or holding a spin lock");
    self.driver = savedDriver;
    return result;
}
}  // namespace

NTSTATUS LoadedDriver::Load(PDRIVER_INITIALIZE entry, const std::u16string& registryPath, std::unique_ptr<LoadedDriver>* out,
                            const std::u16string& name)
{
    std::unique_ptr<LoadedDriver> d(new LoadedDriver);
    d->registryPath_ = registryPath;
    auto* object = (PDRIVER_OBJECT)std::calloc(1, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION));
    object->Type = 4;
    object->Size = sizeof(DRIVER_OBJECT);
    object->DriverExtension = (PDRIVER_EXTENSION)(object + 1);
    object->DriverExtension->DriverObject = object;
    object->DriverInit = entry;
    d->object_ = object;
    (void)name;
    UNICODE_STRING path;
    path.Buffer = (PWSTR)d->registryPath_.data();
    path.Length = (USHORT)(d->registryPath_.size() * 2);
    path.MaximumLength = path.Length;
    Self().inDriverEntry = true;
    NTSTATUS status = CallPassive(object, (const void*)entry, "driver entry", [&] { return entry(object, &path); });
    Self().inDriverEntry = false;
    if (!NT_SUCCESS(status)) {
        // A driver whose entry fails is unloaded without its unload routine: it must
        // have released everything itself.
        LeakCheckDriver(object);
        std::free(object);
        d->object_ = nullptr;
        d->unloaded_ = true;
        return status;
    }
    *out = std::move(d);
    return status;
}

void LoadedDriver::Unload()
{
    if (unloaded_) return;
    unloaded_ = true;
    if (object_->DeviceObject) Report("unload-with-devices", "driver unloaded while it still has device objects");
    if (object_->DriverUnload)
        CallPassive(object_, (const void*)object_->DriverUnload, "unload routine", [&] {
            object_->DriverUnload(object_);
            return 0;
        });
    LeakCheckDriver(object_);
}

LoadedDriver::~LoadedDriver()
{
    if (object_) std::free(object_);
}

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
    NTSTATUS status = CallPassive(object, (const void*)add, "AddDevice", [&] { return add(object, pdo_); });
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

// ---- WMI ----------------------------------------------------------------------------------

namespace {
constexpr ULONG kWnodeData = (ULONG)((offsetof(WNODE_SINGLE_ITEM, VariableData) + 2 + 7) & ~(size_t)7);

WmiResult SendWmi(PDEVICE_OBJECT provider, ULONG_PTR providerId, UCHAR minor, const GUID& guid, std::vector<UCHAR>& buffer)
{
    WmiResult r;
    Result res = SendRequest(IoGetAttachedDeviceReference(provider), [&](PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        s->MinorFunction = minor;
        s->Parameters.WMI.ProviderId = providerId;
        s->Parameters.WMI.DataPath = (PVOID)&guid;
        s->Parameters.WMI.BufferSize = (ULONG)buffer.size();
        s->Parameters.WMI.Buffer = buffer.data();
    });
    r.status = res.status;
    r.information = res.information;
    return r;
}

std::vector<UCHAR> SingleInstanceBuffer(const GUID& guid, ULONG dataSize, ULONG instance)
{
    std::vector<UCHAR> buffer(kWnodeData + dataSize, 0);
    auto* w = (PWNODE_SINGLE_INSTANCE)buffer.data();
    w->WnodeHeader.BufferSize = (ULONG)buffer.size();
    w->WnodeHeader.Guid = guid;
    w->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_PDO_INSTANCE_NAMES;
    w->OffsetInstanceName = (ULONG)offsetof(WNODE_SINGLE_INSTANCE, VariableData);
    w->InstanceIndex = instance;
    w->DataBlockOffset = kWnodeData;
    w->SizeDataBlock = dataSize;
    return buffer;
}
}  // namespace

WmiResult WmiQuerySingleInstance(PDEVICE_OBJECT provider, const GUID& guid, ULONG dataBufferSize, ULONG instance)
{
    std::vector<UCHAR> buffer = SingleInstanceBuffer(guid, dataBufferSize, instance);
    WmiResult r = SendWmi(provider, (ULONG_PTR)provider, IRP_MN_QUERY_SINGLE_INSTANCE, guid, buffer);
    auto* w = (PWNODE_SINGLE_INSTANCE)buffer.data();
    if (NT_SUCCESS(r.status) && (w->WnodeHeader.Flags & WNODE_FLAG_TOO_SMALL)) {
        r.tooSmall = true;
        r.sizeNeeded = ((PWNODE_TOO_SMALL)buffer.data())->SizeNeeded - kWnodeData;
    } else if (NT_SUCCESS(r.status)) {
        ULONG n = std::min<ULONG>(w->SizeDataBlock, dataBufferSize);
        r.data.assign(buffer.begin() + kWnodeData, buffer.begin() + kWnodeData + n);
    }
    return r;
}

WmiResult WmiSetSingleInstance(PDEVICE_OBJECT provider, const GUID& guid, const std::vector<UCHAR>& data, ULONG instance)
{
    std::vector<UCHAR> buffer = SingleInstanceBuffer(guid, (ULONG)data.size(), instance);
    std::copy(data.begin(), data.end(), buffer.begin() + kWnodeData);
    return SendWmi(provider, (ULONG_PTR)provider, IRP_MN_CHANGE_SINGLE_INSTANCE, guid, buffer);
}

WmiResult WmiSetSingleItem(PDEVICE_OBJECT provider, const GUID& guid, ULONG itemId, const std::vector<UCHAR>& data,
                           ULONG instance)
{
    std::vector<UCHAR> buffer(kWnodeData + data.size(), 0);
    auto* w = (PWNODE_SINGLE_ITEM)buffer.data();
    w->WnodeHeader.BufferSize = (ULONG)buffer.size();
    w->WnodeHeader.Guid = guid;
    w->WnodeHeader.Flags = WNODE_FLAG_SINGLE_ITEM;
    w->OffsetInstanceName = (ULONG)offsetof(WNODE_SINGLE_ITEM, VariableData);
    w->InstanceIndex = instance;
    w->ItemId = itemId;
    w->DataBlockOffset = kWnodeData;
    w->SizeDataItem = (ULONG)data.size();
    std::copy(data.begin(), data.end(), buffer.begin() + kWnodeData);
    return SendWmi(provider, (ULONG_PTR)provider, IRP_MN_CHANGE_SINGLE_ITEM, guid, buffer);
}

WmiResult WmiRegInfo(PDEVICE_OBJECT provider)
{
    std::vector<UCHAR> buffer(4096, 0);
    static const GUID none{};
    WmiResult r = SendWmi(provider, (ULONG_PTR)provider, IRP_MN_REGINFO, none, buffer);
    if (NT_SUCCESS(r.status)) r.data.assign(buffer.begin(), buffer.begin() + std::min<size_t>(r.information, buffer.size()));
    return r;
}

WmiResult WmiSendForeign(PDEVICE_OBJECT stackTop, ULONG_PTR providerId, const GUID& guid)
{
    std::vector<UCHAR> buffer = SingleInstanceBuffer(guid, 16, 0);
    return SendWmi(stackTop, providerId, IRP_MN_QUERY_SINGLE_INSTANCE, guid, buffer);
}

// ---- Applications -------------------------------------------------------------------------

// The file object behind a handle. Every outstanding request holds it, so that it
// lives until the last one completes, whatever the application did with the handle.
struct FileObject : std::enable_shared_from_this<FileObject> {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT opened = nullptr;  // the device the name resolved to
    PDEVICE_OBJECT target = nullptr;  // top of its stack, where requests go
    mutable std::recursive_mutex lock;
    std::vector<std::shared_ptr<Request>> outstanding;
    bool handleClosed = false;  // IRP_MJ_CLEANUP sent
    bool closeSent = false;
    bool cancelNext = false;
    KEVENT closed;
    NTSTATUS closeStatus = STATUS_PENDING;

    FileObject() { KeInitializeEvent(&closed, NotificationEvent, FALSE); }
    ~FileObject() { std::free(file); }

    std::shared_ptr<Request> Submit(UCHAR major, ULONG length, const void* in, ULONG inLength, ULONG outLength,
                                    const std::function<void(PIO_STACK_LOCATION)>& setup);
    void Finished(Request* request, PIRP irp);
    void SendClose();
    // The kernel is reset and these requests will never complete: forget them, which
    // also breaks the cycle between them and this object. Under `lock`.
    void DropOutstanding()
    {
        for (auto& r : outstanding) r->irp_ = nullptr;
        outstanding.clear();
    }
};

namespace {
// File objects whose handle is closed and whose close has not been sent yet.
std::mutex gFileObjectsLock;
std::vector<std::weak_ptr<FileObject>> gFileObjects;

void ForgetFileObject(const FileObject* object)
{
    std::lock_guard<std::mutex> g(gFileObjectsLock);
    auto& v = gFileObjects;
    v.erase(std::remove_if(v.begin(), v.end(),
                           [&](const std::weak_ptr<FileObject>& w) {
                               auto p = w.lock();
                               return !p || p.get() == object;
                           }),
            v.end());
}

bool InStack(PDEVICE_OBJECT device, PDEVICE_OBJECT pdo)
{
    for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice)
        if (d == device) return true;
    return false;
}

// Reports file objects cleaned up with requests still outstanding: on the device
// stack of `pdo`, or anywhere when it is null. `forget`: drop them (the kernel is
// being reset and their requests will never complete).
void CheckRequestsLeftAfterCleanup(PDEVICE_OBJECT pdo, const char* when, bool forget)
{
    std::vector<std::shared_ptr<FileObject>> objects;
    {
        std::lock_guard<std::mutex> g(gFileObjectsLock);
        for (auto& w : gFileObjects)
            if (auto p = w.lock()) objects.push_back(p);
        if (forget) gFileObjects.clear();
    }
    for (auto& f : objects) {
        std::lock_guard<std::recursive_mutex> g(f->lock);
        if (f->outstanding.empty() || (pdo && !InStack(f->target, pdo))) continue;
        Report("requests-left-after-cleanup", std::to_string(f->outstanding.size()) + " request(s) of a closed handle to " +
                                                  Hex((ULONG_PTR)f->target) + " still outstanding " + when);
        if (forget) f->DropOutstanding();
    }
}
}  // namespace

namespace detail {
void ResetFileObjects() { CheckRequestsLeftAfterCleanup(nullptr, "when the test ended", true); }
}  // namespace detail

Request::Request() { KeInitializeEvent(&done_, NotificationEvent, FALSE); }

Request::~Request() = default;

bool Request::Done() const { return KeReadStateEvent(const_cast<KEVENT*>(&done_)) != 0; }

NTSTATUS Request::Wait()
{
    if (!Done()) KeWaitForSingleObject(&done_, Executive, UserMode, FALSE, nullptr);
    return status_;
}

bool Request::Cancel()
{
    std::shared_ptr<FileObject> f = file_;
    if (!f) return false;
    // The completion clears irp_ under the same lock before the IRP is freed, so a
    // cancel never reaches a freed request.
    std::lock_guard<std::recursive_mutex> g(f->lock);
    return irp_ ? IoCancelIrp(irp_) != FALSE : false;
}

NTSTATUS File::Open(const std::u16string& name, std::unique_ptr<File>* out)
{
    CurrentRec();
    PDEVICE_OBJECT opened = ResolveName(name);
    if (!opened) return STATUS_OBJECT_NAME_NOT_FOUND;
    PDEVICE_OBJECT target = IoGetAttachedDeviceReference(opened);
    bool found;
    DeviceRec rec = Snapshot(target, &found);
    if (!found) return STATUS_NO_SUCH_DEVICE;
    if (target->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
    // An exclusive device takes one file object at a time; the I/O manager refuses the
    // second open before the driver hears of it. The first one counts until its close.
    if ((target->Flags & DO_EXCLUSIVE) && rec.openHandles > 0) return STATUS_ACCESS_DENIED;

    std::unique_ptr<File> f(new File);
    f->object_ = std::make_shared<FileObject>();
    FileObject& o = *f->object_;
    o.file = (PFILE_OBJECT)std::calloc(1, sizeof(FILE_OBJECT));
    o.file->Type = 5;
    o.file->Size = sizeof(FILE_OBJECT);
    o.file->DeviceObject = opened;
    o.opened = opened;
    o.target = target;
    AdjustOpenHandles(target, +1);
    auto r = f->Start(IRP_MJ_CREATE, [](PIO_STACK_LOCATION s) { s->Parameters.Create.ShareAccess = 0; });
    NTSTATUS status = r->Wait();
    if (!NT_SUCCESS(status)) {
        // A failed create: the file object goes without cleanup or close.
        AdjustOpenHandles(target, -1);
        f->handleClosed_ = true;
        o.handleClosed = o.closeSent = true;
        return status;
    }
    *out = std::move(f);
    return status;
}

File::~File()
{
    if (!handleClosed_) Close();
}

PFILE_OBJECT File::Object() const { return object_->file; }
PDEVICE_OBJECT File::Target() const { return object_->target; }

std::shared_ptr<Request> File::Submit(UCHAR major, ULONG length, const void* in, ULONG inLength, ULONG outLength,
                                      const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    return object_->Submit(major, length, in, inLength, outLength, setup);
}

std::shared_ptr<Request> FileObject::Submit(UCHAR major, ULONG length, const void* in, ULONG inLength, ULONG outLength,
                                            const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    CurrentRec();
    std::shared_ptr<Request> req(new Request);
    req->file_ = shared_from_this();
    Request* raw = req.get();
    FileObject* self = this;
    PIRP irp = AllocateHostIrp(target->StackSize, [self, raw](PIRP irp) {
        raw->status_ = irp->IoStatus.Status;
        raw->information_ = irp->IoStatus.Information;
        raw->boost_ = CompletionBoost(irp);
        if (!NT_ERROR(raw->status_) && raw->information_ && raw->outputLength_) {
            ULONG_PTR n = raw->information_;
            if (n > raw->outputLength_) {
                Report("buffer-overrun", "request completed with Information " + std::to_string(n) + " for a buffer of " +
                                             std::to_string(raw->outputLength_) + " bytes");
                n = raw->outputLength_;
            }
            const UCHAR* src = raw->copyBack_ ? (const UCHAR*)raw->systemBuffer_ : raw->userBuffer_.data();
            raw->output_.assign(src, src + n);
        }
        if (raw->systemBuffer_) std::free(raw->systemBuffer_);
        raw->systemBuffer_ = nullptr;
        self->Finished(raw, irp);
    });
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = (PVOID)CurrentRec();
    irp->IoStatus.Status = STATUS_SUCCESS;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    req->irp_ = irp;

    bool buffered = target->Flags & DO_BUFFERED_IO;
    bool direct = target->Flags & DO_DIRECT_IO;
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        stack->Parameters.Read.Length = length;
        req->userBuffer_.assign(length, 0);
        if (major == IRP_MJ_WRITE && in) std::memcpy(req->userBuffer_.data(), in, length);
        if (major == IRP_MJ_READ) req->outputLength_ = length;
        if (buffered) {
            // As the I/O manager does, a zero-length transfer gets no system buffer.
            if (length) {
                req->systemBuffer_ = std::malloc(length);
                std::memset(req->systemBuffer_, 0xC5, length);
                if (major == IRP_MJ_WRITE) std::memcpy(req->systemBuffer_, in, length);
            }
            irp->AssociatedIrp.SystemBuffer = req->systemBuffer_;
            irp->Flags = IRP_BUFFERED_IO | (major == IRP_MJ_READ ? IRP_INPUT_OPERATION : 0);
            req->copyBack_ = major == IRP_MJ_READ;
        } else if (direct && length) {
            PMDL mdl = IoAllocateMdl(req->userBuffer_.data(), length, FALSE, FALSE, irp);
            MmProbeAndLockPages(mdl, UserMode, major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
        } else {
            irp->UserBuffer = req->userBuffer_.data();
        }
    } else if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode = length;
        stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        req->outputLength_ = outLength;
        switch (METHOD_FROM_CTL_CODE(code)) {
        case METHOD_BUFFERED: {
            ULONG n = std::max(inLength, outLength);
            req->systemBuffer_ = std::malloc(n ? n : 1);
            std::memset(req->systemBuffer_, 0xC5, n);
            if (inLength) std::memcpy(req->systemBuffer_, in, inLength);
            irp->AssociatedIrp.SystemBuffer = n ? req->systemBuffer_ : nullptr;
            irp->Flags = IRP_BUFFERED_IO | IRP_INPUT_OPERATION;
            req->copyBack_ = true;
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (inLength) {
                req->systemBuffer_ = std::malloc(inLength);
                std::memcpy(req->systemBuffer_, in, inLength);
                irp->AssociatedIrp.SystemBuffer = req->systemBuffer_;
            }
            req->userBuffer_.assign(outLength, 0);
            if (outLength) {
                PMDL mdl = IoAllocateMdl(req->userBuffer_.data(), outLength, FALSE, FALSE, irp);
                MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
            }
            break;
        default:
            req->userBuffer_.assign(outLength, 0);
            stack->Parameters.DeviceIoControl.Type3InputBuffer = (PVOID)in;
            irp->UserBuffer = req->userBuffer_.data();
            break;
        }
    }
    if (setup) setup(stack);
    {
        // The list keeps the request alive until it completes, whatever the caller does.
        std::lock_guard<std::recursive_mutex> g(lock);
        outstanding.push_back(req);
        if (cancelNext && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE) {
            irp->Cancel = TRUE;
            cancelNext = false;
        }
    }
    IofCallDriver(target, irp);
    return req;
}

// Where the I/O manager finishes a request of this file object: in the context that
// completed it, possibly at DISPATCH_LEVEL.
void FileObject::Finished(Request* request, PIRP irp)
{
    std::shared_ptr<Request> keep;
    bool closeNow = false;
    {
        std::lock_guard<std::recursive_mutex> g(lock);
        request->irp_ = nullptr;
        FreeHostIrp(irp);
        for (auto it = outstanding.begin(); it != outstanding.end(); ++it)
            if (it->get() == request) {
                keep = *it;
                outstanding.erase(it);
                break;
            }
        if (handleClosed && !closeSent && outstanding.empty()) closeNow = closeSent = true;
    }
    if (closeNow) {
        // The last reference went here; the object manager deletes the file object at
        // PASSIVE_LEVEL from a system thread, which sends the close.
        auto me = shared_from_this();
        StartSystemThread("object manager", [me] { me->SendClose(); });
    }
    KeSetEvent(&request->done_, IO_NO_INCREMENT, FALSE);
}

void FileObject::SendClose()
{
    auto r = Submit(IRP_MJ_CLOSE, 0, nullptr, 0, 0, {});
    NTSTATUS status = r->Wait();
    AdjustOpenHandles(target, -1);
    ForgetFileObject(this);
    closeStatus = status;
    KeSetEvent(&closed, IO_NO_INCREMENT, FALSE);
}

void File::SubmitNextCancelled()
{
    std::lock_guard<std::recursive_mutex> g(object_->lock);
    object_->cancelNext = true;
}

std::shared_ptr<Request> File::Start(UCHAR major, const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    return Submit(major, 0, nullptr, 0, 0, setup);
}

std::shared_ptr<Request> File::StartRead(ULONG length) { return Submit(IRP_MJ_READ, length, nullptr, 0, 0, {}); }

std::shared_ptr<Request> File::StartWrite(const std::vector<UCHAR>& bytes)
{
    return Submit(IRP_MJ_WRITE, (ULONG)bytes.size(), bytes.data(), 0, 0, {});
}

std::shared_ptr<Request> File::StartIoctl(ULONG code, const std::vector<UCHAR>& in, ULONG outLength)
{
    return Submit(IRP_MJ_DEVICE_CONTROL, code, in.data(), (ULONG)in.size(), outLength, {});
}

std::shared_ptr<Request> File::StartFlush() { return Submit(IRP_MJ_FLUSH_BUFFERS, 0, nullptr, 0, 0, {}); }

NTSTATUS File::Read(void* buffer, ULONG length, ULONG* transferred)
{
    auto r = StartRead(length);
    NTSTATUS status = r->Wait();
    if (!r->Output().empty()) std::memcpy(buffer, r->Output().data(), r->Output().size());
    if (transferred) *transferred = (ULONG)r->Information();
    return status;
}

NTSTATUS File::Write(const void* buffer, ULONG length, ULONG* transferred)
{
    auto r = StartWrite(std::vector<UCHAR>((const UCHAR*)buffer, (const UCHAR*)buffer + length));
    NTSTATUS status = r->Wait();
    if (transferred) *transferred = (ULONG)r->Information();
    return status;
}

NTSTATUS File::Ioctl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength, ULONG* returned)
{
    auto r = StartIoctl(code, std::vector<UCHAR>((const UCHAR*)in, (const UCHAR*)in + inLength), outLength);
    NTSTATUS status = r->Wait();
    if (out && !r->Output().empty()) std::memcpy(out, r->Output().data(), r->Output().size());
    if (returned) *returned = (ULONG)r->Information();
    return status;
}

NTSTATUS File::Flush() { return StartFlush()->Wait(); }

void File::CancelIo()
{
    std::lock_guard<std::recursive_mutex> g(object_->lock);
    std::vector<std::shared_ptr<Request>> copy = object_->outstanding;
    for (auto& r : copy)
        if (r->irp_) IoCancelIrp(r->irp_);  // cleared under this lock when it completes
}

size_t File::Outstanding() const
{
    std::lock_guard<std::recursive_mutex> g(object_->lock);
    return object_->outstanding.size();
}

NTSTATUS File::Close()
{
    if (handleClosed_) return object_->closeSent ? object_->closeStatus : STATUS_PENDING;
    handleClosed_ = true;
    Start(IRP_MJ_CLEANUP, {})->Wait();
    bool closeNow;
    {
        std::lock_guard<std::recursive_mutex> g(object_->lock);
        object_->handleClosed = true;
        closeNow = object_->outstanding.empty();
        if (closeNow) object_->closeSent = true;
    }
    if (closeNow) {
        // The handle held the last reference: the close is sent from CloseHandle itself.
        object_->SendClose();
        return object_->closeStatus;
    }
    {
        std::lock_guard<std::mutex> g(gFileObjectsLock);
        gFileObjects.push_back(object_);
    }
    return STATUS_PENDING;
}

bool File::Closed() const { return KeReadStateEvent(&object_->closed) != 0; }

NTSTATUS File::WaitClosed()
{
    if (!Closed()) KeWaitForSingleObject(&object_->closed, Executive, UserMode, FALSE, nullptr);
    return object_->closeStatus;
}

}  // namespace hk
