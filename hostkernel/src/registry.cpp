// An in-memory registry: keys by path, values with type and data, handles, the
// device keys of physical device objects and the hardware device map.
#include "internal.h"

namespace hk::detail {
std::shared_ptr<DeviceNode> NodeOf(PDEVICE_OBJECT pdo);

namespace {

struct Value {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<UCHAR> data;
};
struct Key {
    std::map<std::u16string, Value> values;  // by folded name
};

std::mutex gRegLock;
std::map<std::u16string, Key> gKeys;                  // by folded path
struct OpenKey {
    std::u16string path;  // folded
    Owner owner;
    ACCESS_MASK access;  // specific key rights granted at open (generic rights mapped)
};
std::map<ULONG_PTR, OpenKey> gHandles;
ULONG_PTR gNextHandle = 0x100;

const std::u16string kDeviceMap = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\";
const std::u16string kServices = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
const std::u16string kControl = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\";
const std::u16string kEnum = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";

std::u16string FromWide(PCWSTR s)
{
    std::u16string out;
    if (s)
        while (*s) out += *s++;
    return out;
}

// The object manager maps generic rights to the key's specific ones when a handle
// is opened; the handle grants only what was asked for.
ACCESS_MASK MapKeyAccess(ACCESS_MASK desired)
{
    ACCESS_MASK granted = desired & 0xFFFF;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) granted |= KEY_ALL_ACCESS;
    if (desired & GENERIC_READ) granted |= KEY_READ;
    if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
    return granted & 0xFFFF;
}

HANDLE OpenLocked(const std::u16string& path, ACCESS_MASK desired)
{
    gKeys[Fold(path)];
    ULONG_PTR h = gNextHandle += 4;
    gHandles[h] = {Fold(path), CurrentOwner(), MapKeyAccess(desired)};
    return (HANDLE)h;
}

// The key behind an open handle, or null with `*status` set: STATUS_INVALID_HANDLE
// for a handle that is not open, STATUS_ACCESS_DENIED when the handle was not
// opened with `right`.
Key* KeyOfHandle(HANDLE handle, ACCESS_MASK right, const char* routine, NTSTATUS* status)
{
    auto it = gHandles.find((ULONG_PTR)handle);
    if (it == gHandles.end()) {
        Report("invalid-handle", std::string(routine) + " with handle " + Hex((ULONG_PTR)handle) + ", which is not open");
        *status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    if (!(it->second.access & right)) {
        *status = STATUS_ACCESS_DENIED;
        return nullptr;
    }
    return &gKeys[it->second.path];
}

void RequirePassive(const char* routine)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) Report("irql", std::string(routine) + " above PASSIVE_LEVEL");
}

std::u16string RelativePath(ULONG relativeTo, PCWSTR path)
{
    std::u16string p = FromWide(path);
    switch (relativeTo & 0xFF) {
    case RTL_REGISTRY_DEVICEMAP: return kDeviceMap + p;
    case RTL_REGISTRY_SERVICES: return kServices + p;
    case RTL_REGISTRY_CONTROL: return kControl + p;
    default: return p;
    }
}

}  // namespace

void ResetRegistry()
{
    std::lock_guard<std::mutex> g(gRegLock);
    gKeys.clear();
    gHandles.clear();
}

std::string OwnedHandles(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool last)
{
    std::lock_guard<std::mutex> g(gRegLock);
    int n = 0;
    for (auto& [h, key] : gHandles) n += DueAtDeviceDelete(key.owner, device, driver, last);
    return n ? std::to_string(n) + " registry handle(s) open" : std::string();
}

std::u16string DeviceKeyPath(const std::u16string& instanceId) { return kEnum + instanceId + u"\\Device Parameters"; }
std::u16string DeviceMapPath(const std::u16string& key) { return kDeviceMap + key; }

void RegSet(const std::u16string& path, const std::u16string& name, ULONG type, const void* data, size_t size)
{
    std::lock_guard<std::mutex> g(gRegLock);
    Value& v = gKeys[Fold(path)].values[Fold(name)];
    v.name = name;
    v.type = type;
    v.data.assign((const UCHAR*)data, (const UCHAR*)data + size);
}

bool RegGet(const std::u16string& path, const std::u16string& name, ULONG* type, std::vector<UCHAR>* data)
{
    std::lock_guard<std::mutex> g(gRegLock);
    auto k = gKeys.find(Fold(path));
    if (k == gKeys.end()) return false;
    auto v = k->second.values.find(Fold(name));
    if (v == k->second.values.end()) return false;
    if (type) *type = v->second.type;
    if (data) *data = v->second.data;
    return true;
}

bool RegDelete(const std::u16string& path, const std::u16string& name)
{
    std::lock_guard<std::mutex> g(gRegLock);
    auto k = gKeys.find(Fold(path));
    return k != gKeys.end() && k->second.values.erase(Fold(name)) != 0;
}

std::vector<std::u16string> RegValueNames(const std::u16string& path)
{
    std::lock_guard<std::mutex> g(gRegLock);
    std::vector<std::u16string> out;
    auto k = gKeys.find(Fold(path));
    if (k != gKeys.end())
        for (auto& [n, v] : k->second.values) out.push_back(v.name);
    return out;
}

}  // namespace hk::detail

namespace hk {
size_t OpenRegistryHandles()
{
    std::lock_guard<std::mutex> g(detail::gRegLock);
    return detail::gHandles.size();
}
}  // namespace hk

using namespace hk;
using namespace hk::detail;

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey)
{
    RequirePassive("IoOpenDeviceRegistryKey");
    NTSTATUS fault;
    if (ConsumeApiFault(Api::IoOpenDeviceRegistryKey, &fault)) return fault;
    auto node = NodeOf(DeviceObject);
    if (!node) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string path = DevInstKeyType == PLUGPLAY_REGKEY_DEVICE ? node->deviceKeyPath
                                                                   : kControl + u"Class\\" + node->instanceId;
    std::lock_guard<std::mutex> g(gRegLock);
    *DevInstRegKey = OpenLocked(path, DesiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS Class,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    RequirePassive("ZwQueryValueKey");
    std::lock_guard<std::mutex> g(gRegLock);
    NTSTATUS refused;
    Key* key = KeyOfHandle(KeyHandle, KEY_QUERY_VALUE, "ZwQueryValueKey", &refused);
    if (!key) return refused;
    auto it = key->values.find(Fold(Wide(ValueName)));
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    const Value& v = it->second;
    ULONG nameBytes = (ULONG)(v.name.size() * 2);
    ULONG dataBytes = (ULONG)v.data.size();
    auto* out = (PUCHAR)KeyValueInformation;
    switch (Class) {
    case KeyValueFullInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        ULONG dataOffset = (fixed + nameBytes + 3) & ~3u;  // data starts ULONG-aligned after the name
        ULONG total = dataOffset + dataBytes;
        *ResultLength = total;
        if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
        auto* info = (PKEY_VALUE_FULL_INFORMATION)out;
        info->TitleIndex = 0;
        info->Type = v.type;
        info->DataOffset = dataOffset;
        info->DataLength = dataBytes;
        info->NameLength = nameBytes;
        if (Length < total) return STATUS_BUFFER_OVERFLOW;
        std::memcpy(out + fixed, v.name.data(), nameBytes);
        if (dataBytes) std::memcpy(out + dataOffset, v.data.data(), dataBytes);  // an empty value has no data pointer
        return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        ULONG total = fixed + dataBytes;
        *ResultLength = total;
        if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
        auto* info = (PKEY_VALUE_PARTIAL_INFORMATION)out;
        info->TitleIndex = 0;
        info->Type = v.type;
        info->DataLength = dataBytes;
        if (Length < total) return STATUS_BUFFER_OVERFLOW;
        if (dataBytes) std::memcpy(out + fixed, v.data.data(), dataBytes);
        return STATUS_SUCCESS;
    }
    case KeyValueBasicInformation: {
        ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        ULONG total = fixed + nameBytes;
        *ResultLength = total;
        if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
        auto* info = (PKEY_VALUE_BASIC_INFORMATION)out;
        info->TitleIndex = 0;
        info->Type = v.type;
        info->NameLength = nameBytes;
        if (Length < total) return STATUS_BUFFER_OVERFLOW;
        std::memcpy(out + fixed, v.name.data(), nameBytes);
        return STATUS_SUCCESS;
    }
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data, ULONG DataSize)
{
    RequirePassive("ZwSetValueKey");
    std::lock_guard<std::mutex> g(gRegLock);
    NTSTATUS refused;
    Key* key = KeyOfHandle(KeyHandle, KEY_SET_VALUE, "ZwSetValueKey", &refused);
    if (!key) return refused;
    Value& v = key->values[Fold(Wide(ValueName))];
    v.name = Wide(ValueName);
    v.type = Type;
    v.data.assign((PUCHAR)Data, (PUCHAR)Data + DataSize);
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) Report("irql", "ZwClose above PASSIVE_LEVEL");
    std::lock_guard<std::mutex> g(gRegLock);
    if (!gHandles.erase((ULONG_PTR)Handle)) {
        Report("invalid-handle", "ZwClose with handle " + Hex((ULONG_PTR)Handle) + ", which is not open (closed twice?)");
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength)
{
    RequirePassive("RtlWriteRegistryValue");
    NTSTATUS fault;
    if (ConsumeApiFault(Api::RtlWriteRegistryValue, &fault)) return fault;
    RegSet(RelativePath(RelativeTo, Path), FromWide(ValueName), ValueType, ValueData, ValueLength);
    return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    RequirePassive("RtlDeleteRegistryValue");
    return RegDelete(RelativePath(RelativeTo, Path), FromWide(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
