// The host's view of the kernel: reset and shutdown, the registry and the name
// space as tests read and write them, and physical device objects.
#include <atomic>

#include "hostkernel/frontend.h"
#include "internal.h"

namespace hk {
using namespace detail;

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
    ResetCounters();
}

// ---- Counters -----------------------------------------------------------------------------

namespace {
std::atomic<unsigned long long> gTally[(int)Tally::Count];
}

void detail::Bump(Tally which) { gTally[(int)which].fetch_add(1, std::memory_order_relaxed); }

void detail::ResetCounters()
{
    for (auto& t : gTally) t.store(0, std::memory_order_relaxed);
}

Counters ReadCounters()
{
    auto read = [](Tally t) { return gTally[(int)t].load(std::memory_order_relaxed); };
    Counters c;
    c.poolAllocations = read(Tally::Pool);
    c.driverIrps = read(Tally::DriverIrp);
    c.requestIrps = read(Tally::RequestIrp);
    c.mdls = read(Tally::Mdl);
    c.dpcs = read(Tally::Dpc);
    c.timerDpcs = read(Tally::TimerDpc);
    return c;
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

}  // namespace hk
