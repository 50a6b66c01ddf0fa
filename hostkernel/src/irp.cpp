// IRPs: allocation and the IoBuild routines, IofCallDriver, IofCompleteRequest with
// completion routines, IoCancelIrp, MDLs, and the I/O manager's final completion.
//
// Each IRP has a shadow record beside it, so the verifier never has to trust the
// IRP's own memory: the state of the request (who owns it), and for every stack
// location whether the completion has passed it, with which status and whether it
// was marked pending. Dispatch routines are checked against that record when they
// return.
#include <algorithm>

#include "internal.h"

namespace hk::detail {
bool HoldsCancelLock();
// An MDL for `Irp` (or none), counted as an allocation of `caller` unless `counted` is false.
PMDL AllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, PIRP Irp, const void* caller,
                 const char* routine, bool counted);

namespace {

enum class IrpState { Idle, Active, Completing, Halted, Completed };

struct LevelRec {
    bool passed = false;   // the completion walked past this location
    NTSTATUS status = 0;   // IoStatus.Status when it did
    bool pending = false;  // SL_PENDING_RETURNED was set in this location then
    bool owed = false;     // its dispatch routine returned STATUS_PENDING before marking it;
                           // a completion routine may still do so before the walk passes
    std::string owedBy;
};

struct IrpShadow {
    IrpKind kind = IrpKind::Allocated;
    IrpState state = IrpState::Idle;
    HostCompletion done;
    // Index = stack location number (1-based). Each IofCallDriver keeps the record of
    // its location: a completion routine may send the request to the same location
    // again before the earlier call has returned, and each call is judged by what
    // happened to its own pass.
    std::vector<std::shared_ptr<LevelRec>> levels;
    ULONG outputLength = 0;        // buffered output the I/O manager copies back
    size_t bytes = 0;
    Owner owner;
    CCHAR boost = 0;               // the priority boost of the completion that reached the I/O manager
    std::vector<PDEVICE_OBJECT> powerVisited;  // devices a power request was dispatched to
    std::vector<PDEVICE_OBJECT> powerStarted;  // devices whose code called PoStartNextPowerIrp for it
    UCHAR powerMinor = 0;
    // The fields below, state and the levels are read and written under gIrpLock: a
    // completion routine may send the IRP down again, and another thread may then
    // complete it while the first walk is still winding up.
    unsigned sends = 0;            // IofCallDriver calls with this IRP so far
    int routineDepth = 0;          // completion routines of this IRP running now (nested walks)
    int recompletedAt = 0;         // the depth whose routine completed the IRP again, 0 for none
};

std::mutex gIrpLock;
std::unordered_map<PIRP, std::shared_ptr<IrpShadow>> gIrps;
std::deque<std::pair<PIRP, size_t>> gQuarantine;  // freed IRPs kept out of reuse for a while
std::map<PMDL, Owner> gMdls;

std::shared_ptr<IrpShadow> Find(PIRP irp)
{
    std::lock_guard<std::mutex> g(gIrpLock);
    auto it = gIrps.find(irp);
    return it == gIrps.end() ? nullptr : it->second;
}

PIO_STACK_LOCATION Location(PIRP irp, int number) { return (PIO_STACK_LOCATION)(irp + 1) + (number - 1); }

// Each IRP is followed by one spare, zeroed stack location: a driver that writes to
// the location past its last one (IoMarkIrpPending in the allocator's own completion
// routine does) writes there, and the verifier sees it instead of a corrupted heap.
PIO_STACK_LOCATION Guard(PIRP irp) { return (PIO_STACK_LOCATION)(irp + 1) + irp->StackCount; }

bool GuardTouched(PIRP irp)
{
    static const IO_STACK_LOCATION zero{};
    if (std::memcmp(Guard(irp), &zero, sizeof zero) == 0) return false;
    std::memset(Guard(irp), 0, sizeof(IO_STACK_LOCATION));
    return true;
}

PIRP NewIrp(CCHAR stackSize, IrpKind kind)
{
    USHORT size = IoSizeOfIrp(stackSize);
    auto* irp = (PIRP)std::calloc(1, size + sizeof(IO_STACK_LOCATION));
    IoInitializeIrp(irp, size, stackSize);
    auto shadow = std::make_shared<IrpShadow>();
    shadow->kind = kind;
    shadow->bytes = size + sizeof(IO_STACK_LOCATION);
    shadow->levels.resize((size_t)stackSize + 2);
    for (auto& l : shadow->levels) l = std::make_shared<LevelRec>();
    if (kind != IrpKind::Host) shadow->owner = CurrentOwner();
    Bump(kind == IrpKind::Host ? Tally::RequestIrp : Tally::DriverIrp);
    std::lock_guard<std::mutex> g(gIrpLock);
    gIrps[irp] = shadow;
    return irp;
}

void ReleaseMemory(PIRP irp, size_t bytes)
{
    std::memset(irp, 0xDF, bytes);
    HK_POISON(irp, bytes);
    std::lock_guard<std::mutex> g(gIrpLock);
    gQuarantine.emplace_back(irp, bytes);
    if (gQuarantine.size() > 256) {
        auto [old, n] = gQuarantine.front();
        gQuarantine.pop_front();
        HK_UNPOISON(old, n);
        std::free(old);
    }
}

void Forget(PIRP irp)
{
    std::shared_ptr<IrpShadow> s;
    {
        std::lock_guard<std::mutex> g(gIrpLock);
        auto it = gIrps.find(irp);
        if (it == gIrps.end()) return;
        s = it->second;
        gIrps.erase(it);
    }
    ReleaseMemory(irp, s->bytes);
}

std::string IrpName(PIRP irp) { return "IRP " + Hex((ULONG_PTR)irp); }

// The cancel routine is exchanged with interlocked operations by drivers and by
// IoCancelIrp on other processors: the verifier reads it the same way.
PDRIVER_CANCEL CancelRoutineOf(PIRP irp) { return __atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE); }

void FreeMdlChain(PIRP irp)
{
    PMDL mdl = irp->MdlAddress;
    while (mdl) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
}

// What the I/O manager does once the completion has passed the top stack location.
void IoManagerComplete(PIRP irp, const std::shared_ptr<IrpShadow>& s)
{
    switch (s->kind) {
    case IrpKind::Host:
        s->done(irp);
        return;
    case IrpKind::Threaded: {
        if (irp->Flags & IRP_BUFFERED_IO) {
            if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status) && irp->UserBuffer) {
                ULONG_PTR n = irp->IoStatus.Information;
                if (n > s->outputLength) {
                    Report("buffer-overrun", IrpName(irp) + " completed with Information " + std::to_string(n) +
                                                 " for an output buffer of " + std::to_string(s->outputLength) + " bytes");
                    n = s->outputLength;
                }
                std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, n);
            }
            if (irp->Flags & IRP_DEALLOCATE_BUFFER) std::free(irp->AssociatedIrp.SystemBuffer);
            irp->AssociatedIrp.SystemBuffer = nullptr;
        }
        FreeMdlChain(irp);
        if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
        PKEVENT event = irp->UserEvent;
        Forget(irp);
        if (event) KeSetEvent(event, 0, FALSE);
        return;
    }
    case IrpKind::Allocated:
    case IrpKind::AsyncFsd:
        Report("irp-reached-io-manager", IrpName(irp) +
                                             " was allocated by a driver, but no completion routine kept it "
                                             "(return STATUS_MORE_PROCESSING_REQUIRED and free it)");
        return;
    }
}

// Set by PoCallDriver for the IofCallDriver it makes on the same thread.
thread_local bool tInPoCallDriver = false;

// A set or query power request that a driver handled without starting the next one
// leaves the device's power requests blocked (before Windows Vista).
void CheckPowerStarted(PIRP irp, const std::shared_ptr<IrpShadow>& s)
{
    std::lock_guard<std::mutex> g(gIrpLock);
    if (s->powerVisited.empty() || (s->powerMinor != IRP_MN_SET_POWER && s->powerMinor != IRP_MN_QUERY_POWER)) return;
    for (PDEVICE_OBJECT d : s->powerVisited)
        if (std::find(s->powerStarted.begin(), s->powerStarted.end(), d) == s->powerStarted.end())
            Report("power-next-not-started", "the driver of device " + Hex((ULONG_PTR)d) + " handled power " + IrpName(irp) +
                                                 " without PoStartNextPowerIrp");
}

}  // namespace

CCHAR CompletionBoost(PIRP irp)
{
    auto s = Find(irp);
    return s ? s->boost : 0;
}

PIRP AllocateHostIrp(CCHAR stackSize, HostCompletion done)
{
    PIRP irp = NewIrp(stackSize, IrpKind::Host);
    Find(irp)->done = std::move(done);
    return irp;
}

void FreeHostIrp(PIRP irp)
{
    if (irp->MdlAddress) FreeMdlChain(irp);
    Forget(irp);
}

void ResetIrps()
{
    std::lock_guard<std::mutex> g(gIrpLock);
    for (auto& [irp, s] : gIrps) std::free(irp);
    gIrps.clear();
    for (auto& [irp, n] : gQuarantine) {
        HK_UNPOISON(irp, n);
        std::free(irp);
    }
    gQuarantine.clear();
}

void ResetMdls()
{
    std::lock_guard<std::mutex> g(gIrpLock);
    for (auto& [m, owner] : gMdls) std::free(m);
    gMdls.clear();
}

std::string OwnedIrpsAndMdls(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool last)
{
    std::lock_guard<std::mutex> g(gIrpLock);
    int irps = 0, mdls = 0;
    for (auto& [irp, s] : gIrps)
        if (s->kind != IrpKind::Host && DueAtDeviceDelete(s->owner, device, driver, last)) irps++;
    for (auto& [mdl, owner] : gMdls)
        if (DueAtDeviceDelete(owner, device, driver, last)) mdls++;
    if (!irps && !mdls) return {};
    return std::to_string(irps) + " IRP(s) and " + std::to_string(mdls) + " MDL(s) outstanding";
}

}  // namespace hk::detail

namespace hk {
size_t OutstandingIrps()
{
    std::lock_guard<std::mutex> g(detail::gIrpLock);
    return detail::gIrps.size();
}
size_t OutstandingMdls()
{
    std::lock_guard<std::mutex> g(detail::gIrpLock);
    return detail::gMdls.size();
}
}  // namespace hk

using namespace hk;
using namespace hk::detail;

// ---- Allocation ---------------------------------------------------------------------------

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    std::memset(Irp, 0, PacketSize);
    Irp->Type = 6;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(Irp + 1) + StackSize;
    if (auto s = Find(Irp)) {
        s->state = IrpState::Idle;
        for (auto& l : s->levels) l = std::make_shared<LevelRec>();
    }
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN)
{
    if (Self().irql > DISPATCH_LEVEL) Report("irql", "IoAllocateIrp above DISPATCH_LEVEL");
    if (ConsumeIrpFault(__builtin_return_address(0), "IoAllocateIrp", (SIZE_T)StackSize)) return nullptr;
    return NewIrp(StackSize, IrpKind::Allocated);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    UCHAR flags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Status;
}

VOID IoFreeIrp(PIRP Irp)
{
    auto s = Find(Irp);
    if (!s) {
        Report("irp-use-after-free", "IoFreeIrp on " + IrpName(Irp) + ", which is not an allocated IRP (freed twice?)");
        return;
    }
    // A completion routine may free the IRP it is handed, as long as it then returns
    // STATUS_MORE_PROCESSING_REQUIRED (checked when it returns).
    if (s->state == IrpState::Active)
        Report("irp-freed-in-use", IrpName(Irp) + " freed while a driver below still owns it");
    if (CancelRoutineOf(Irp)) Report("irp-freed-with-cancel-routine", IrpName(Irp) + " freed with its cancel routine set");
    Forget(Irp);
}

// `caller` and `routine`: the driver's call of the IoBuild routine, for the record of
// allocations.
static PIRP BuildFsd(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER StartingOffset, IrpKind kind, const void* caller, const char* routine)
{
    if (!DeviceObject) {
        Report("null-device", "an IoBuild routine was given no device object (Windows reads its StackSize and faults)");
        return nullptr;
    }
    if (ConsumeIrpFault(caller, routine, (SIZE_T)DeviceObject->StackSize)) return nullptr;
    PIRP irp = NewIrp(DeviceObject->StackSize, kind);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = (UCHAR)MajorFunction;
    irp->Tail.Overlay.Thread = (PVOID)CurrentRec();
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = Length;
        // x86 aligns the caller's stack to 4 bytes only: the offset may sit anywhere.
        LONGLONG offset = 0;
        if (StartingOffset) std::memcpy(&offset, (const void*)StartingOffset, sizeof offset);
        next->Parameters.Read.ByteOffset.QuadPart = offset;
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            irp->AssociatedIrp.SystemBuffer = std::malloc(Length ? Length : 1);
            if (MajorFunction == IRP_MJ_WRITE) std::memcpy(irp->AssociatedIrp.SystemBuffer, Buffer, Length);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (MajorFunction == IRP_MJ_READ ? IRP_INPUT_OPERATION : 0);
            irp->UserBuffer = Buffer;
            Find(irp)->outputLength = MajorFunction == IRP_MJ_READ ? Length : 0;
        } else if (DeviceObject->Flags & DO_DIRECT_IO) {
            // Without the MDL the routine gives the IRP back and fails as a whole.
            PMDL mdl = AllocateMdl(Buffer, Length, FALSE, irp, caller, routine, true);
            if (!mdl) {
                Forget(irp);
                return nullptr;
            }
            MmProbeAndLockPages(mdl, KernelMode, MajorFunction == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
        } else {
            irp->UserBuffer = Buffer;
        }
    }
    return irp;
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock)
{
    if (Self().irql > DISPATCH_LEVEL) Report("irql", "IoBuildAsynchronousFsdRequest above DISPATCH_LEVEL");
    PIRP irp = BuildFsd(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IrpKind::AsyncFsd,
                        __builtin_return_address(0), "IoBuildAsynchronousFsdRequest");
    if (irp) irp->UserIosb = IoStatusBlock;
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    if (Self().irql > PASSIVE_LEVEL) Report("irql", "IoBuildSynchronousFsdRequest above PASSIVE_LEVEL");
    PIRP irp = BuildFsd(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IrpKind::Threaded,
                        __builtin_return_address(0), "IoBuildSynchronousFsdRequest");
    if (irp) {
        irp->UserIosb = IoStatusBlock;
        irp->UserEvent = Event;
    }
    return irp;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    if (!DeviceObject) {
        Report("null-device", "IoBuildDeviceIoControlRequest was given no device object (Windows reads its StackSize and faults)");
        return nullptr;
    }
    if (Self().irql > PASSIVE_LEVEL) Report("irql", "IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
    const void* caller = __builtin_return_address(0);
    const char* routine = "IoBuildDeviceIoControlRequest";
    if (ConsumeIrpFault(caller, routine, (SIZE_T)DeviceObject->StackSize)) return nullptr;
    PIRP irp = NewIrp(DeviceObject->StackSize, IrpKind::Threaded);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    irp->Tail.Overlay.Thread = (PVOID)CurrentRec();
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        ULONG len = std::max(InputBufferLength, OutputBufferLength);
        if (len) {
            irp->AssociatedIrp.SystemBuffer = std::malloc(len);
            std::memset(irp->AssociatedIrp.SystemBuffer, 0xC5, len);
            if (InputBuffer && InputBufferLength) std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (OutputBuffer ? IRP_INPUT_OPERATION : 0);
            irp->UserBuffer = OutputBuffer;
            Find(irp)->outputLength = OutputBufferLength;
        }
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (InputBufferLength) {
            irp->AssociatedIrp.SystemBuffer = std::malloc(InputBufferLength);
            std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputBuffer && OutputBufferLength) {
            PMDL mdl = AllocateMdl(OutputBuffer, OutputBufferLength, FALSE, irp, caller, routine, true);
            if (!mdl) {
                std::free(irp->AssociatedIrp.SystemBuffer);
                Forget(irp);
                return nullptr;
            }
            MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
        }
        break;
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    return irp;
}

// ---- Call and completion ------------------------------------------------------------------

namespace {
constexpr int kMaxCallDepth = 24;  // frames of dispatch, completion and driver code each
}  // namespace

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto s = Find(Irp);
    if (!s) {
        Report("irp-use-after-free", "IofCallDriver with " + IrpName(Irp) + ", which is not an allocated IRP");
        return STATUS_INVALID_PARAMETER;
    }
    if (!detail::IsLiveDevice(DeviceObject)) {
        Report("call-deleted-device", "IofCallDriver to " + Hex((ULONG_PTR)DeviceObject) + ", which is not a live device");
        return STATUS_NO_SUCH_DEVICE;
    }
    if (CancelRoutineOf(Irp))
        Report("call-with-cancel-routine", "IofCallDriver with " + IrpName(Irp) + " whose cancel routine is still set");
    if (Self().irql > DISPATCH_LEVEL) Report("irql", "IofCallDriver above DISPATCH_LEVEL");
    if (Irp->CurrentLocation <= 1) {
        Report("no-stack-location", IrpName(Irp) + " has no stack location left for " + Hex((ULONG_PTR)DeviceObject));
        return STATUS_INVALID_PARAMETER;
    }
    bool viaPo = tInPoCallDriver;
    tInPoCallDriver = false;
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    if (stack->MajorFunction == IRP_MJ_POWER) {
        if (!viaPo) Report("power-not-po-call-driver", IrpName(Irp) + ", a power request, sent with IoCallDriver instead of PoCallDriver");
        std::lock_guard<std::mutex> g(gIrpLock);
        s->powerVisited.push_back(DeviceObject);
        s->powerMinor = stack->MinorFunction;
    }
    int level = Irp->CurrentLocation;
    std::shared_ptr<LevelRec> mine;
    {
        // A driver that skips its own location hands the lower driver the location it
        // was called at: the two calls share the record, since one walk passes both.
        // A request sent to a location the walk has already passed (sent again from a
        // completion routine) starts a record of its own.
        std::lock_guard<std::mutex> g(gIrpLock);
        if (s->levels[level]->passed)
            s->levels[level] = std::make_shared<LevelRec>();
        else
            *s->levels[level] = LevelRec{};
        mine = s->levels[level];
        s->sends++;
        s->state = IrpState::Active;
    }

    PDRIVER_DISPATCH routine = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    UCHAR major = stack->MajorFunction;
    bool pageable = NeedsPagedCodeMarker((const void*)routine);
    CheckImagePagedEntry((const void*)routine, "dispatch routine");
    ThreadState& self = Self();
    PDEVICE_OBJECT savedDevice = self.device;
    self.device = DeviceObject;
    if (pageable) self.pagedFrames.push_back(false);
    KIRQL irqlBefore = self.irql;

    // A kernel stack is 12 KB on x86: a chain of requests that each issue the next
    // from their completion, inside the call that sent the previous one, overflows it.
    if (++self.callDepth == kMaxCallDepth + 1)
        Report("call-depth", std::to_string(self.callDepth) + " nested IofCallDriver calls on one thread (" + IrpName(Irp) +
                                 "): more than a kernel stack holds");
    int regionsBefore = self.criticalRegions;
    NTSTATUS status = CallDriver("dispatch routine", routine, DeviceObject, Irp);
    self.callDepth--;
    if (self.criticalRegions != regionsBefore)
        Report("critical-region", "dispatch routine for major " + std::to_string(major) + " of " +
                                      Hex((ULONG_PTR)DeviceObject) + " returned with its critical regions unbalanced");

    if (pageable) {
        if (!self.pagedFrames.back())
            Report("paged-code-missing", "pageable dispatch routine " + Hex((ULONG_PTR)routine) + " for major " +
                                             std::to_string(major) + " did not start with PAGED_CODE()");
        self.pagedFrames.pop_back();
    }
    self.device = savedDevice;
    if (self.irql != irqlBefore)
        Report("dispatch-irql", "dispatch routine for major " + std::to_string(major) + " returned at IRQL " +
                                    std::to_string(self.irql) + " instead of " + std::to_string(irqlBefore));

    // Judge the return value against what happened to the request at this level. On
    // the real clock another thread may complete and free the request right after the
    // dispatch routine let go of it: read the record and the IRP under the IRP lock,
    // which the free takes before the memory goes.
    LevelRec rec;
    bool alive, pendingMarked;
    {
        std::lock_guard<std::mutex> g(gIrpLock);
        rec = *mine;
        auto it = gIrps.find(Irp);
        alive = it != gIrps.end() && it->second == s;
        pendingMarked = rec.passed ? rec.pending : (alive && (Location(Irp, level)->Control & SL_PENDING_RETURNED));
    }
    // Named only when something is reported: formatting on every call costs more than the call.
    auto where = [&] { return "dispatch routine for major " + std::to_string(major) + " of " + Hex((ULONG_PTR)DeviceObject); };
    if (status == STATUS_PENDING) {
        if (!pendingMarked && rec.passed)
            Report("pending-not-marked", where() + " returned STATUS_PENDING without IoMarkIrpPending");
        if (!pendingMarked && !rec.passed && alive) {
            // Its completion routine may still mark it, before the walk passes this
            // level; when another thread's walk has passed it meanwhile, judge now.
            bool missed;
            {
                std::lock_guard<std::mutex> g(gIrpLock);
                LevelRec& now = *mine;
                missed = now.passed && !now.pending;
                if (!now.passed) {
                    now.owed = true;
                    now.owedBy = where();
                }
            }
            if (missed) Report("pending-not-marked", where() + " returned STATUS_PENDING without IoMarkIrpPending");
        }
    } else {
        if (pendingMarked)
            Report("marked-pending-returned-other", where() + " marked the IRP pending but returned " + Hex((ULONG)status));
        if (rec.passed && rec.status != status)
            Report("status-mismatch", where() + " returned " + Hex((ULONG)status) + " but completed the IRP with " +
                                          Hex((ULONG)rec.status));
        if (!rec.passed)
            Report("not-completed-not-pending", where() + " returned " + Hex((ULONG)status) +
                                                    " without completing the IRP or returning STATUS_PENDING");
    }
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    auto s = Find(Irp);
    if (!s) {
        Report("double-completion", "IofCompleteRequest with " + IrpName(Irp) + ", which is not an allocated IRP (completed and freed already?)");
        return;
    }
    // A completion routine may complete the request it was called for, once, and then
    // return STATUS_MORE_PROCESSING_REQUIRED: the new walk carries the request on from
    // that routine's own location upward, and the first walk stops there.
    bool fromOwnRoutine, twice;
    {
        std::lock_guard<std::mutex> g(gIrpLock);
        fromOwnRoutine = s->state == IrpState::Completing && s->routineDepth > 0 && s->recompletedAt != s->routineDepth;
        twice = (s->state == IrpState::Completing && !fromOwnRoutine) || s->state == IrpState::Completed;
    }
    if (twice) {
        Report("double-completion", IrpName(Irp) + " completed twice");
        return;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        Report("double-completion", IrpName(Irp) + " completed at no stack location (never sent, or completed already)");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        Report("complete-with-pending", IrpName(Irp) + " completed with STATUS_PENDING as its status");
        return;
    }
    if (CancelRoutineOf(Irp)) {
        Report("complete-with-cancel-routine", IrpName(Irp) + " completed while its cancel routine is still set");
        IoSetCancelRoutine(Irp, nullptr);
    }
    if (Self().irql > DISPATCH_LEVEL) Report("irql", "IofCompleteRequest above DISPATCH_LEVEL");
    {
        std::lock_guard<std::mutex> g(gIrpLock);
        if (fromOwnRoutine) s->recompletedAt = s->routineDepth;
        s->state = IrpState::Completing;
        s->boost = PriorityBoost;
    }

    ThreadState& self = Self();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    for (;;) {
        int number = Irp->CurrentLocation - 1;  // the location being left
        bool pending = (stack->Control & SL_PENDING_RETURNED) != 0;
        std::string owedBy;
        {
            std::lock_guard<std::mutex> g(gIrpLock);  // the dispatch routine's caller may be reading it
            LevelRec& rec = *s->levels[number];
            rec.passed = true;
            rec.status = Irp->IoStatus.Status;
            rec.pending = pending;
            if (rec.owed && !pending) owedBy = rec.owedBy;
            rec.owed = false;
        }
        if (!owedBy.empty())
            Report("pending-not-marked", owedBy + " returned STATUS_PENDING, and the IRP was never marked pending");
        Irp->PendingReturned = pending;
        bool invoke = (NT_SUCCESS(Irp->IoStatus.Status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(Irp->IoStatus.Status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                      (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) && (stack->Control & SL_INVOKE_ON_CANCEL));
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        if (invoke && routine) {
            bool top = Irp->CurrentLocation == Irp->StackCount + 1;
            PDEVICE_OBJECT upper = top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            if (IsPageableCode((const void*)routine))
                Report("pageable-completion", "completion routine " + Hex((ULONG_PTR)routine) + " lies in pageable code");
            PDEVICE_OBJECT savedDevice = self.device;
            KIRQL irql = self.irql;
            self.device = upper;
            int depth;
            unsigned sendsBefore;
            {
                std::lock_guard<std::mutex> g(gIrpLock);
                depth = ++s->routineDepth;
                sendsBefore = s->sends;
            }
            NTSTATUS r = CallDriver("completion routine", routine, upper, Irp, context);
            bool recompleted, resent;
            {
                std::lock_guard<std::mutex> g(gIrpLock);
                recompleted = s->recompletedAt == depth;
                if (recompleted) s->recompletedAt = 0;
                s->routineDepth--;
                resent = s->sends != sendsBefore;
            }
            self.device = savedDevice;
            if (resent) {
                // Sent down again: it may already be completed, freed and reused on
                // another processor, so this walk must not look at it any more.
                if (r != STATUS_MORE_PROCESSING_REQUIRED)
                    Report("double-completion", "completion routine " + Hex((ULONG_PTR)routine) + " sent " + IrpName(Irp) +
                                                    " down again and returned " + Hex((ULONG)r) +
                                                    " instead of STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
            if (recompleted) {
                // The request belongs to the walk the routine started; this one must not touch it.
                if (r != STATUS_MORE_PROCESSING_REQUIRED)
                    Report("double-completion", "completion routine " + Hex((ULONG_PTR)routine) + " completed " + IrpName(Irp) +
                                                    " again and returned " + Hex((ULONG)r) +
                                                    " instead of STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
            if (Find(Irp) == s && GuardTouched(Irp))
                Report("stack-overrun", "completion routine " + Hex((ULONG_PTR)routine) + " wrote past the last stack location of " +
                                            IrpName(Irp) + " (IoMarkIrpPending in the allocator's own completion routine?)");
            if (self.irql != irql) Report("completion-irql", "completion routine " + Hex((ULONG_PTR)routine) + " changed the IRQL");
            if (r == STATUS_MORE_PROCESSING_REQUIRED) {
                std::lock_guard<std::mutex> g(gIrpLock);
                auto it = gIrps.find(Irp);
                if (it != gIrps.end() && it->second == s && s->state == IrpState::Completing) s->state = IrpState::Halted;
                return;
            }
            if (Find(Irp) != s) {
                Report("irp-use-after-free", "completion routine " + Hex((ULONG_PTR)routine) + " freed " + IrpName(Irp) +
                                                 " but did not return STATUS_MORE_PROCESSING_REQUIRED");
                return;
            }
            if (Irp->PendingReturned && !top && !(IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED))
                Report("pending-not-propagated", "completion routine " + Hex((ULONG_PTR)routine) +
                                                     " did not mark the IRP pending although PendingReturned is set");
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
        if (Irp->CurrentLocation > Irp->StackCount) break;
        IoSkipCurrentIrpStackLocation(Irp);
        stack++;
    }
    {
        std::lock_guard<std::mutex> g(gIrpLock);
        s->state = IrpState::Completed;
    }
    CheckPowerStarted(Irp, s);
    IoManagerComplete(Irp, s);
}

BOOLEAN IoCancelIrp(PIRP Irp)
{
    auto s = Find(Irp);
    if (!s) {
        Report("irp-use-after-free", "IoCancelIrp with " + IrpName(Irp) + ", which is not an allocated IRP");
        return FALSE;
    }
    if (Self().irql > DISPATCH_LEVEL) Report("irql", "IoCancelIrp above DISPATCH_LEVEL");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);  // another processor may be completing it
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (IsPageableCode((const void*)routine))
        Report("pageable-cancel", "cancel routine " + Hex((ULONG_PTR)routine) + " lies in pageable code");
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    ThreadState& self = Self();
    PDEVICE_OBJECT savedDevice = self.device;
    self.device = device;
    CallDriver("cancel routine", routine, device, Irp);
    self.device = savedDevice;
    if (HoldsCancelLock()) {
        Report("cancel-lock-kept", "cancel routine " + Hex((ULONG_PTR)routine) + " returned holding the cancel spin lock");
        IoReleaseCancelSpinLock(irql);
    }
    if (self.irql != irql) Report("cancel-irql", "cancel routine " + Hex((ULONG_PTR)routine) + " did not restore the IRQL");
    return TRUE;
}

// ---- MDLs ---------------------------------------------------------------------------------

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN, PIRP Irp)
{
    // The front ends describe applications' buffers for their own IRPs: that is the I/O
    // manager's allocation, not the driver's.
    auto s = Irp ? Find(Irp) : nullptr;
    bool counted = !(s && s->kind == IrpKind::Host);
    return AllocateMdl(VirtualAddress, Length, SecondaryBuffer, Irp, __builtin_return_address(0), "IoAllocateMdl", counted);
}

namespace hk::detail {
PMDL AllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, PIRP Irp, const void* caller,
                 const char* routine, bool counted)
{
    if (counted && ConsumeMdlFault(caller, routine, Length)) return nullptr;
    auto* mdl = (PMDL)std::calloc(1, sizeof(MDL));
    Bump(Tally::Mdl);
    mdl->Size = sizeof(MDL);
    mdl->StartVa = (PVOID)((ULONG_PTR)VirtualAddress & ~(ULONG_PTR)0xFFF);
    mdl->ByteOffset = (ULONG)((ULONG_PTR)VirtualAddress & 0xFFF);
    mdl->ByteCount = Length;
    mdl->MappedSystemVa = VirtualAddress;
    {
        std::lock_guard<std::mutex> g(gIrpLock);
        gMdls[mdl] = CurrentOwner();
    }
    if (Irp) {
        if (!SecondaryBuffer || !Irp->MdlAddress) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next) last = last->Next;
            last->Next = mdl;
        }
    }
    return mdl;
}
}  // namespace hk::detail

VOID IoFreeMdl(PMDL Mdl)
{
    {
        std::lock_guard<std::mutex> g(gIrpLock);
        if (!gMdls.erase(Mdl)) {
            Report("mdl-double-free", "IoFreeMdl on " + Hex((ULONG_PTR)Mdl) + ", which is not an allocated MDL");
            return;
        }
    }
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) Report("mdl-freed-locked", "MDL " + Hex((ULONG_PTR)Mdl) + " freed with its pages still locked");
    std::memset(Mdl, 0xDF, sizeof *Mdl);
    std::free(Mdl);
}

VOID MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE, LOCK_OPERATION)
{
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) Report("mdl-lock", "MDL " + Hex((ULONG_PTR)Mdl) + " locked twice");
    Mdl->MdlFlags |= MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA;
}

VOID MmUnlockPages(PMDL Mdl)
{
    if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED)) Report("mdl-lock", "MmUnlockPages on MDL " + Hex((ULONG_PTR)Mdl) + ", which is not locked");
    Mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
}

VOID MmBuildMdlForNonPagedPool(PMDL Mdl) { Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL; }

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG)
{
    if (!(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA)))
        Report("mdl-not-locked", "MmGetSystemAddressForMdlSafe on MDL " + Hex((ULONG_PTR)Mdl) +
                                     ", which was neither locked (MmProbeAndLockPages) nor built for non-paged pool");
    return Mdl->MappedSystemVa;
}

// ---- Power --------------------------------------------------------------------------------

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        Report("po-call-driver", "PoCallDriver with an IRP that is not IRP_MJ_POWER");
    tInPoCallDriver = true;
    return IofCallDriver(DeviceObject, Irp);
}

// Power requests of a device are serialised until each driver that handled one
// starts the next: the call is recorded against the device whose code runs.
VOID PoStartNextPowerIrp(PIRP Irp)
{
    auto s = Find(Irp);
    if (!s) {
        Report("irp-use-after-free", "PoStartNextPowerIrp with " + IrpName(Irp) + ", which is not an allocated IRP");
        return;
    }
    std::lock_guard<std::mutex> g(gIrpLock);
    if (PDEVICE_OBJECT d = Self().device) s->powerStarted.push_back(d);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE State) { return State; }
