// Where the emulation follows Windows in details a driver can trip over: the life of
// a file object after CloseHandle, the IRQL of power requests, work items, what an
// unload may leave behind, completing from a completion routine, the priority boost,
// busy waits and deferred DPCs, registry access rights and a few Rtl/Io statuses.
#include <atomic>
#include <thread>

#include "hostkernel/emu_fixture.h"

namespace {

// A driver's parking place for one request, with the cancel routine a careful
// driver would set.
struct Parking {
    PIRP irp = nullptr;
    static VOID NTAPI CancelRoutine(PDEVICE_OBJECT, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        current->irp = nullptr;
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    NTSTATUS Park(PIRP irp)
    {
        current = this;
        IoMarkIrpPending(irp);
        this->irp = irp;
        IoSetCancelRoutine(irp, CancelRoutine);
        return STATUS_PENDING;
    }
    // Completes the parked request unless its cancel routine owns it.
    void Complete(NTSTATUS status, CCHAR boost = IO_NO_INCREMENT)
    {
        PIRP taken = irp;
        if (!taken || !IoSetCancelRoutine(taken, nullptr)) return;
        irp = nullptr;
        taken->IoStatus.Status = status;
        IoCompleteRequest(taken, boost);
    }
    static Parking* current;
};
Parking* Parking::current = nullptr;

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, CCHAR boost = IO_NO_INCREMENT)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, boost);
    return status;
}

}  // namespace

// ---- Handles: cleanup at CloseHandle, close at the last reference -------------------

class Handles : public EmuTest {
protected:
    void SetUp() override
    {
        EmuTest::SetUp();
        Publish(u"\\DosDevices\\TEST9");
        dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
            majors.push_back(s->MajorFunction);
            irqls.push_back(KeGetCurrentIrql());
            cancelFlags.push_back(irp->Cancel);
            if (s->MajorFunction == IRP_MJ_READ) return parking.Park(irp);
            return CompleteNow(irp, STATUS_SUCCESS, s->MajorFunction == IRP_MJ_DEVICE_CONTROL ? IO_SERIAL_INCREMENT : 0);
        };
    }
    int Seen(UCHAR major) const { return (int)std::count(majors.begin(), majors.end(), major); }
    Parking parking;
    std::vector<UCHAR> majors;
    std::vector<KIRQL> irqls;
    std::vector<BOOLEAN> cancelFlags;
};

TEST_F(Handles, CloseSendsCleanupAndTheCloseFollowsTheLastOutstandingRequest)
{
    upper->Flags |= DO_EXCLUSIVE;
    std::unique_ptr<hk::File> f;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST9", &f));
    auto read = f->StartRead(8);
    EXPECT_EQ(STATUS_PENDING, f->Close()) << "a request is outstanding: only cleanup goes now";
    EXPECT_EQ(1, Seen(IRP_MJ_CLEANUP));
    EXPECT_EQ(0, Seen(IRP_MJ_CLOSE));
    EXPECT_FALSE(f->Closed());
    std::unique_ptr<hk::File> second;
    EXPECT_EQ(STATUS_ACCESS_DENIED, hk::File::Open(u"\\DosDevices\\TEST9", &second))
        << "the file object still counts against the exclusive device until its close";

    parking.Complete(STATUS_SUCCESS);
    EXPECT_EQ(STATUS_SUCCESS, read->Wait());
    EXPECT_EQ(STATUS_SUCCESS, f->WaitClosed());
    ASSERT_EQ(1, Seen(IRP_MJ_CLOSE));
    EXPECT_EQ(IRP_MJ_CLOSE, majors.back()) << "nothing of that file object reaches the driver after its close";
    EXPECT_EQ(PASSIVE_LEVEL, irqls.back());
    EXPECT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST9", &second));
    second->Close();
}

TEST_F(Handles, CloseWithNothingOutstandingSendsBothAtOnce)
{
    std::unique_ptr<hk::File> f;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST9", &f));
    EXPECT_EQ(STATUS_SUCCESS, f->Close());
    EXPECT_TRUE(f->Closed());
    EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}), majors);
}

TEST_F(Handles, ARequestLeftAfterCleanupIsReportedWhenTheDeviceIsRemoved)
{
    std::unique_ptr<hk::File> f;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST9", &f));
    auto read = f->StartRead(8);
    f->Close();
    hk::DeviceStack(pdo).Remove();
    ExpectViolation("requests-left-after-cleanup");
    parking.Complete(STATUS_CANCELLED);
    f->WaitClosed();
}

TEST_F(Handles, ARequestLeftAfterCleanupIsReportedWhenTheTestEnds)
{
    {
        std::unique_ptr<hk::File> f;
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST9", &f));
        f->StartRead(8);
    }  // the handle goes, the read stays
    EXPECT_EQ(1, Seen(IRP_MJ_CLEANUP));
    // What the end of a test does; the fixture's objects go with the old kernel.
    hk::Reset();
    ExpectViolation("requests-left-after-cleanup");
    upper = lower = nullptr;
    link = {};
    driver.reset();
}

TEST_F(Handles, ARequestCanReachTheDriverAlreadyCancelled)
{
    std::unique_ptr<hk::File> f;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST9", &f));
    f->SubmitNextCancelled();
    f->Ioctl(CTL_CODE(0x1b, 1, METHOD_BUFFERED, 0), nullptr, 0, nullptr, 0, nullptr);
    f->Ioctl(CTL_CODE(0x1b, 1, METHOD_BUFFERED, 0), nullptr, 0, nullptr, 0, nullptr);
    ASSERT_EQ(3u, cancelFlags.size());
    EXPECT_TRUE(cancelFlags[1]) << "the Cancel flag is set before the dispatch routine sees it";
    EXPECT_FALSE(cancelFlags[2]) << "only the next request";
    f->Close();
}

TEST_F(Handles, TheBoostGivenToTheCompletionIsRecorded)
{
    std::unique_ptr<hk::File> f;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST9", &f));
    auto ioctl = f->StartIoctl(CTL_CODE(0x1b, 1, METHOD_BUFFERED, 0), {}, 0);
    EXPECT_EQ(IO_SERIAL_INCREMENT, ioctl->Boost());
    auto read = f->StartRead(4);
    parking.Complete(STATUS_SUCCESS, IO_NO_INCREMENT);
    read->Wait();
    EXPECT_EQ(IO_NO_INCREMENT, read->Boost());
    EXPECT_EQ(IO_SERIAL_INCREMENT, Send(IRP_MJ_DEVICE_CONTROL).boost);
    f->Close();
}

// On the real clock an application cancels while the driver completes: the front
// end must never hand IoCancelIrp a request that completed and was freed.
class HandlesOnTheRealClock : public Handles {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
};

TEST_F(HandlesOnTheRealClock, CancelRacingCompletionNeverReachesAFreedRequest)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::vector<PIRP> parked;
    dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return CompleteNow(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        parked.push_back(irp);
        KeReleaseSpinLock(&lock, old);
        return STATUS_PENDING;
    };
    std::unique_ptr<hk::File> f;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST9", &f));
    std::atomic<bool> stop{false};
    hk::Thread completer([&] {
        while (!stop.load() || [&] {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            bool more = !parked.empty();
            KeReleaseSpinLock(&lock, old);
            return more;
        }()) {
            PIRP irp = nullptr;
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            if (!parked.empty()) {
                irp = parked.back();
                parked.pop_back();
            }
            KeReleaseSpinLock(&lock, old);
            if (irp) CompleteNow(irp, STATUS_SUCCESS);
            else std::this_thread::yield();
        }
    });
    constexpr int kRounds = 2000;
    for (int i = 0; i < kRounds; ++i) {
        auto read = f->StartRead(1);
        read->Cancel();
        if (i % 2) f->CancelIo();
        read->Wait();
    }
    stop = true;
    completer.Join();
    f->Close();
    EXPECT_EQ(0u, hk::ViolationCount()) << hk::Describe(hk::TakeViolations());
}

// ---- Power requests: PASSIVE_LEVEL only for power-pageable devices -----------------

TEST_F(Handles, PowerRequestsComeAtDispatchLevelToADeviceThatIsNotPowerPageable)
{
    dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
        irqls.push_back(KeGetCurrentIrql());
        PoStartNextPowerIrp(irp);
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    hk::DeviceStack stack(pdo);
    upper->Flags &= ~DO_POWER_PAGABLE;
    EXPECT_EQ(STATUS_SUCCESS, stack.SetDevicePower(PowerDeviceD3).status);
    upper->Flags |= DO_POWER_PAGABLE;
    EXPECT_EQ(STATUS_SUCCESS, stack.SetDevicePower(PowerDeviceD0).status);
    EXPECT_EQ((std::vector<KIRQL>{DISPATCH_LEVEL, PASSIVE_LEVEL}), irqls);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

// ---- Work items ---------------------------------------------------------------------

namespace {
struct WorkProbe {
    PIO_WORKITEM item = nullptr;
    int runs = 0;
    KIRQL irql = HIGH_LEVEL;
    PDEVICE_OBJECT device = nullptr;
    std::thread::id thread;
    KEVENT done;
};

VOID NTAPI ProbeWork(PDEVICE_OBJECT device, PVOID context)
{
    auto* p = (WorkProbe*)context;
    p->runs++;
    p->irql = KeGetCurrentIrql();
    p->device = device;
    p->thread = std::this_thread::get_id();
    IoFreeWorkItem(p->item);  // a routine may free its own item
    p->item = nullptr;
    KeSetEvent(&p->done, 0, FALSE);
}

VOID NTAPI NeverRuns(PDEVICE_OBJECT, PVOID context) { ((WorkProbe*)context)->runs++; }
}  // namespace

class WorkItems : public EmuTest {
protected:
    void SetUp() override
    {
        EmuTest::SetUp();
        KeInitializeEvent(&probe.done, NotificationEvent, FALSE);
    }
    WorkProbe probe;
};

TEST_F(WorkItems, ARoutineQueuedAtDispatchLevelRunsAtPassiveOnAWorkerThread)
{
    probe.item = IoAllocateWorkItem(upper);
    ASSERT_NE(nullptr, probe.item);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(probe.item, ProbeWork, DelayedWorkQueue, &probe);
    KeLowerIrql(old);
    EXPECT_EQ(0, probe.runs) << "the worker runs when the queuing thread gives the processor away";
    KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(1, probe.runs);
    EXPECT_EQ(PASSIVE_LEVEL, probe.irql);
    EXPECT_EQ(upper, probe.device);
    EXPECT_NE(std::this_thread::get_id(), probe.thread);
}

TEST_F(WorkItems, DeletingADeviceWithAQueuedItemIsReportedAndTheItemNeverRuns)
{
    PDEVICE_OBJECT other = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver->Object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &other));
    PIO_WORKITEM item = IoAllocateWorkItem(other);
    IoQueueWorkItem(item, NeverRuns, DelayedWorkQueue, &probe);
    IoDeleteDevice(other);
    ExpectViolation("delete-with-work-item");
    hk::YieldToOthers();
    EXPECT_EQ(0, probe.runs);
    IoFreeWorkItem(item);
}

TEST_F(WorkItems, QueueingAnItemAgainBeforeItRanIsReported)
{
    probe.item = IoAllocateWorkItem(upper);
    IoQueueWorkItem(probe.item, ProbeWork, DelayedWorkQueue, &probe);
    IoQueueWorkItem(probe.item, ProbeWork, DelayedWorkQueue, &probe);
    ExpectViolation("work-item-requeued");
    KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(1, probe.runs);
}

// ---- What an unload may not leave behind -------------------------------------------

namespace {
KTIMER gUnloadTimer, gCancelledTimer;
KDPC gUnloadTimerDpc, gUnloadDpc;
int gUnloadDpcRuns = 0;
VOID NTAPI UnloadDpc(PKDPC, PVOID, PVOID, PVOID) { gUnloadDpcRuns++; }
}  // namespace

TEST_F(Handles, UnloadingWithATimerArmedOrADpcQueuedIsReportedWithTheRoutine)
{
    gUnloadDpcRuns = 0;
    KeInitializeTimer(&gUnloadTimer);
    KeInitializeTimer(&gCancelledTimer);
    KeInitializeDpc(&gUnloadTimerDpc, UnloadDpc, nullptr);
    KeInitializeDpc(&gUnloadDpc, UnloadDpc, nullptr);
    dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        // The driver's own work, started from its dispatch routine.
        LARGE_INTEGER due;
        due.QuadPart = -10LL * 10000000;
        KeSetTimer(&gUnloadTimer, due, &gUnloadTimerDpc);
        KeSetTimer(&gCancelledTimer, due, nullptr);
        KeCancelTimer(&gCancelledTimer);
        KeInsertQueueDpc(&gUnloadDpc, nullptr, nullptr);
        return CompleteNow(irp, STATUS_SUCCESS);
    };
    hk::DeferDpcs(true);
    Send(IRP_MJ_DEVICE_CONTROL);
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    upper = lower = nullptr;
    driver->Unload();
    auto seen = hk::TakeViolations();
    std::string routine = "0x" + [] {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%llx", (unsigned long long)(ULONG_PTR)UnloadDpc);
        return std::string(buf);
    }();
    int timers = 0, dpcs = 0;
    for (auto& v : seen) {
        if (v.rule != "unload-timer-armed" && v.rule != "unload-dpc-queued") continue;
        (v.rule == "unload-timer-armed" ? timers : dpcs)++;
        EXPECT_NE(std::string::npos, v.detail.find(routine)) << v.detail;
    }
    EXPECT_EQ(1, timers) << hk::Describe(seen);
    EXPECT_EQ(1, dpcs) << hk::Describe(seen);
    hk::DeferDpcs(false);
    hk::AdvanceMs(20000);
    EXPECT_EQ(0, gUnloadDpcRuns) << "nothing runs in the unloaded driver afterwards";
}

// ---- Completion walks ---------------------------------------------------------------

namespace {
// The upper driver's routine finishes the request itself, with a status of its own.
NTSTATUS NTAPI CompletesAgain(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    return context ? STATUS_SUCCESS : STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

class CompletionWalks : public EmuTest {
protected:
    void Forward(bool wrongReturn)
    {
        // The routine changes the outcome, so the dispatch routine returns STATUS_PENDING
        // whatever the lower driver did.
        dispatch = [wrongReturn, this](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, CompletesAgain, wrongReturn ? (PVOID)1 : nullptr, TRUE, TRUE, TRUE);
            IoCallDriver(lower, irp);
            return STATUS_PENDING;
        };
    }
};

TEST_F(CompletionWalks, ARoutineMayCompleteItsOwnRequestAndStopTheFirstWalk)
{
    Forward(false);
    hk::Result r = Send(IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(STATUS_DEVICE_BUSY, r.status) << "the second walk carried the request up";
    EXPECT_EQ(IO_SERIAL_INCREMENT, r.boost);
    bus.CompleteLater(10000);
    r = Send(IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(STATUS_DEVICE_BUSY, r.status) << "also when the lower driver completed later";
}

TEST_F(CompletionWalks, CompletingFromTheRoutineAndLettingTheWalkGoOnIsADoubleCompletion)
{
    Forward(true);
    Send(IRP_MJ_DEVICE_CONTROL);
    ExpectViolation("double-completion");
}

// ---- The clock: busy waits and deferred DPCs ---------------------------------------

namespace {
struct TimerProbe {
    KTIMER timer;
    KDPC dpc;
    int runs = 0;
    static VOID NTAPI Count(PKDPC, PVOID context, PVOID, PVOID) { ((TimerProbe*)context)->runs++; }
    TimerProbe()
    {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, Count, this);
    }
    void SetInMicroseconds(LONGLONG us)
    {
        LARGE_INTEGER due;
        due.QuadPart = -us * 10;
        KeSetTimer(&timer, due, &dpc);
    }
};
}  // namespace

class BusyWaits : public KernelTest {};

TEST_F(BusyWaits, AStallTakesItsTimeOnTheClockAndTimersFireMeanwhile)
{
    TimerProbe t;
    t.SetInMicroseconds(50);
    LONGLONG before = hk::Now();
    KeStallExecutionProcessor(100);
    EXPECT_EQ(1000, hk::Now() - before);
    EXPECT_EQ(1, t.runs) << "at PASSIVE_LEVEL the DPC runs as soon as its timer expires";

    t.SetInMicroseconds(50);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeStallExecutionProcessor(100);
    EXPECT_EQ(1, t.runs) << "a stall at DISPATCH_LEVEL keeps DPCs out";
    KeLowerIrql(old);
    EXPECT_EQ(2, t.runs);
}

TEST_F(BusyWaits, DeferredDpcsWaitForTheTestToRunThem)
{
    TimerProbe t, queued;
    hk::DeferDpcs(true);
    t.SetInMicroseconds(1000);
    hk::AdvanceMs(2);
    KeInsertQueueDpc(&queued.dpc, nullptr, nullptr);
    EXPECT_EQ(0, t.runs);
    EXPECT_EQ(0, queued.runs);
    EXPECT_EQ(2u, hk::QueuedDpcCount());
    EXPECT_TRUE(KeReadStateTimer(&t.timer)) << "the timer itself expired on time";
    hk::RunDpcs();
    EXPECT_EQ(1, t.runs);
    EXPECT_EQ(1, queued.runs);

    KeInsertQueueDpc(&queued.dpc, nullptr, nullptr);
    EXPECT_EQ(1, queued.runs);
    hk::DeferDpcs(false);
    EXPECT_EQ(2, queued.runs) << "ending the deferral runs what waited";
}

// ---- Registry, Rtl, interfaces, MDLs ------------------------------------------------

class Statuses : public EmuTest {};

TEST_F(Statuses, RegistryHandlesGrantOnlyTheAccessTheyWereOpenedFor)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Value");
    ULONG data = 5, result = 0;
    alignas(8) UCHAR buffer[64];
    HANDLE readOnly, writeOnly, generic;
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &readOnly));
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_SET_VALUE, &writeOnly));
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, GENERIC_READ | GENERIC_WRITE, &generic));
    EXPECT_EQ(STATUS_ACCESS_DENIED, ZwSetValueKey(readOnly, &name, 0, REG_DWORD, &data, 4));
    EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(writeOnly, &name, 0, REG_DWORD, &data, 4));
    EXPECT_EQ(STATUS_ACCESS_DENIED, ZwQueryValueKey(writeOnly, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result));
    EXPECT_EQ(STATUS_SUCCESS, ZwQueryValueKey(readOnly, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result));
    EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(generic, &name, 0, REG_DWORD, &data, 4)) << "generic rights map to the key's own";
    EXPECT_EQ(STATUS_SUCCESS, ZwQueryValueKey(generic, &name, KeyValuePartialInformation, buffer, sizeof buffer, &result));
    ZwClose(readOnly);
    ZwClose(writeOnly);
    ZwClose(generic);
}

TEST_F(Statuses, AnIntegerStringMustHaveRoomForItsTerminator)
{
    WCHAR buffer[4];
    UNICODE_STRING s{0, 6, buffer};  // room for three digits, not for their NUL
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlIntegerToUnicodeString(123, 10, &s));
    s.MaximumLength = 8;
    ASSERT_EQ(STATUS_SUCCESS, RtlIntegerToUnicodeString(123, 10, &s));
    EXPECT_EQ(6, s.Length);
    EXPECT_EQ(std::u16string(u"123"), std::u16string(buffer));
}

TEST_F(Statuses, EnablingAnEnabledInterfaceSaysSo)
{
    static const GUID guid = {7, 7, 7, {7, 7, 7, 7, 7, 7, 7, 7}};
    UNICODE_STRING itf;
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &guid, nullptr, &itf));
    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&itf, TRUE));
    EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, IoSetDeviceInterfaceState(&itf, TRUE));
    EXPECT_TRUE(NT_SUCCESS(STATUS_OBJECT_NAME_EXISTS)) << "informational, not a failure";
    EXPECT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&itf, FALSE));
    RtlFreeUnicodeString(&itf);
}

TEST_F(Statuses, MappingAnMdlThatNobodyLockedOrBuiltIsReported)
{
    UCHAR data[16];
    PMDL mdl = IoAllocateMdl(data, sizeof data, FALSE, FALSE, nullptr);
    EXPECT_EQ((PVOID)data, MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    ExpectViolation("mdl-not-locked");
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ((PVOID)data, MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    IoFreeMdl(mdl);
    mdl = IoAllocateMdl(data, sizeof data, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    EXPECT_EQ((PVOID)data, MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

TEST_F(Statuses, BuildingARequestForNoDeviceIsReported)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(nullptr, IoBuildDeviceIoControlRequest(1, nullptr, nullptr, 0, nullptr, 0, FALSE, &event, &iosb));
    EXPECT_EQ(nullptr, IoBuildSynchronousFsdRequest(IRP_MJ_READ, nullptr, nullptr, 0, nullptr, &event, &iosb));
    auto seen = ExpectViolation("null-device");
    EXPECT_EQ(2u, seen.size());
}

// ---- Power requests: PoCallDriver and PoStartNextPowerIrp ---------------------------

class PowerRules : public EmuTest {
protected:
    hk::Result SetPower() { return hk::DeviceStack(pdo).SetDevicePower(PowerDeviceD3); }
};

TEST_F(PowerRules, EachDriverStartsTheNextRequestAndSendsItWithPoCallDriver)
{
    dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    };
    EXPECT_EQ(STATUS_SUCCESS, SetPower().status);
}

TEST_F(PowerRules, ADriverThatDoesNotStartTheNextPowerRequestIsReported)
{
    dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    };
    SetPower();
    auto seen = ExpectViolation("power-next-not-started");
    ASSERT_EQ(1u, seen.size()) << "only the upper driver forgot; the bus started its next";
}

TEST_F(PowerRules, APowerRequestSentWithIoCallDriverIsReported)
{
    dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    };
    SetPower();
    ExpectViolation("power-not-po-call-driver");
}

// ---- Calling conventions ------------------------------------------------------------

namespace {
int gCdeclRuns = 0;
// What a routine built without NTAPI is: it leaves its arguments on the stack.
[[maybe_unused]] __attribute__((noinline)) VOID CdeclDpc(PKDPC, PVOID, PVOID, PVOID) { gCdeclRuns++; }
}  // namespace

class CallingConventions : public KernelTest {};

TEST_F(CallingConventions, ACallbackThatIsNotStdcallIsReported)
{
#if defined(__i386__)
    gCdeclRuns = 0;
    KDPC dpc;
    KeInitializeDpc(&dpc, (PKDEFERRED_ROUTINE)(void*)CdeclDpc, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_EQ(1, gCdeclRuns);
    auto seen = ExpectViolation("calling-convention");
    ASSERT_EQ(1u, seen.size());
    EXPECT_NE(std::string::npos, seen[0].detail.find("16 byte(s)")) << seen[0].detail;
#else
    GTEST_SKIP() << "one calling convention on this architecture";
#endif
}

// ---- The debugger's output and the tick count ---------------------------------------

TEST_F(BusyWaits, TheTickCountFollowsTheClockOneTickEvery15625Microseconds)
{
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(0, ticks.QuadPart);
    hk::AdvanceMs(1000);
    KeQueryTickCount(&ticks);
    EXPECT_EQ(64, ticks.QuadPart);
    EXPECT_EQ(64u, KeTickCount.LowPart) << "read directly, as the x86 DDK's KeQueryTickCount does";
    EXPECT_EQ(KeTickCount.High1Time, KeTickCount.High2Time);
}

TEST_F(BusyWaits, DbgPrintKnowsTheKernelsOwnConversions)
{
    hk::TakeDebugOutput();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"COM7");
    DbgPrint("%s %d %wZ %ws|%08x %I64u %%\n", "port", -3, &name, u"wide", 0xBEEFu, 5ull);
    EXPECT_EQ("port -3 COM7 wide|0000beef 5 %\n", hk::TakeDebugOutput());
    EXPECT_EQ("", hk::TakeDebugOutput());
}
