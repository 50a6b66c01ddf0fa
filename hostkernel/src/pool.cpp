// Executive pool with per-tag accounting, fault injection and the checks Driver
// Verifier makes on pool: IRQL, double free, tag mismatch, kernel objects still
// live inside freed memory, and leaks reported by tag.
#include <cstdlib>

#include "internal.h"


extern "C" {
extern char __start_hk_page[] __attribute__((weak));
extern char __stop_hk_page[] __attribute__((weak));
}

namespace hk {
namespace detail {
namespace {

struct PoolBlock {
    SIZE_T size;
    ULONG tag;
    POOL_TYPE type;
    Owner owner;
    bool system;  // allocated by the kernel on the driver's behalf (returned strings)
};

std::mutex gPoolLock;
std::unordered_map<PVOID, PoolBlock> gPool;

struct Fault {
    int remaining = 0;
    ULONG tag = 0;
};
Fault gPoolFault;
int gIrpFault = 0;
struct ApiFault {
    int remaining = 0;
    NTSTATUS status = 0;
};
std::map<Api, ApiFault> gApiFaults;
std::map<Api, int> gApiCalls;

bool IsPaged(POOL_TYPE t) { return (t & 1) != 0; }

}  // namespace

thread_local int tFaultsSuspended = 0;



std::string TagString(ULONG tag)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = (char)((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

bool ConsumePoolFault(ULONG tag)
{
    if (tFaultsSuspended) return false;
    std::lock_guard<std::mutex> g(gPoolLock);
    if (gPoolFault.remaining <= 0) return false;
    if (gPoolFault.tag && gPoolFault.tag != tag) return false;
    return --gPoolFault.remaining == 0;
}

bool ConsumeIrpFault()
{
    if (tFaultsSuspended) return false;
    std::lock_guard<std::mutex> g(gPoolLock);
    if (gIrpFault <= 0) return false;
    return --gIrpFault == 0;
}

bool ConsumeApiFault(Api api, NTSTATUS* status)
{
    if (tFaultsSuspended) return false;
    std::lock_guard<std::mutex> g(gPoolLock);
    gApiCalls[api]++;
    auto it = gApiFaults.find(api);
    if (it == gApiFaults.end() || it->second.remaining <= 0) return false;
    if (--it->second.remaining != 0) return false;
    *status = it->second.status;
    return true;
}

constexpr SIZE_T kLargestPoolBlock = (SIZE_T)1 << 30;

PVOID PoolAllocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool system)
{
    ThreadState& self = Self();
    if (IsPaged(type) && self.irql > APC_LEVEL)
        Report("paged-pool-irql", "paged pool (tag '" + TagString(tag) + "') allocated at IRQL " + std::to_string(self.irql));
    if (!IsPaged(type) && self.irql > DISPATCH_LEVEL)
        Report("pool-irql", "nonpaged pool allocated above DISPATCH_LEVEL");
    if (ConsumePoolFault(tag)) return nullptr;
    // No pool of a 32-bit kernel has a gigabyte to give in one block.
    if (size > kLargestPoolBlock) return nullptr;
    void* p = std::malloc(size ? size : 1);
    if (!p) return nullptr;
    std::memset(p, 0xC5, size);  // pool is not zeroed: make stale contents visible
    Bump(Tally::Pool);
    std::lock_guard<std::mutex> g(gPoolLock);
    gPool[p] = PoolBlock{size, tag, type, CurrentOwner(), system};
    return p;
}

void PoolFree(PVOID p, ULONG tag, bool checkTag)
{
    ThreadState& self = Self();
    PoolBlock block;
    {
        std::lock_guard<std::mutex> g(gPoolLock);
        auto it = gPool.find(p);
        if (it == gPool.end()) {
            Report("pool-double-free", "freeing " + Hex((ULONG_PTR)p) + ", which is not allocated pool (freed twice?)");
            return;
        }
        block = it->second;
        gPool.erase(it);
    }
    if (checkTag && tag != block.tag)
        Report("pool-tag-mismatch", "pool allocated with tag '" + TagString(block.tag) + "' freed with tag '" + TagString(tag) + "'");
    if (IsPaged(block.type) && self.irql > APC_LEVEL)
        Report("pool-irql", "paged pool (tag '" + TagString(block.tag) + "') freed at IRQL " + std::to_string(self.irql));
    if (self.irql > DISPATCH_LEVEL) Report("pool-irql", "pool freed above DISPATCH_LEVEL");
    std::string what = "pool '" + TagString(block.tag) + "'";
    CheckNoLiveKernelObjects(p, block.size, what.c_str());
    ForgetLocksIn(p, block.size);
    ForgetRemoveLocksIn(p, block.size);
    std::memset(p, 0xDF, block.size);
    std::free(p);
}

namespace {
std::string Summarise(const std::vector<std::pair<PVOID, PoolBlock>>& blocks)
{
    std::map<ULONG, std::pair<int, SIZE_T>> byTag;
    for (auto& b : blocks) {
        byTag[b.second.tag].first++;
        byTag[b.second.tag].second += b.second.size;
    }
    std::string s;
    for (auto& [tag, cb] : byTag)
        s += (s.empty() ? "" : ", ") + std::string("'") + TagString(tag) + "': " + std::to_string(cb.first) +
             " block(s), " + std::to_string(cb.second) + " bytes";
    return s;
}
}  // namespace

Owner CurrentOwner()
{
    ThreadState& self = Self();
    Owner o;
    o.device = self.device;
    o.driver = self.device ? self.device->DriverObject : self.driver;
    o.driverEntry = self.inDriverEntry;
    return o;
}

bool DueAtDeviceDelete(const Owner& owner, PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool last)
{
    if (owner.device == device) return true;
    return last && !owner.driverEntry && owner.device == nullptr && owner.driver == driver;
}

void LeakCheckDevice(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool lastOfDriver)
{
    std::vector<std::pair<PVOID, PoolBlock>> leaked;
    {
        std::lock_guard<std::mutex> g(gPoolLock);
        for (auto& [p, b] : gPool)
            if (DueAtDeviceDelete(b.owner, device, driver, lastOfDriver)) leaked.emplace_back(p, b);
    }
    std::string where = "device " + Hex((ULONG_PTR)device) + " deleted with ";
    if (!leaked.empty()) Report("pool-leak", where + "pool outstanding: " + Summarise(leaked));
    std::string irps = OwnedIrpsAndMdls(device, driver, lastOfDriver);
    if (!irps.empty()) Report("irp-leak", where + irps);
    std::string handles = OwnedHandles(device, driver, lastOfDriver);
    if (!handles.empty()) Report("handle-leak", where + handles);
}

void LeakCheckDriver(PDRIVER_OBJECT driver)
{
    std::vector<std::pair<PVOID, PoolBlock>> leaked;
    {
        std::lock_guard<std::mutex> g(gPoolLock);
        // Another loaded driver's pool is that driver's business.
        for (auto& [p, b] : gPool)
            if (!b.owner.driver || b.owner.driver == driver) leaked.emplace_back(p, b);
    }
    if (!leaked.empty()) Report("pool-leak", "driver " + Hex((ULONG_PTR)driver) + " unloaded with pool outstanding: " + Summarise(leaked));
    if (OutstandingIrps()) Report("irp-leak", std::to_string(OutstandingIrps()) + " IRP(s) outstanding at unload");
    if (OutstandingMdls()) Report("mdl-leak", std::to_string(OutstandingMdls()) + " MDL(s) outstanding at unload");
    if (OpenRegistryHandles()) Report("handle-leak", std::to_string(OpenRegistryHandles()) + " registry handle(s) open at unload");
    CheckNoDriverTimersOrDpcs(driver);
}

void ResetPool()
{
    std::lock_guard<std::mutex> g(gPoolLock);
    for (auto& [p, b] : gPool) std::free(p);
    gPool.clear();
}

void ResetFaults()
{
    std::lock_guard<std::mutex> g(gPoolLock);
    gPoolFault = {};
    gIrpFault = 0;
    gApiFaults.clear();
    gApiCalls.clear();
}

}  // namespace detail

using namespace detail;

void FailPoolAllocation(int nth, ULONG tag)
{
    std::lock_guard<std::mutex> g(gPoolLock);
    gPoolFault = {nth, tag};
}

void FailIrpAllocation(int nth)
{
    std::lock_guard<std::mutex> g(gPoolLock);
    gIrpFault = nth;
}

void FailApi(Api api, NTSTATUS status, int nth)
{
    std::lock_guard<std::mutex> g(gPoolLock);
    gApiFaults[api] = {nth, status};
}

void ClearFaults()
{
    std::lock_guard<std::mutex> g(gPoolLock);
    gPoolFault = {};
    gIrpFault = 0;
    gApiFaults.clear();
}

int ApiCalls(Api api)
{
    std::lock_guard<std::mutex> g(gPoolLock);
    return gApiCalls[api];
}

std::vector<PoolBlockInfo> OutstandingPool()
{
    std::lock_guard<std::mutex> g(gPoolLock);
    std::vector<PoolBlockInfo> out;
    for (auto& [p, b] : gPool) out.push_back({p, b.size, b.tag, b.type});
    return out;
}

size_t OutstandingPoolBytes(ULONG tag)
{
    std::lock_guard<std::mutex> g(gPoolLock);
    size_t n = 0;
    for (auto& [p, b] : gPool)
        if (b.tag == tag) n += b.size;
    return n;
}

std::string TagText(ULONG tag) { return TagString(tag); }

FaultsSuspended::FaultsSuspended() { detail::tFaultsSuspended++; }
FaultsSuspended::~FaultsSuspended() { detail::tFaultsSuspended--; }

bool IsPageableCode(const void* function)
{
    bool pageable;
    if (detail::InImagePage(function, &pageable)) return pageable;
    return detail::NeedsPagedCodeMarker(function);
}

namespace detail {
bool NeedsPagedCodeMarker(const void* routine)
{
    if (!__start_hk_page || !__stop_hk_page) return false;
    return (const char*)routine >= __start_hk_page && (const char*)routine < __stop_hk_page;
}

void CheckPageableCaller(const void* caller, KIRQL irqlThere, const char* routine)
{
    bool pageable;
    if (irqlThere <= APC_LEVEL || !InImagePage(caller, &pageable) || !pageable) return;
    Report("paged-code-irql", std::string("pageable code of the driver image at ") + Hex((ULONG_PTR)caller) + " runs at IRQL " +
                                  std::to_string(irqlThere) + " around " + routine);
}

void CheckImagePagedEntry(const void* routine, const char* what)
{
    bool pageable;
    if (!InImagePage(routine, &pageable) || !pageable || Self().irql <= APC_LEVEL) return;
    Report("paged-code-irql", std::string("pageable ") + what + " " + Hex((ULONG_PTR)routine) + " of the driver image entered at IRQL " +
                                  std::to_string(Self().irql));
}
}  // namespace detail

}  // namespace hk

using namespace hk;
using namespace hk::detail;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return PoolAllocate(PoolType, NumberOfBytes, Tag, false);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return PoolAllocate(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */, false);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { PoolFree(P, Tag, true); }

VOID ExFreePool(PVOID P) { PoolFree(P, 0, false); }

VOID HkPagedCodeCheck(const char* Function)
{
    ThreadState& self = Self();
    if (self.irql > APC_LEVEL)
        Report("paged-code-irql", std::string("pageable routine ") + Function + " runs at IRQL " + std::to_string(self.irql));
    if (!self.pagedFrames.empty()) self.pagedFrames.back() = true;
}
