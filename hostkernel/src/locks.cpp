// Spin locks, the I/O cancel spin lock and kernel device queues.
//
// Every acquisition is checked: IRQL, re-acquisition by the holder, release order,
// and the order of locks across the whole run. When lock B is taken while A is
// held, the edge A -> B is recorded; a later B -> A anywhere is a lock-order
// inversion (a deadlock waiting for two processors), reported once per pair.
#include <algorithm>

#include "internal.h"

namespace hk::detail {
namespace {

std::mutex gGraphLock;
std::map<const void*, std::set<const void*>> gAfter;  // lock -> locks taken while it was held
std::set<std::pair<const void*, const void*>> gReported;

KSPIN_LOCK gCancelLock = 0;

std::string LockName(const void* lock)
{
    if (lock == &gCancelLock) return "the cancel spin lock";
    return "spin lock " + Hex((ULONG_PTR)lock);
}

void RecordOrder(PKSPIN_LOCK lock)
{
    if (Self().held.empty()) return;  // no edge to record: the common case takes no lock
    std::lock_guard<std::mutex> g(gGraphLock);
    for (PKSPIN_LOCK held : Self().held) {
        gAfter[held].insert(lock);
        auto it = gAfter.find(lock);
        if (it != gAfter.end() && it->second.count(held)) {
            std::pair<const void*, const void*> key((const void*)std::min(held, lock), (const void*)std::max(held, lock));
            if (gReported.insert(key).second)
                Report("lock-order", LockName(lock) + " taken while holding " + LockName(held) +
                                         ", and elsewhere in the opposite order");
        }
    }
}

void AcquireRaw(PKSPIN_LOCK lock)
{
    ThreadState& self = Self();
    if (std::find(self.held.begin(), self.held.end(), lock) != self.held.end()) {
        Report("lock-reacquired", LockName(lock) + " acquired again by the thread that holds it");
        return;
    }
    RecordOrder(lock);
    ULONG_PTR me = (ULONG_PTR)CurrentRec();
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        if (Mode() == ClockMode::Virtual) {
            // Only one thread runs at a time: the holder is waiting, which it may not do
            // while holding a spin lock. Windows would spin here for ever.
            Report("lock-held-while-waiting", LockName(lock) + " is held by a thread that is not running");
            __atomic_store_n(lock, me, __ATOMIC_RELEASE);
            break;
        }
        if (spins > 64) std::this_thread::yield();
    }
    self.held.push_back(lock);
}

void ReleaseRaw(PKSPIN_LOCK lock)
{
    ThreadState& self = Self();
    auto it = std::find(self.held.begin(), self.held.end(), lock);
    if (it == self.held.end()) {
        Report("lock-not-held", LockName(lock) + " released by a thread that does not hold it");
        return;
    }
    if (it + 1 != self.held.end())
        Report("lock-release-order", LockName(lock) + " released before " + LockName(self.held.back()) +
                                         ", which was acquired after it");
    self.held.erase(it);
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace

void ForgetLocksIn(const void* base, size_t size)
{
    auto inside = [&](const void* p) { return (const char*)p >= (const char*)base && (const char*)p < (const char*)base + size; };
    std::lock_guard<std::mutex> g(gGraphLock);
    for (auto it = gAfter.begin(); it != gAfter.end();) {
        if (inside(it->first)) {
            it = gAfter.erase(it);
            continue;
        }
        for (auto j = it->second.begin(); j != it->second.end();) j = inside(*j) ? it->second.erase(j) : std::next(j);
        ++it;
    }
    for (auto it = gReported.begin(); it != gReported.end();)
        it = (inside(it->first) || inside(it->second)) ? gReported.erase(it) : std::next(it);
}

void ResetLockGraph()
{
    std::lock_guard<std::mutex> g(gGraphLock);
    gAfter.clear();
    gReported.clear();
    gCancelLock = 0;
}

}  // namespace hk::detail

using namespace hk::detail;

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    KIRQL old = Self().irql;
    if (old > DISPATCH_LEVEL) Report("irql", "KeAcquireSpinLock above DISPATCH_LEVEL");
    Self().irql = DISPATCH_LEVEL;
    AcquireRaw(SpinLock);
    CheckPageableCaller(__builtin_return_address(0), DISPATCH_LEVEL, "KeAcquireSpinLock");
    return old;
}

VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    CheckPageableCaller(__builtin_return_address(0), Self().irql, "KeReleaseSpinLock");
    ReleaseRaw(SpinLock);
    if (NewIrql > DISPATCH_LEVEL) Report("irql", "KeReleaseSpinLock to an IRQL above DISPATCH_LEVEL");
    Self().irql = NewIrql;
    DrainDpcsIfDue();
}

namespace {

void AcquireAtDpcLevel(PKSPIN_LOCK SpinLock, void* caller)
{
    CheckPageableCaller(caller, Self().irql, "KeAcquireSpinLockAtDpcLevel");
    if (Self().irql != DISPATCH_LEVEL)
        Report("irql", "KeAcquireSpinLockAtDpcLevel at IRQL " + std::to_string(Self().irql));
    AcquireRaw(SpinLock);
}

void ReleaseFromDpcLevel(PKSPIN_LOCK SpinLock, void* caller)
{
    CheckPageableCaller(caller, Self().irql, "KeReleaseSpinLockFromDpcLevel");
    if (Self().irql != DISPATCH_LEVEL)
        Report("irql", "KeReleaseSpinLockFromDpcLevel at IRQL " + std::to_string(Self().irql));
    ReleaseRaw(SpinLock);
}

}  // namespace

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) { AcquireAtDpcLevel(SpinLock, __builtin_return_address(0)); }
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { ReleaseFromDpcLevel(SpinLock, __builtin_return_address(0)); }
VOID KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) { AcquireAtDpcLevel(SpinLock, __builtin_return_address(0)); }
VOID KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { ReleaseFromDpcLevel(SpinLock, __builtin_return_address(0)); }

VOID IoAcquireCancelSpinLock(PKIRQL Irql)
{
    *Irql = KfAcquireSpinLock(&gCancelLock);
    CheckPageableCaller(__builtin_return_address(0), DISPATCH_LEVEL, "IoAcquireCancelSpinLock");
}

VOID IoReleaseCancelSpinLock(KIRQL Irql)
{
    CheckPageableCaller(__builtin_return_address(0), Self().irql, "IoReleaseCancelSpinLock");
    KfReleaseSpinLock(&gCancelLock, Irql);
}

namespace hk::detail {
bool HoldsCancelLock()
{
    auto& h = Self().held;
    return std::find(h.begin(), h.end(), &gCancelLock) != h.end();
}
}  // namespace hk::detail

// ---- Device queues ------------------------------------------------------------------------

VOID KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue)
{
    DeviceQueue->Type = 0x14;
    DeviceQueue->Size = sizeof(KDEVICE_QUEUE);
    InitializeListHead(&DeviceQueue->DeviceListHead);
    KeInitializeSpinLock(&DeviceQueue->Lock);
    DeviceQueue->Busy = FALSE;
}

static void RequireDispatch(const char* routine)
{
    if (Self().irql != DISPATCH_LEVEL) Report("irql", std::string(routine) + " requires DISPATCH_LEVEL, called at " + std::to_string(Self().irql));
}

BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry)
{
    RequireDispatch("KeInsertDeviceQueue");
    KeAcquireSpinLockAtDpcLevel(&DeviceQueue->Lock);
    BOOLEAN inserted = FALSE;
    if (!DeviceQueue->Busy) {
        DeviceQueue->Busy = TRUE;
    } else {
        InsertTailList(&DeviceQueue->DeviceListHead, &DeviceQueueEntry->DeviceListEntry);
        inserted = TRUE;
    }
    DeviceQueueEntry->Inserted = inserted;
    KeReleaseSpinLockFromDpcLevel(&DeviceQueue->Lock);
    return inserted;
}

BOOLEAN KeInsertByKeyDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry, ULONG SortKey)
{
    RequireDispatch("KeInsertByKeyDeviceQueue");
    KeAcquireSpinLockAtDpcLevel(&DeviceQueue->Lock);
    DeviceQueueEntry->SortKey = SortKey;
    BOOLEAN inserted = FALSE;
    if (!DeviceQueue->Busy) {
        DeviceQueue->Busy = TRUE;
    } else {
        PLIST_ENTRY e = DeviceQueue->DeviceListHead.Flink;
        while (e != &DeviceQueue->DeviceListHead &&
               CONTAINING_RECORD(e, KDEVICE_QUEUE_ENTRY, DeviceListEntry)->SortKey <= SortKey)
            e = e->Flink;
        InsertTailList(e, &DeviceQueueEntry->DeviceListEntry);
        inserted = TRUE;
    }
    DeviceQueueEntry->Inserted = inserted;
    KeReleaseSpinLockFromDpcLevel(&DeviceQueue->Lock);
    return inserted;
}

PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue)
{
    RequireDispatch("KeRemoveDeviceQueue");
    KeAcquireSpinLockAtDpcLevel(&DeviceQueue->Lock);
    if (!DeviceQueue->Busy) Report("device-queue", "KeRemoveDeviceQueue on a queue that is not busy");
    PKDEVICE_QUEUE_ENTRY entry = nullptr;
    if (IsListEmpty(&DeviceQueue->DeviceListHead)) {
        DeviceQueue->Busy = FALSE;
    } else {
        entry = CONTAINING_RECORD(RemoveHeadList(&DeviceQueue->DeviceListHead), KDEVICE_QUEUE_ENTRY, DeviceListEntry);
        entry->Inserted = FALSE;
    }
    KeReleaseSpinLockFromDpcLevel(&DeviceQueue->Lock);
    return entry;
}

BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry)
{
    KIRQL old = KfAcquireSpinLock(&DeviceQueue->Lock);
    BOOLEAN was = DeviceQueueEntry->Inserted;
    if (was) {
        DeviceQueueEntry->Inserted = FALSE;
        RemoveEntryList(&DeviceQueueEntry->DeviceListEntry);
    }
    KfReleaseSpinLock(&DeviceQueue->Lock, old);
    return was;
}
