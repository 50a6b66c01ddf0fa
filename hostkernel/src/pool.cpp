// Executive pool with per-tag accounting, fault injection and the checks Driver
// Verifier makes on pool: IRQL, double free, tag mismatch, kernel objects still
// live inside freed memory, and leaks reported by tag.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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

// The one sequence of allocations, under gPoolLock.
struct Sequence {
    unsigned long count = 0;   // allocations counted since Reset
    unsigned long failAt = 0;  // the number that fails, 0 for none
    bool everyLater = false;   // and every number after it
    bool record = false;
    std::vector<Allocation> log;
};
Sequence gSequence;

// gPoolLock held. Counts an allocation; it fails when the sequence says so or when
// `failAnyway` (a per-kind fault) does.
bool NextInSequenceLocked(AllocationKind kind, ULONG tag, SIZE_T size, const void* caller, const char* routine,
                          bool failAnyway)
{
    Sequence& q = gSequence;
    unsigned long n = ++q.count;
    bool fail = failAnyway || (q.failAt && (n == q.failAt || (q.everyLater && n > q.failAt)));
    if (q.record) {
        Allocation a;
        a.number = n;
        a.kind = kind;
        a.tag = tag;
        a.size = size;
        a.caller = caller;
        a.routine = routine ? routine : "";
        a.failed = fail;
        q.log.push_back(a);
    }
    return fail;
}

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

bool ConsumePoolFault(ULONG tag, const void* caller, const char* routine, SIZE_T size)
{
    if (tFaultsSuspended) return false;
    std::lock_guard<std::mutex> g(gPoolLock);
    bool perKind = false;
    if (gPoolFault.remaining > 0 && (!gPoolFault.tag || gPoolFault.tag == tag)) perKind = --gPoolFault.remaining == 0;
    return NextInSequenceLocked(AllocationKind::Pool, tag, size, caller, routine, perKind);
}

bool ConsumeIrpFault(const void* caller, const char* routine, SIZE_T stackSize)
{
    if (tFaultsSuspended) return false;
    std::lock_guard<std::mutex> g(gPoolLock);
    bool perKind = gIrpFault > 0 && --gIrpFault == 0;
    return NextInSequenceLocked(AllocationKind::Irp, 0, stackSize, caller, routine, perKind);
}

bool ConsumeMdlFault(const void* caller, const char* routine, SIZE_T length)
{
    if (tFaultsSuspended) return false;
    std::lock_guard<std::mutex> g(gPoolLock);
    return NextInSequenceLocked(AllocationKind::Mdl, 0, length, caller, routine, false);
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

PVOID PoolAllocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool system, const void* caller, const char* routine)
{
    ThreadState& self = Self();
    if (IsPaged(type) && self.irql > APC_LEVEL)
        Report("paged-pool-irql", "paged pool (tag '" + TagString(tag) + "') allocated at IRQL " + std::to_string(self.irql));
    if (!IsPaged(type) && self.irql > DISPATCH_LEVEL)
        Report("pool-irql", "nonpaged pool allocated above DISPATCH_LEVEL");
    if (ConsumePoolFault(tag, caller, routine, size)) return nullptr;
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
    gSequence = {};
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
    gSequence.failAt = 0;
    gSequence.everyLater = false;
}

void FailAllocation(unsigned long nth, bool everyLater)
{
    std::lock_guard<std::mutex> g(gPoolLock);
    gSequence.failAt = nth ? gSequence.count + nth : 0;
    gSequence.everyLater = nth && everyLater;
}

unsigned long AllocationCount()
{
    std::lock_guard<std::mutex> g(gPoolLock);
    return gSequence.count;
}

void RecordAllocations(bool on)
{
    std::lock_guard<std::mutex> g(gPoolLock);
    gSequence.record = on;
}

std::vector<Allocation> RecordedAllocations()
{
    std::lock_guard<std::mutex> g(gPoolLock);
    return gSequence.log;
}

std::string Describe(const Allocation& a)
{
    std::string s;
    switch (a.kind) {
    case AllocationKind::Pool: s = "pool '" + TagString(a.tag) + "'"; break;
    case AllocationKind::Irp: s = "IRP"; break;
    case AllocationKind::Mdl: s = "MDL"; break;
    }
    if (*a.routine) s += std::string(" (") + a.routine + ")";
    return s + " at " + CodeName(a.caller);
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

namespace detail {
namespace {

// The function symbols of one module, by start address.
struct FunctionSymbol {
    ULONG_PTR start;
    ULONG_PTR size;
    std::string name;
};
struct ModuleSymbols {
    bool read = false;
    bool positionIndependent = false;  // values relative to the load base (ET_DYN)
    std::vector<FunctionSymbol> functions;
};

// The function symbols of an ELF file of this process's class: its .symtab when it has
// one (an executable that is not stripped), else its .dynsym.
bool ReadElfFunctions(const char* path, ModuleSymbols* out)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || (size_t)st.st_size < sizeof(ElfW(Ehdr))) {
        close(fd);
        return false;
    }
    size_t size = (size_t)st.st_size;
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return false;
    const auto* file = (const unsigned char*)map;
    const auto* eh = (const ElfW(Ehdr)*)file;
    bool ok = std::memcmp(eh->e_ident, ELFMAG, SELFMAG) == 0 &&
              eh->e_ident[EI_CLASS] == (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) && eh->e_shoff &&
              eh->e_shentsize == sizeof(ElfW(Shdr)) && eh->e_shoff + (size_t)eh->e_shnum * sizeof(ElfW(Shdr)) <= size;
    if (ok) {
        const auto* sections = (const ElfW(Shdr)*)(file + eh->e_shoff);
        const ElfW(Shdr)* table = nullptr;
        for (ULONG wanted : {(ULONG)SHT_SYMTAB, (ULONG)SHT_DYNSYM})
            for (unsigned i = 0; i < eh->e_shnum && !table; ++i)
                if (sections[i].sh_type == wanted) table = &sections[i];
        if (table && table->sh_link < eh->e_shnum && table->sh_offset + table->sh_size <= size &&
            sections[table->sh_link].sh_offset + sections[table->sh_link].sh_size <= size) {
            const ElfW(Shdr)& strings = sections[table->sh_link];
            const auto* symbols = (const ElfW(Sym)*)(file + table->sh_offset);
            size_t count = table->sh_size / sizeof(ElfW(Sym));
            for (size_t i = 0; i < count; ++i) {
                const ElfW(Sym)& y = symbols[i];
                if ((y.st_info & 0xF) != STT_FUNC || y.st_shndx == SHN_UNDEF || !y.st_value || y.st_name >= strings.sh_size)
                    continue;
                const char* name = (const char*)file + strings.sh_offset + y.st_name;
                out->functions.push_back({(ULONG_PTR)y.st_value, (ULONG_PTR)y.st_size,
                                          std::string(name, strnlen(name, strings.sh_size - y.st_name))});
            }
            std::sort(out->functions.begin(), out->functions.end(),
                      [](const FunctionSymbol& a, const FunctionSymbol& b) { return a.start < b.start; });
            out->positionIndependent = eh->e_type == ET_DYN;
            out->read = true;
        }
    }
    munmap(map, size);
    return out->read;
}

std::mutex gSymbolsLock;
std::map<std::string, ModuleSymbols> gSymbols;  // by the path dladdr names

// gSymbolsLock held. The symbols of the module at `path`, read once; the executable
// itself is also found through /proc/self/exe when its own path does not open.
const ModuleSymbols& SymbolsOfLocked(const std::string& path)
{
    auto it = gSymbols.find(path);
    if (it != gSymbols.end()) return it->second;
    ModuleSymbols& m = gSymbols[path];
    if (!ReadElfFunctions(path.c_str(), &m)) ReadElfFunctions("/proc/self/exe", &m);
    return m;
}

// A symbol as people read it: stdcall and fastcall decorations and the underscore an
// i386 PE image puts in front dropped, C++ names demangled, without their parameters.
std::string Readable(std::string name, bool peImage)
{
    if (peImage) {
        size_t at = name.find('@', 1);
        if (at != std::string::npos && name.find_first_not_of("0123456789", at + 1) == std::string::npos) name.erase(at);
        if (!name.empty() && (name[0] == '_' || name[0] == '@')) name.erase(0, 1);
    }
    if (name.compare(0, 2, "_Z") == 0) {
        int status = 0;
        char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
        if (status == 0 && text) {
            name = text;
            const std::string anonymous = "(anonymous namespace)::";
            for (size_t at; (at = name.find(anonymous)) != std::string::npos;) name.erase(at, anonymous.size());
            size_t parameters = name.find('(');
            if (parameters != std::string::npos && parameters > 0) name.erase(parameters);
        }
        std::free(text);
    }
    return name;
}

}  // namespace
}  // namespace detail

std::string CodeName(const void* address)
{
    if (!address) return "an unrecorded place";
    std::string name;
    ULONG_PTR offset = 0;
    if (ImageSymbolAt(address, &name, &offset)) return Readable(name, true) + "+" + Hex(offset);
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname) return Hex((ULONG_PTR)address);
    {
        std::lock_guard<std::mutex> g(gSymbolsLock);
        const ModuleSymbols& m = SymbolsOfLocked(info.dli_fname);
        ULONG_PTR at = (ULONG_PTR)address - (m.positionIndependent ? (ULONG_PTR)info.dli_fbase : 0);
        auto it = std::upper_bound(m.functions.begin(), m.functions.end(), at,
                                   [](ULONG_PTR a, const FunctionSymbol& f) { return a < f.start; });
        if (it != m.functions.begin()) {
            --it;
            if (at < it->start + std::max<ULONG_PTR>(it->size, 1)) return Readable(it->name, false) + "+" + Hex(at - it->start);
        }
    }
    if (info.dli_sname && info.dli_saddr)
        return Readable(info.dli_sname, false) + "+" + Hex((ULONG_PTR)address - (ULONG_PTR)info.dli_saddr);
    std::string module = info.dli_fname;
    if (size_t slash = module.rfind('/'); slash != std::string::npos) module.erase(0, slash + 1);
    return module + "+" + Hex((ULONG_PTR)address - (ULONG_PTR)info.dli_fbase);
}

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
