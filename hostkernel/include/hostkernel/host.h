// The host side of the emulation: what tests and tools use to drive the kernel
// (clock, verifier, fault injection, threads) as opposed to what the driver calls.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel.h"

namespace hk {

enum class ClockMode {
    Virtual,  // time moves only when a test advances it or every thread is waiting
    Real,     // a DPC thread, real waits and real time, for stress tests and tools
};

// Throws away every kernel object, registry key, name and record and starts a fresh
// kernel. Pending violations are kept until taken.
void Reset(ClockMode mode = ClockMode::Virtual);
// Stops the real-time DPC thread (if any) and checks that no emulated thread is left.
void Shutdown();
ClockMode Mode();

// ---- Clock ----------------------------------------------------------------------------
// Time in 100 ns units since the emulation's epoch.
LONGLONG Now();
// Virtual clock: moves time forward, expiring timers and running their DPCs on the
// way, in due-time order. Real clock: sleeps. A negative step is a violation
// ("clock-backwards") and leaves the clock where it is.
void AdvanceTime(LONGLONG hundredNs);
inline void AdvanceMs(LONGLONG ms) { AdvanceTime(ms * 10000); }
// Runs queued DPCs (virtual clock, or any clock while they are deferred) without
// moving time.
void RunDpcs();
// While on, DPCs that are queued (directly or by expiring timers) wait and run only
// at RunDpcs() or when deferral ends: a test can make a timer's DPC run after the
// completion it races. Reset turns it off.
void DeferDpcs(bool on);
// Lets time run (virtual clock) until the condition holds or the limit passes;
// returns whether it holds.
bool RunUntil(const std::function<bool()>& condition, LONGLONG limitHundredNs = 3600LL * 10000000);
// Lets every other emulated thread run until all of them wait (virtual clock).
void YieldToOthers();
// How much virtual time a wait without timeout may take while only timers fire before
// it is reported as a hang (default 10 minutes; Reset restores it).
void SetHangHorizon(LONGLONG hundredNs);
size_t ArmedTimerCount();
size_t QueuedDpcCount();

// ---- Verifier -------------------------------------------------------------------------
struct Violation {
    std::string rule;    // a short fixed name, e.g. "double-completion"
    std::string detail;  // what happened
};
// Everything the verifier has seen since the last call, oldest first.
std::vector<Violation> TakeViolations();
size_t ViolationCount();
std::string Describe(const std::vector<Violation>& violations);

// Everything drivers printed with DbgPrint since the last call.
std::string TakeDebugOutput();

// ---- Fault injection ------------------------------------------------------------------
// Fails the nth pool allocation from now on (1 = the next one); with a tag, only
// allocations with that tag are counted.
void FailPoolAllocation(int nth, ULONG tag = 0);
// Fails the nth IRP allocation from now on (IoAllocateIrp and the IoBuild routines).
void FailIrpAllocation(int nth);
// Kernel routines that can be told to fail with a given status.
enum class Api {
    IoCreateDevice,
    IoRegisterDeviceInterface,
    IoSetDeviceInterfaceState,
    IoAttachDeviceToDeviceStack,
    IoWMIRegistrationControl,
    IoCreateSymbolicLink,
    IoOpenDeviceRegistryKey,
    RtlWriteRegistryValue,
};
void FailApi(Api api, NTSTATUS status, int nth = 1);
void ClearFaults();
// While one exists on a thread, the work done there is not counted for fault injection:
// for simulated drivers and front ends that build their own kernel objects.
struct FaultsSuspended {
    FaultsSuspended();
    ~FaultsSuspended();
};
// Counts of calls made to an injectable routine since the last Reset.
int ApiCalls(Api api);

// ---- Allocations in one sequence ------------------------------------------------------
// Every allocation a driver's code asks for, whatever its kind, counted in the order it
// happens: pool (ExAllocatePool(WithTag), and what the kernel takes from pool for its
// caller: device objects, work items, returned strings), IRPs (IoAllocateIrp and the
// IoBuild routines) and MDLs (IoAllocateMdl, and the one an IoBuild routine makes for a
// DO_DIRECT_IO target; when that one cannot be had, the routine frees its IRP and
// returns NULL, as Windows does). The system buffer of an IoBuild routine is not
// counted apart: its failure reaches the caller exactly as the IRP's does. Not counted:
// the front ends' own IRPs and MDLs, and whatever runs while FaultsSuspended.
enum class AllocationKind { Pool, Irp, Mdl };
struct Allocation {
    unsigned long number = 0;  // its place in the sequence since Reset, 1 = the first
    AllocationKind kind = AllocationKind::Pool;
    ULONG tag = 0;    // pool tag; 0 for IRPs and MDLs
    SIZE_T size = 0;  // pool: bytes; IRPs: stack locations; MDLs: bytes described
    // The call that asked: for a routine that allocates on its caller's behalf
    // (IoCreateDevice, IoAllocateWorkItem, the IoBuild routines), the call of that routine.
    const void* caller = nullptr;
    const char* routine = "";  // the kernel routine that was called
    bool failed = false;       // made to fail (by FailAllocation or a per-kind fault)
};
// Fails the nth allocation counted from now on (1 = the next one); with everyLater,
// that one and every one after it. 0 disarms; so do ClearFaults and Reset. The
// per-kind faults above apply as well, each counting its own kind.
void FailAllocation(unsigned long nth, bool everyLater = false);
// Allocations counted since Reset.
unsigned long AllocationCount();
// While on, every counted allocation is kept for RecordedAllocations (Reset turns it off
// and forgets them).
void RecordAllocations(bool on);
std::vector<Allocation> RecordedAllocations();
// The place of an allocation for reports: kind, tag, the routine called and its caller,
// e.g. "pool 'circ' (ExAllocatePoolWithTag) at RingAllocate+0x3e".
std::string Describe(const Allocation& allocation);
// Names a code address: the function that contains it and the offset into it
// ("RingAllocate+0x3e"), from the symbols of a mapped driver image or the symbol tables
// of the executable and its shared objects; the module and offset, or the bare address,
// when no function symbol covers it.
std::string CodeName(const void* address);

// ---- Pool accounting ------------------------------------------------------------------
struct PoolBlockInfo {
    PVOID address;
    SIZE_T size;
    ULONG tag;
    POOL_TYPE type;
};
std::vector<PoolBlockInfo> OutstandingPool();
size_t OutstandingPoolBytes(ULONG tag);
std::string TagText(ULONG tag);
size_t OutstandingIrps();
size_t OutstandingMdls();
size_t OpenRegistryHandles();

// ---- Counters -------------------------------------------------------------------------
// What the kernel has done since the last Reset, for benchmarks and tests that count
// the cost of a path rather than its outcome.
struct Counters {
    unsigned long long poolAllocations = 0;  // ExAllocatePool(WithTag) that returned a block
    unsigned long long driverIrps = 0;       // IoAllocateIrp and the IoBuild routines: IRPs drivers made
    unsigned long long requestIrps = 0;      // IRPs the front ends made (applications, PnP, power, WMI)
    unsigned long long mdls = 0;             // IoAllocateMdl, whoever called it
    unsigned long long dpcs = 0;             // DPC routines run, those of timers included
    unsigned long long timerDpcs = 0;        // DPCs queued by expiring timers
};
Counters ReadCounters();

// ---- Threads --------------------------------------------------------------------------
// A thread that runs inside the emulation (a caller's thread in Windows terms). On
// the virtual clock only one emulated thread runs at a time and control passes at
// waits, so runs are repeatable.
class Thread {
public:
    explicit Thread(std::function<void()> body, std::string name = "worker");
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Waits (through the kernel's own wait, so time runs) until the body returned.
    void Join();
    bool Finished() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Whether a device object exists and has not been deleted.
bool IsLiveDevice(PDEVICE_OBJECT device);

// ---- Code placement -------------------------------------------------------------------
bool IsPageableCode(const void* function);

}  // namespace hk
