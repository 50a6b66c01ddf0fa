// Internal records of the emulation shared by its source files. Not for drivers.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "hostkernel/host.h"
#include "hostkernel/kernel.h"

// Memory the emulation keeps out of use after a driver released it (freed IRPs,
// deleted devices) is poisoned, so that AddressSanitizer catches stale pointers.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define HK_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define HK_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define HK_POISON(p, n) ((void)(p), (void)(n))
#define HK_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace hk::detail {

// ---- Verifier -----------------------------------------------------------------------------
void Report(const char* rule, const std::string& detail);
std::string Hex(ULONG_PTR value);
std::string Narrow(const WCHAR* text, size_t chars);
std::string Narrow(const UNICODE_STRING* s);
std::u16string Wide(const UNICODE_STRING* s);
std::u16string Fold(std::u16string s);  // upper-case ASCII, for case-insensitive names

// ---- Threads and scheduling ---------------------------------------------------------------
struct KThreadRec {
    std::condition_variable cv;
    std::string name;
    // Wait state, under the dispatcher lock.
    PVOID waitObject = nullptr;
    LONGLONG deadline = -1;  // absolute time at which the wait times out, -1 for none
    bool blocked = false;
    bool satisfied = false;
    bool timedOut = false;
    bool hang = false;
    bool emulated = false;  // created through hk::Thread
};

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    std::vector<PKSPIN_LOCK> held;
    KThreadRec* rec = nullptr;
    PDEVICE_OBJECT device = nullptr;  // the device whose code runs, for attributing allocations
    PDRIVER_OBJECT driver = nullptr;  // the driver whose entry, AddDevice or unload runs
    bool inDriverEntry = false;
    int drainingDpcs = 0;
    PDRIVER_OBJECT dpcDriver = nullptr;  // whose DPC runs now, for attributing timers and DPCs it queues
    std::vector<bool> pagedFrames;  // one per pageable entry point on the stack: PAGED_CODE seen
    int callDepth = 0;              // IofCallDriver calls running on this thread, nested
    int criticalRegions = 0;        // KeEnterCriticalRegion not yet left (normal kernel APCs off)
};
ThreadState& Self();
KThreadRec* CurrentRec();  // registers the calling thread on first use

// The dispatcher lock guards the scheduler, dispatcher objects, timers, DPCs and the clock.
std::mutex& DispatcherLock();
LONGLONG NowLocked();
// Blocks the calling thread until its wait record is satisfied, times out or is
// declared hung. Called with the dispatcher lock held (through the unique_lock).
void BlockCurrent(std::unique_lock<std::mutex>& lk, KThreadRec* self);
void MakeReady(KThreadRec* rec);
void DrainDpcsIfDue();  // runs queued DPCs when the caller's IRQL is below DISPATCH_LEVEL
// A thread of the system's own (a worker thread for work items): an emulated thread
// that runs `body` at PASSIVE_LEVEL. JoinSystemThreads waits for every one of them.
void StartSystemThread(std::string name, std::function<void()> body);
void JoinSystemThreads();

// Objects freed by the driver may still be linked in kernel lists: these checks
// report timers armed or DPCs queued inside [base, base + size).
bool CheckNoLiveKernelObjects(const void* base, size_t size, const char* what);
void ForgetLocksIn(const void* base, size_t size);
// At unload: reports (and unlinks) every timer still armed and DPC still queued that
// the driver set or queued, naming the routine that would run in unloaded code.
void CheckNoDriverTimersOrDpcs(PDRIVER_OBJECT driver);
// Waits for DPC routines of the driver that other threads run now, reporting them.
void CheckNoDriverDpcRunning(PDRIVER_OBJECT driver);
void ForgetRemoveLocksIn(const void* base, size_t size);

// ---- Calls into driver code ------------------------------------------------------------
// Every routine a driver hands the kernel (dispatch, completion, cancel, DPC, work
// item, entry, AddDevice, unload, WMI callbacks) is NTAPI: on i386 it pops its own
// arguments. One built without NTAPI returns with the stack off by its arguments,
// which the caller's frame may silently absorb; on i386 each such call goes through a
// trampoline that measures the stack and reports the routine.
#if defined(__i386__)
ULONG_PTR CallStdcall(const void* routine, const ULONG_PTR* args, int count, LONG* imbalance);
#endif
void ReportUnbalancedCall(const void* routine, const char* what, LONG imbalance);

template <typename R, typename... A, typename... B>
R CallDriver(const char* what, R(NTAPI* routine)(A...), B... args)
{
    static_assert(sizeof...(A) == sizeof...(B), "every argument of the routine");
#if defined(__i386__)
    static_assert(((sizeof(A) <= sizeof(ULONG_PTR)) && ...), "driver callbacks take 32-bit arguments");
    ULONG_PTR slots[sizeof...(A) + 1] = {(ULONG_PTR)(A)args...};
    LONG imbalance = 0;
    ULONG_PTR result = CallStdcall((const void*)routine, slots, (int)sizeof...(A), &imbalance);
    if (imbalance) ReportUnbalancedCall((const void*)routine, what, imbalance);
    if constexpr (!std::is_void_v<R>) return (R)result;
    else (void)result;
#else
    (void)what;
    return routine((A)args...);
#endif
}

// ---- Object tables ----------------------------------------------------------------------
std::mutex& TableLock();

struct DeviceNode;  // PnP data of a physical device object

struct DeviceRec {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT attachedTo = nullptr;  // the device this one is attached above
    size_t extensionSize = 0;
    bool exclusive = false;
    int openHandles = 0;
    bool wmiRegistered = false;
    bool deleted = false;
    std::u16string name;
    std::shared_ptr<DeviceNode> node;  // set for physical device objects
};
DeviceRec* FindDevice(const void* device);  // live devices only; TableLock held by the caller
bool IsLiveDevice(PDEVICE_OBJECT device);
PDEVICE_OBJECT DeviceContaining(const void* address);

struct DeviceNode {
    std::u16string instanceId;                 // e.g. USB\VID_1234&PID_5678\0001
    std::u16string deviceKeyPath;              // registry path of the device key
    PDEVICE_OBJECT pdo = nullptr;
};

// Who an allocation (pool, IRP, MDL, registry handle) belongs to, for leak checks.
struct Owner {
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    bool driverEntry = false;  // driver-wide, released only at unload
};
Owner CurrentOwner();
// Whether something with this owner must be gone when `device` is deleted (`last`:
// it was its driver's last device).
bool DueAtDeviceDelete(const Owner& owner, PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool last);
// Reports IRPs, MDLs and registry handles still held for a deleted device.
std::string OwnedIrpsAndMdls(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool last);
std::string OwnedHandles(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool last);

// Whether an address lies in the PAGE or INIT section of a loaded driver image, and
// which (`pageable`: PAGE).
bool InImagePage(const void* address, bool* pageable);
// Pageable code of the host build must start with PAGED_CODE(), which checks the
// IRQL; a release image has no PAGED_CODE(), so the routines the system calls in its
// PAGE section are checked at entry instead.
bool NeedsPagedCodeMarker(const void* routine);
void CheckImagePagedEntry(const void* routine, const char* what);
// The release image's pageable code that holds a spin lock or raises the IRQL runs
// on at DISPATCH_LEVEL and would fault when paged out: the routines that raise and
// lower check where they were called from.
void CheckPageableCaller(const void* caller, KIRQL irqlThere, const char* routine);

// A device is deleted: reports and drops work items still queued for it.
void CheckNoQueuedWorkItems(PDEVICE_OBJECT device);

// ---- Pool ---------------------------------------------------------------------------------
// Each allocation a driver asks for passes one of the Consume*Fault routines, which
// count it in the one sequence of allocations (hk::FailAllocation) and say whether it
// fails. `caller` and `routine` name the place for the record; by default the kernel
// routine that calls them and that routine's caller, which is right for every routine
// that allocates on its caller's behalf (IoCreateDevice, IoAllocateWorkItem, ...).
PVOID PoolAllocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool system, const void* caller = __builtin_return_address(0),
                   const char* routine = __builtin_FUNCTION());
void PoolFree(PVOID p, ULONG tag, bool checkTag);
bool ConsumePoolFault(ULONG tag, const void* caller = __builtin_return_address(0), const char* routine = __builtin_FUNCTION(),
                      SIZE_T size = 0);
using hk::FaultsSuspended;
bool ConsumeIrpFault(const void* caller = __builtin_return_address(0), const char* routine = __builtin_FUNCTION(),
                     SIZE_T stackSize = 0);
bool ConsumeMdlFault(const void* caller, const char* routine, SIZE_T length);
// The symbol of a mapped driver image that covers a code address: its name as the image
// has it and the offset into it; false outside every mapped image.
bool ImageSymbolAt(const void* address, std::string* name, ULONG_PTR* offset);
bool ConsumeApiFault(Api api, NTSTATUS* status);
void LeakCheckDevice(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool lastOfDriver);
void LeakCheckDriver(PDRIVER_OBJECT driver);

// ---- IRPs ---------------------------------------------------------------------------------
enum class IrpKind { Allocated, Threaded, AsyncFsd, Host };
using HostCompletion = std::function<void(PIRP)>;
// Allocates an IRP for the host front ends; `done` runs when its completion reaches the
// I/O manager, and must free it with FreeHostIrp.
PIRP AllocateHostIrp(CCHAR stackSize, HostCompletion done);
void FreeHostIrp(PIRP irp);
// The priority boost given to the IoCompleteRequest whose walk reached the I/O manager.
CCHAR CompletionBoost(PIRP irp);
void ResetIrps();
void ResetMdls();

// ---- Registry -----------------------------------------------------------------------------
void ResetRegistry();
void ResetNames();
void ResetPool();
void ResetDevices();
void ResetRemoveLocks();
void ResetLockGraph();
void ResetFaults();
// The kernel's counters (hk::Counters), bumped where the work happens; Reset clears them.
enum class Tally { Pool, DriverIrp, RequestIrp, Mdl, Dpc, TimerDpc, Count };
void Bump(Tally which);
void ResetCounters();
void ResetScheduler(ClockMode mode);
void StopScheduler();
void ResetWorkItems();    // drops queued work items that have not started
void ResetFileObjects();  // reports and drops file objects whose requests never completed
// Reports file objects cleaned up with requests still outstanding: on the device
// stack of `pdo`, or anywhere when it is null. `forget`: drop them (the kernel is
// being reset and their requests will never complete).
void CheckRequestsLeftAfterCleanup(PDEVICE_OBJECT pdo, const char* when, bool forget);

// ---- Registry, names and devices as the front ends see them -----------------------------
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

// Runs a routine that the system calls at PASSIVE_LEVEL, checking its IRQL and, for
// pageable routines, that it starts with PAGED_CODE().
template <typename F>
auto CallPassive(PDRIVER_OBJECT driver, const void* routine, const char* what, F&& call)
{
    ThreadState& self = Self();
    CurrentRec();
    PDRIVER_OBJECT savedDriver = self.driver;
    self.driver = driver;
    bool pageable = NeedsPagedCodeMarker(routine);
    CheckImagePagedEntry(routine, what);
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

}  // namespace hk::detail
