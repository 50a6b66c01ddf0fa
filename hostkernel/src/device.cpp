// Device objects and stacks, the object namespace (symbolic links), device
// interfaces and WMI registration.
#include <algorithm>

#include "internal.h"

namespace hk::detail {
namespace {

std::mutex gTableLock;
std::unordered_map<const void*, std::unique_ptr<DeviceRec>> gDevices;
std::map<std::u16string, std::u16string> gLinks;  // folded link name -> target

struct Interface {
    std::u16string link;  // as returned to the driver
    PDEVICE_OBJECT pdo;
    GUID guid;
    bool enabled = false;
};
std::map<std::u16string, Interface> gInterfaces;  // folded link name -> interface

std::u16string Normalise(std::u16string name)
{
    static const std::u16string dos = u"\\DosDevices\\";
    if (Fold(name.substr(0, dos.size())) == Fold(dos)) name = u"\\??\\" + name.substr(dos.size());
    return name;
}

std::u16string GuidText(const GUID& g)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return std::u16string(buf, buf + std::strlen(buf));
}

void SetString(PUNICODE_STRING s, const std::u16string& text, PWSTR buffer)
{
    std::memcpy(buffer, text.data(), text.size() * 2);
    buffer[text.size()] = 0;
    s->Buffer = buffer;
    s->Length = (USHORT)(text.size() * 2);
    s->MaximumLength = (USHORT)(text.size() * 2 + 2);
}

}  // namespace

std::mutex& TableLock() { return gTableLock; }

DeviceRec* FindDevice(const void* device)
{
    auto it = gDevices.find(device);
    return it == gDevices.end() || it->second->deleted ? nullptr : it->second.get();
}

bool IsLiveDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> g(gTableLock);
    return FindDevice(device) != nullptr;
}

PDEVICE_OBJECT DeviceContaining(const void* address)
{
    std::lock_guard<std::mutex> g(gTableLock);
    for (auto& [d, rec] : gDevices) {
        if (rec->deleted) continue;
        auto* base = (const char*)rec->device;
        if ((const char*)address >= base && (const char*)address < base + sizeof(DEVICE_OBJECT) + rec->extensionSize)
            return rec->device;
    }
    return nullptr;
}

// Resolves a name through symbolic links to a device object (the PDO for interfaces).
PDEVICE_OBJECT ResolveName(std::u16string name)
{
    std::lock_guard<std::mutex> g(gTableLock);
    for (int hops = 0; hops < 8; ++hops) {
        name = Normalise(name);
        auto itf = gInterfaces.find(Fold(name));
        if (itf != gInterfaces.end()) return itf->second.enabled ? itf->second.pdo : nullptr;
        auto link = gLinks.find(Fold(name));
        if (link != gLinks.end()) {
            name = link->second;
            continue;
        }
        for (auto& [d, rec] : gDevices)
            if (!rec->deleted && !rec->name.empty() && Fold(rec->name) == Fold(name)) return rec->device;
        return nullptr;
    }
    return nullptr;
}

bool LinkExists(const std::u16string& name)
{
    std::lock_guard<std::mutex> g(gTableLock);
    return gLinks.count(Fold(Normalise(name))) != 0;
}

std::u16string LinkTarget(const std::u16string& name)
{
    std::lock_guard<std::mutex> g(gTableLock);
    auto it = gLinks.find(Fold(Normalise(name)));
    return it == gLinks.end() ? std::u16string() : it->second;
}

int InterfaceState(const std::u16string& link)
{
    std::lock_guard<std::mutex> g(gTableLock);
    auto it = gInterfaces.find(Fold(Normalise(link)));
    return it == gInterfaces.end() ? -1 : it->second.enabled;
}

std::vector<std::u16string> InterfacesOf(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> g(gTableLock);
    std::vector<std::u16string> out;
    for (auto& [k, i] : gInterfaces)
        if (i.pdo == pdo) out.push_back(i.link);
    return out;
}

bool WmiRegistered(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> g(gTableLock);
    DeviceRec* rec = FindDevice(device);
    return rec && rec->wmiRegistered;
}

void ResetDevices()
{
    std::lock_guard<std::mutex> g(gTableLock);
    for (auto& [d, rec] : gDevices) {
        HK_UNPOISON(rec->device, sizeof(DEVICE_OBJECT) + rec->extensionSize);
        std::free(rec->device);
    }
    gDevices.clear();
}

void ResetNames()
{
    std::lock_guard<std::mutex> g(gTableLock);
    gLinks.clear();
    gInterfaces.clear();
}

std::shared_ptr<DeviceNode> NodeOf(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> g(gTableLock);
    DeviceRec* rec = FindDevice(pdo);
    return rec ? rec->node : nullptr;
}

void SetNode(PDEVICE_OBJECT pdo, std::shared_ptr<DeviceNode> node)
{
    std::lock_guard<std::mutex> g(gTableLock);
    if (DeviceRec* rec = FindDevice(pdo)) rec->node = std::move(node);
}

DeviceRec Snapshot(PDEVICE_OBJECT device, bool* found)
{
    std::lock_guard<std::mutex> g(gTableLock);
    DeviceRec* rec = FindDevice(device);
    *found = rec != nullptr;
    return rec ? *rec : DeviceRec{};
}

void AdjustOpenHandles(PDEVICE_OBJECT device, int delta)
{
    std::lock_guard<std::mutex> g(gTableLock);
    if (DeviceRec* rec = FindDevice(device)) rec->openHandles += delta;
}

}  // namespace hk::detail

bool hk::IsLiveDevice(PDEVICE_OBJECT device) { return detail::IsLiveDevice(device); }

using namespace hk;
using namespace hk::detail;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject)
{
    *DeviceObject = nullptr;
    if (Self().irql > PASSIVE_LEVEL) Report("irql", "IoCreateDevice above PASSIVE_LEVEL");
    NTSTATUS fault;
    if (ConsumeApiFault(Api::IoCreateDevice, &fault)) return fault;
    // The device object comes from nonpaged pool, so pool faults reach it too.
    if (ConsumePoolFault(0x69766544 /* "Devi" */)) return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string name = DeviceName ? Wide(DeviceName) : std::u16string();
    if (!name.empty() && ResolveName(name)) return STATUS_OBJECT_NAME_COLLISION;
    size_t bytes = sizeof(DEVICE_OBJECT) + DeviceExtensionSize;
    auto* dev = (PDEVICE_OBJECT)std::calloc(1, bytes);
    dev->Type = 3;
    dev->Size = (USHORT)sizeof(DEVICE_OBJECT);
    dev->DriverObject = DriverObject;
    dev->DeviceType = DeviceType;
    dev->Characteristics = DeviceCharacteristics;
    dev->StackSize = 1;
    dev->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    dev->DeviceExtension = DeviceExtensionSize ? (PVOID)(dev + 1) : nullptr;
    if (DeviceExtensionSize) std::memset(dev + 1, 0, DeviceExtensionSize);  // the extension comes zeroed
    KeInitializeDeviceQueue(&dev->DeviceQueue);
    KeInitializeEvent(&dev->DeviceLock, SynchronizationEvent, TRUE);
    auto rec = std::make_unique<DeviceRec>();
    rec->device = dev;
    rec->extensionSize = DeviceExtensionSize;
    rec->exclusive = Exclusive;
    rec->name = name;
    {
        std::lock_guard<std::mutex> g(gTableLock);
        gDevices[dev] = std::move(rec);
    }
    dev->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = dev;
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    if (Self().irql > PASSIVE_LEVEL) Report("irql", "IoDeleteDevice above PASSIVE_LEVEL");
    size_t extension;
    {
        std::lock_guard<std::mutex> g(gTableLock);
        DeviceRec* rec = FindDevice(DeviceObject);
        if (!rec) {
            Report("device-double-delete", "IoDeleteDevice on " + Hex((ULONG_PTR)DeviceObject) + ", which is not a live device");
            return;
        }
        if (rec->wmiRegistered) Report("delete-wmi-registered", "device " + Hex((ULONG_PTR)DeviceObject) + " deleted while registered with WMI");
        if (rec->attachedTo) Report("delete-attached", "device " + Hex((ULONG_PTR)DeviceObject) + " deleted while still attached to a lower device");
        if (DeviceObject->AttachedDevice) Report("delete-attached", "device " + Hex((ULONG_PTR)DeviceObject) + " deleted while a device is attached above it");
        rec->deleted = true;
        extension = rec->extensionSize;
    }
    size_t bytes = sizeof(DEVICE_OBJECT) + extension;
    CheckNoQueuedWorkItems(DeviceObject);
    CheckNoLiveKernelObjects(DeviceObject, bytes, "device object");
    ForgetLocksIn(DeviceObject, bytes);
    ForgetRemoveLocksIn(DeviceObject, bytes);

    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* p = &driver->DeviceObject; *p; p = &(*p)->NextDevice)
        if (*p == DeviceObject) {
            *p = DeviceObject->NextDevice;
            break;
        }
    LeakCheckDevice(DeviceObject, driver, driver->DeviceObject == nullptr);
    {
        std::lock_guard<std::mutex> g(gTableLock);
        for (auto it = gInterfaces.begin(); it != gInterfaces.end();)
            it = it->second.pdo == DeviceObject ? gInterfaces.erase(it) : std::next(it);
        // The memory stays reserved (poisoned) so stale pointers are caught, not reused.
        std::memset(DeviceObject, 0xDF, bytes);
        HK_POISON(DeviceObject, bytes);
    }
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    NTSTATUS fault;
    if (ConsumeApiFault(Api::IoAttachDeviceToDeviceStack, &fault)) return nullptr;
    std::lock_guard<std::mutex> g(gTableLock);
    DeviceRec* source = FindDevice(SourceDevice);
    if (!source || !FindDevice(TargetDevice)) return nullptr;
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice) top = top->AttachedDevice;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    source->attachedTo = top;
    return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    std::lock_guard<std::mutex> g(gTableLock);
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (!above) {
        Report("detach", "IoDetachDevice on " + Hex((ULONG_PTR)TargetDevice) + ", which has nothing attached");
        return;
    }
    TargetDevice->AttachedDevice = nullptr;
    if (DeviceRec* rec = FindDevice(above)) rec->attachedTo = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    std::lock_guard<std::mutex> g(gTableLock);
    while (DeviceObject->AttachedDevice) DeviceObject = DeviceObject->AttachedDevice;
    return DeviceObject;
}

VOID ObReferenceObject(PVOID) {}
VOID ObDereferenceObject(PVOID) {}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    if (Self().irql > PASSIVE_LEVEL) Report("irql", "IoCreateSymbolicLink above PASSIVE_LEVEL");
    NTSTATUS fault;
    if (ConsumeApiFault(Api::IoCreateSymbolicLink, &fault)) return fault;
    std::u16string name = Fold(Normalise(Wide(SymbolicLinkName)));
    std::lock_guard<std::mutex> g(gTableLock);
    if (gLinks.count(name) || gInterfaces.count(name)) return STATUS_OBJECT_NAME_COLLISION;
    gLinks[name] = Wide(DeviceName);
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    if (Self().irql > PASSIVE_LEVEL) Report("irql", "IoDeleteSymbolicLink above PASSIVE_LEVEL");
    std::lock_guard<std::mutex> g(gTableLock);
    return gLinks.erase(Fold(Normalise(Wide(SymbolicLinkName)))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    if (Self().irql > PASSIVE_LEVEL) Report("irql", "IoRegisterDeviceInterface above PASSIVE_LEVEL");
    NTSTATUS fault;
    if (ConsumeApiFault(Api::IoRegisterDeviceInterface, &fault)) return fault;
    auto node = NodeOf(PhysicalDeviceObject);
    if (!node) return STATUS_INVALID_DEVICE_REQUEST;  // not a physical device object
    std::u16string id = node->instanceId;
    std::replace(id.begin(), id.end(), u'\\', u'#');
    std::u16string link = u"\\??\\" + id + u"#" + GuidText(*InterfaceClassGuid);
    if (ReferenceString && ReferenceString->Length) link += u"\\" + Wide(ReferenceString);
    // The returned string is pool the caller owns and frees with RtlFreeUnicodeString.
    auto* buffer = (PWSTR)PoolAllocate(PagedPool, (link.size() + 1) * 2, 0x20206F49 /* "Io  " */, true);
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    SetString(SymbolicLinkName, link, buffer);
    std::lock_guard<std::mutex> g(gTableLock);
    auto& itf = gInterfaces[Fold(link)];
    itf.link = link;
    itf.pdo = PhysicalDeviceObject;
    itf.guid = *InterfaceClassGuid;
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    if (Self().irql > PASSIVE_LEVEL) Report("irql", "IoSetDeviceInterfaceState above PASSIVE_LEVEL");
    NTSTATUS fault;
    if (ConsumeApiFault(Api::IoSetDeviceInterfaceState, &fault)) return fault;
    std::lock_guard<std::mutex> g(gTableLock);
    auto it = gInterfaces.find(Fold(Normalise(Wide(SymbolicLinkName))));
    if (it == gInterfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!Enable && !it->second.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    // Enabling twice is harmless but not silent: the informational status says so.
    if (Enable && it->second.enabled) return STATUS_OBJECT_NAME_EXISTS;
    it->second.enabled = Enable;
    return STATUS_SUCCESS;
}

NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action)
{
    NTSTATUS fault;
    if (ConsumeApiFault(Api::IoWMIRegistrationControl, &fault)) return fault;
    std::lock_guard<std::mutex> g(gTableLock);
    DeviceRec* rec = FindDevice(DeviceObject);
    if (!rec) return STATUS_INVALID_PARAMETER;
    switch (Action) {
    case WMIREG_ACTION_REGISTER:
        if (rec->wmiRegistered) return STATUS_INVALID_PARAMETER;
        rec->wmiRegistered = true;
        return STATUS_SUCCESS;
    case WMIREG_ACTION_DEREGISTER:
        if (!rec->wmiRegistered) return STATUS_INVALID_PARAMETER;
        rec->wmiRegistered = false;
        return STATUS_SUCCESS;
    default:
        return rec->wmiRegistered ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }
}
