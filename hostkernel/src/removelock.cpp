// Remove locks, with the checked-build bookkeeping: every release must name a tag
// that was acquired and not yet released. The lock a driver allocates has the
// release layout (the common block only), so the bookkeeping lives here, by lock.
#include "internal.h"

namespace hk::detail {
namespace {
std::mutex gRemoveLock;
struct LockRecord {
    std::multiset<const void*> tags;  // outstanding acquisitions
    ULONG highWatermark = 0;          // 0: no limit
};
std::map<const void*, LockRecord> gTags;  // by lock
}  // namespace

void ForgetRemoveLocksIn(const void* base, size_t size)
{
    std::lock_guard<std::mutex> g(gRemoveLock);
    for (auto it = gTags.begin(); it != gTags.end();)
        it = ((const char*)it->first >= (const char*)base && (const char*)it->first < (const char*)base + size) ? gTags.erase(it)
                                                                                                            : std::next(it);
}

void ResetRemoveLocks()
{
    std::lock_guard<std::mutex> g(gRemoveLock);
    gTags.clear();
}

static void ReleaseTag(PIO_REMOVE_LOCK lock, PVOID tag)
{
    std::lock_guard<std::mutex> g(gRemoveLock);
    auto& tags = gTags[lock].tags;
    auto it = tags.find(tag);
    if (it == tags.end()) {
        Report("remove-lock-tag", "remove lock " + Hex((ULONG_PTR)lock) + " released with tag " + Hex((ULONG_PTR)tag) +
                                      ", which holds no acquisition");
        return;
    }
    tags.erase(it);
}

}  // namespace hk::detail

using namespace hk::detail;

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG HighWatermark, ULONG)
{
    std::memset(Lock, 0, sizeof *Lock);
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;  // the bias, dropped by IoReleaseRemoveLockAndWait
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
    std::lock_guard<std::mutex> g(gRemoveLock);
    gTags[Lock] = LockRecord{{}, HighWatermark};
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR, ULONG, ULONG)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) Report("irql", "IoAcquireRemoveLock above DISPATCH_LEVEL");
    LONG count = InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (RemoveLock->Common.Removed) {
        if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, 0, FALSE);
        return STATUS_DELETE_PENDING;
    }
    std::lock_guard<std::mutex> g(gRemoveLock);
    LockRecord& record = gTags[RemoveLock];
    if (record.highWatermark && (ULONG)count > record.highWatermark + 1)
        Report("remove-lock-watermark", "remove lock " + Hex((ULONG_PTR)RemoveLock) + " held " + std::to_string(count - 1) +
                                            " times, above its high watermark");
    record.tags.insert(Tag);
    return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG)
{
    ReleaseTag(RemoveLock, Tag);
    LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (count < 0) Report("remove-lock-underflow", "remove lock " + Hex((ULONG_PTR)RemoveLock) + " released more often than acquired");
    if (count == 0) {
        if (!RemoveLock->Common.Removed) Report("remove-lock-underflow", "remove lock count reached 0 before removal");
        KeSetEvent(&RemoveLock->Common.RemoveEvent, 0, FALSE);
    }
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) Report("irql", "IoReleaseRemoveLockAndWait above PASSIVE_LEVEL");
    ReleaseTag(RemoveLock, Tag);
    RemoveLock->Common.Removed = TRUE;
    LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);  // the caller's acquisition
    if (count <= 0) Report("remove-lock-underflow", "IoReleaseRemoveLockAndWait without an acquisition to release");
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)       // the bias
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}
