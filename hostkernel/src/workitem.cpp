// Work items: a driver's routine run later at PASSIVE_LEVEL on a system worker
// thread. Each queued item gets a worker thread of its own, an emulated thread that
// on the virtual clock runs when the thread that queued it next waits. The item is
// taken off the queue before its routine runs, so the routine may queue it again or
// free it, as on Windows; the device object may not be deleted while an item for it
// is still queued.
#include <algorithm>

#include "internal.h"

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
};

namespace hk::detail {
namespace {

constexpr ULONG kWorkItemTag = 0x6b576f49;  // "IoWk"

struct Queued {
    PIO_WORKITEM item;
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    bool dropped = false;  // the device went, or the kernel was reset: never run it
};

std::mutex gLock;
std::vector<std::shared_ptr<Queued>> gQueued;

bool IsQueuedLocked(PIO_WORKITEM item)
{
    return std::any_of(gQueued.begin(), gQueued.end(), [&](const auto& q) { return q->item == item; });
}

// On the worker thread: takes the item off the queue and runs its routine.
void RunWorkItem(const std::shared_ptr<Queued>& q)
{
    {
        std::lock_guard<std::mutex> g(gLock);
        auto it = std::find(gQueued.begin(), gQueued.end(), q);
        if (it == gQueued.end() || q->dropped) return;
        gQueued.erase(it);
    }
    ThreadState& self = Self();
    self.device = q->device;
    bool pageable = NeedsPagedCodeMarker((const void*)q->routine);
    if (pageable) self.pagedFrames.push_back(false);
    CallDriver("work item routine", q->routine, q->device, q->context);
    if (pageable && !self.pagedFrames.back())
        Report("paged-code-missing", "pageable work item routine " + Hex((ULONG_PTR)q->routine) + " did not start with PAGED_CODE()");
    if (self.irql != PASSIVE_LEVEL || !self.held.empty())
        Report("work-item-irql", "work item routine " + Hex((ULONG_PTR)q->routine) +
                                     " returned above PASSIVE_LEVEL or holding a spin lock");
    self.pagedFrames.clear();
    self.device = nullptr;
}

}  // namespace

void CheckNoQueuedWorkItems(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> g(gLock);
    for (auto it = gQueued.begin(); it != gQueued.end();) {
        if ((*it)->device != device) {
            ++it;
            continue;
        }
        Report("delete-with-work-item", "device " + Hex((ULONG_PTR)device) + " deleted while work item " +
                                            Hex((ULONG_PTR)(*it)->item) + " (routine " + Hex((ULONG_PTR)(*it)->routine) +
                                            ") is still queued for it");
        (*it)->dropped = true;
        it = gQueued.erase(it);
    }
}

void ResetWorkItems()
{
    {
        std::lock_guard<std::mutex> g(gLock);
        for (auto& q : gQueued) q->dropped = true;
        gQueued.clear();
    }
    JoinSystemThreads();
}

}  // namespace hk::detail

using namespace hk;
using namespace hk::detail;

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    if (Self().irql > DISPATCH_LEVEL) Report("irql", "IoAllocateWorkItem above DISPATCH_LEVEL");
    auto* item = (PIO_WORKITEM)PoolAllocate(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag, false);
    if (item) item->device = DeviceObject;
    return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    {
        std::lock_guard<std::mutex> g(gLock);
        if (IsQueuedLocked(IoWorkItem)) {
            Report("work-item-freed-queued", "work item " + Hex((ULONG_PTR)IoWorkItem) + " freed while still queued");
            for (auto it = gQueued.begin(); it != gQueued.end();)
                if ((*it)->item == IoWorkItem) {
                    (*it)->dropped = true;
                    it = gQueued.erase(it);
                } else {
                    ++it;
                }
        }
    }
    PoolFree(IoWorkItem, kWorkItemTag, true);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE, PVOID Context)
{
    if (Self().irql > DISPATCH_LEVEL) Report("irql", "IoQueueWorkItem above DISPATCH_LEVEL");
    auto q = std::make_shared<Queued>();
    q->item = IoWorkItem;
    q->device = IoWorkItem->device;
    q->routine = WorkerRoutine;
    q->context = Context;
    {
        std::lock_guard<std::mutex> g(gLock);
        if (IsQueuedLocked(IoWorkItem)) {
            // Windows links the item into the queue a second time and corrupts it.
            Report("work-item-requeued", "work item " + Hex((ULONG_PTR)IoWorkItem) + " queued again before its routine ran");
            return;
        }
        gQueued.push_back(q);
    }
    StartSystemThread("system worker", [q] { RunWorkItem(q); });
}
