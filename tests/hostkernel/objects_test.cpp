// Pool, registry, names, device objects, remove locks, cancel, the application
// front end and WMI, with the verifier's rules about each.
#include "hostkernel/emu_fixture.h"

namespace {
constexpr ULONG kTag = 0x74736574;  // "test"

VOID NTAPI NoopDpc(PKDPC, PVOID, PVOID, PVOID) {}

__attribute__((section("hk_page"), noinline)) VOID NTAPI PageableCancel(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

__attribute__((section("hk_page"), noinline)) NTSTATUS NTAPI PagedWithoutMarker(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

__attribute__((section("hk_page"), noinline)) NTSTATUS NTAPI PagedWithMarker(PDEVICE_OBJECT, PIRP irp)
{
    PAGED_CODE();
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
}  // namespace

class Pool : public EmuTest {};

TEST_F(Pool, LeaksAreReportedByTagWhenTheDeviceGoesAndWhenTheDriverUnloads)
{
    void* p = nullptr;
    dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        p = ExAllocatePoolWithTag(NonPagedPool, 40, kTag);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    Send(IRP_MJ_DEVICE_CONTROL);
    ASSERT_NE(nullptr, p);
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    lower = upper = nullptr;
    auto v = ExpectViolation("pool-leak");
    EXPECT_NE(std::string::npos, hk::Describe(v).find("'test'"));
    driver->Unload();
    ExpectViolation("pool-leak");
    ExFreePoolWithTag(p, kTag);
}

TEST_F(Pool, IrpsMdlsAndHandlesHeldByADeletedDeviceAreReported)
{
    PIRP irp = nullptr;
    PMDL mdl = nullptr;
    HANDLE key = nullptr;
    static char buffer[16];
    dispatch = [&](PDEVICE_OBJECT, PIRP request) {
        irp = IoAllocateIrp(2, FALSE);
        mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
        IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
        request->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(request, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    Send(IRP_MJ_DEVICE_CONTROL);
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    lower = upper = nullptr;
    auto v = ExpectViolation("irp-leak");
    EXPECT_NE(std::string::npos, hk::Describe(v).find("1 IRP(s) and 1 MDL(s)"));
    EXPECT_NE(std::string::npos, hk::Describe(v).find("handle-leak"));
    IoFreeIrp(irp);
    IoFreeMdl(mdl);
    ZwClose(key);
}

TEST_F(Pool, IrpsAndMdlsLeftAtUnloadAreReported)
{
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    lower = upper = nullptr;
    PIRP irp = IoAllocateIrp(1, FALSE);
    static char buffer[4];
    PMDL mdl = IoAllocateMdl(buffer, 4, FALSE, FALSE, nullptr);
    driver->Unload();
    auto v = ExpectViolation("irp-leak");
    EXPECT_NE(std::string::npos, hk::Describe(v).find("mdl-leak"));
    IoFreeIrp(irp);
    IoFreeMdl(mdl);
}

TEST_F(Pool, DoubleFreesTagMismatchesAndWrongIrqlsAreReported)
{
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ExFreePoolWithTag(p, kTag);
    ExFreePoolWithTag(p, kTag);
    ExpectViolation("pool-double-free");

    p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ExFreePoolWithTag(p, 0x6e6f7277);
    ExpectViolation("pool-tag-mismatch");

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    p = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    ExpectViolation("paged-pool-irql");
    ExFreePoolWithTag(p, kTag);
    ExpectViolation("pool-irql");
    PAGED_CODE();
    ExpectViolation("paged-code-irql");
    KeLowerIrql(old);
}

TEST_F(Pool, TheNthAllocationCanBeFailedOptionallyByTag)
{
    hk::FailPoolAllocation(2, kTag);
    void* other = ExAllocatePoolWithTag(NonPagedPool, 8, 0x72656874);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(nullptr, other);
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(nullptr, second);
    EXPECT_NE(nullptr, third);
    EXPECT_EQ(16u, hk::OutstandingPoolBytes(kTag));
    for (void* p : {other, first, third}) ExFreePool(p);

    hk::FailIrpAllocation(1);
    EXPECT_EQ(nullptr, IoAllocateIrp(2, FALSE));
    PIRP irp = IoAllocateIrp(2, FALSE);
    EXPECT_NE(nullptr, irp);
    IoFreeIrp(irp);
}

static VOID NTAPI NoOpDpc(PKDPC, PVOID, PVOID, PVOID) {}

// The counters benchmarks read: each kind of work is counted where it happens, and
// only when it happens (a failed allocation is no allocation).
TEST_F(Pool, CountersCountAllocationsIrpsMdlsAndDpcsSinceTheReset)
{
    const hk::Counters start = hk::ReadCounters();
    void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    hk::FailPoolAllocation(1);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
    UCHAR buffer[16];
    PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, upper, buffer, sizeof buffer, nullptr, nullptr);
    ASSERT_NE(nullptr, irp);
    KDPC dpc;
    KeInitializeDpc(&dpc, NoOpDpc, nullptr);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -10000;
    KeSetTimer(&timer, due, &dpc);
    hk::AdvanceMs(2);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    hk::RunDpcs();
    Send(IRP_MJ_FLUSH_BUFFERS);

    const hk::Counters c = hk::ReadCounters();
    EXPECT_EQ(1u, c.poolAllocations - start.poolAllocations);
    EXPECT_EQ(1u, c.driverIrps - start.driverIrps);
    EXPECT_EQ(1u, c.requestIrps - start.requestIrps) << "the front end's flush";
    EXPECT_EQ(upper->Flags & DO_DIRECT_IO ? 1u : 0u, c.mdls - start.mdls);
    EXPECT_EQ(2u, c.dpcs - start.dpcs);
    EXPECT_EQ(1u, c.timerDpcs - start.timerDpcs);

    if (irp->MdlAddress) {
        MmUnlockPages(irp->MdlAddress);
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }
    IoFreeIrp(irp);
    ExFreePool(block);
}

class Counting : public KernelTest {};

TEST_F(Counting, AResetStartsTheCountersAgain)
{
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
    IoFreeIrp(IoAllocateIrp(1, FALSE));
    ASSERT_NE(0u, hk::ReadCounters().poolAllocations);
    hk::Reset();
    const hk::Counters zero = hk::ReadCounters();
    EXPECT_EQ(0u, zero.poolAllocations + zero.driverIrps + zero.requestIrps + zero.mdls + zero.dpcs + zero.timerDpcs);
}

// ---- The one sequence of allocations ------------------------------------------------------

namespace {
// Calls of the kernel's allocators from functions of known names, for the record's sites.
__attribute__((noinline)) PVOID PoolFromTheTest() { return ExAllocatePoolWithTag(NonPagedPool, 24, kTag); }
__attribute__((noinline)) PIO_WORKITEM WorkItemFromTheTest(PDEVICE_OBJECT device) { return IoAllocateWorkItem(device); }
__attribute__((noinline)) PIRP ReadFromTheTest(PDEVICE_OBJECT device, PVOID buffer, ULONG length, PKEVENT event,
                                               PIO_STATUS_BLOCK iosb)
{
    return IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer, length, nullptr, event, iosb);
}

// Frees what an IoBuild routine made for a request that was never sent.
void FreeBuilt(PIRP irp)
{
    for (PMDL mdl = irp->MdlAddress; mdl;) {
        PMDL next = mdl->Next;
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) std::free(irp->AssociatedIrp.SystemBuffer);
    irp->AssociatedIrp.SystemBuffer = nullptr;
    IoFreeIrp(irp);
}

std::vector<hk::AllocationKind> KindsOf(const std::vector<hk::Allocation>& record)
{
    std::vector<hk::AllocationKind> kinds;
    for (const auto& a : record) kinds.push_back(a.kind);
    return kinds;
}
}  // namespace

class AllocationSequence : public EmuTest {};

TEST_F(AllocationSequence, PoolIrpsAndMdlsAreCountedInOneOrderAndOnlyTheNthFails)
{
    using K = hk::AllocationKind;
    static char buffer[32];
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    hk::RecordAllocations(true);
    const unsigned long before = hk::AllocationCount();
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    PIRP irp = IoAllocateIrp(2, FALSE);
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    PIRP ioctl = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_GET_STATS, upper, nullptr, 0, buffer, 24, FALSE, &event, &iosb);
    PIO_WORKITEM item = IoAllocateWorkItem(upper);
    ASSERT_TRUE(block && irp && mdl && ioctl && item);
    EXPECT_EQ(5u, hk::AllocationCount() - before);
    auto record = hk::RecordedAllocations();
    ASSERT_EQ(5u, record.size());
    EXPECT_EQ((std::vector<K>{K::Pool, K::Irp, K::Mdl, K::Irp, K::Pool}), KindsOf(record));
    for (size_t i = 0; i < record.size(); ++i) {
        EXPECT_EQ(before + 1 + i, record[i].number);
        EXPECT_FALSE(record[i].failed);
    }
    EXPECT_EQ(kTag, record[0].tag);
    EXPECT_EQ(8u, record[0].size);
    EXPECT_STREQ("ExAllocatePoolWithTag", record[0].routine);
    EXPECT_STREQ("IoAllocateIrp", record[1].routine);
    EXPECT_EQ(2u, record[1].size) << "stack locations";
    EXPECT_STREQ("IoAllocateMdl", record[2].routine);
    EXPECT_STREQ("IoBuildDeviceIoControlRequest", record[3].routine);
    EXPECT_STREQ("IoAllocateWorkItem", record[4].routine);
    IoFreeWorkItem(item);
    FreeBuilt(ioctl);
    IoFreeMdl(mdl);
    IoFreeIrp(irp);
    ExFreePool(block);

    // The third from now, whatever its kind; the ones around it are served.
    hk::FailAllocation(3);
    block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    irp = IoAllocateIrp(1, FALSE);
    EXPECT_EQ(nullptr, IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr));
    PVOID after = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(nullptr, block);
    EXPECT_NE(nullptr, irp);
    EXPECT_NE(nullptr, after);
    EXPECT_EQ(0u, hk::OutstandingMdls());
    record = hk::RecordedAllocations();
    ASSERT_EQ(9u, record.size());
    EXPECT_TRUE(record[7].failed);
    EXPECT_FALSE(record[6].failed || record[8].failed);
    IoFreeIrp(irp);
    ExFreePool(block);
    ExFreePool(after);

    // With everyLater, that one and all that follow, until the faults are cleared.
    hk::FailAllocation(2, true);
    block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(nullptr, block);
    EXPECT_EQ(nullptr, IoAllocateIrp(1, FALSE));
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
    EXPECT_EQ(nullptr, IoAllocateWorkItem(upper));
    EXPECT_EQ(nullptr, IoBuildDeviceIoControlRequest(IOCTL_SERIAL_GET_STATS, upper, nullptr, 0, buffer, 24, FALSE, &event, &iosb));
    hk::ClearFaults();
    irp = IoAllocateIrp(1, FALSE);
    EXPECT_NE(nullptr, irp);
    IoFreeIrp(irp);
    ExFreePool(block);
    EXPECT_EQ(0u, hk::OutstandingIrps());
}

TEST_F(Counting, AResetStartsTheSequenceAgainDisarmsItAndStopsTheRecord)
{
    hk::RecordAllocations(true);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
    hk::FailAllocation(2);
    ASSERT_EQ(1u, hk::RecordedAllocations().size());
    hk::Reset();
    EXPECT_EQ(0u, hk::AllocationCount());
    EXPECT_TRUE(hk::RecordedAllocations().empty());
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(nullptr, first);
    EXPECT_NE(nullptr, second) << "the fault armed before the reset";
    EXPECT_EQ(2u, hk::AllocationCount());
    EXPECT_TRUE(hk::RecordedAllocations().empty()) << "recording ended with the reset";
    ExFreePool(first);
    ExFreePool(second);
}

TEST_F(AllocationSequence, AnIoBuildRoutineWhoseMdlFailsGivesItsIrpBackAndReturnsNull)
{
    static UCHAR buffer[64];
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    upper->Flags |= DO_DIRECT_IO;
    auto build = [&](int which) -> PIRP {
        switch (which) {
        case 0: return IoBuildSynchronousFsdRequest(IRP_MJ_READ, upper, buffer, sizeof buffer, nullptr, &event, &iosb);
        case 1: return IoBuildAsynchronousFsdRequest(IRP_MJ_WRITE, upper, buffer, sizeof buffer, nullptr, &iosb);
        default:
            return IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_OUT_DIRECT, FILE_ANY_ACCESS), upper,
                                                 buffer, 4, buffer + 8, 16, FALSE, &event, &iosb);
        }
    };
    const char* routines[] = {"IoBuildSynchronousFsdRequest", "IoBuildAsynchronousFsdRequest", "IoBuildDeviceIoControlRequest"};
    hk::RecordAllocations(true);
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(routines[which]);
        const size_t recorded = hk::RecordedAllocations().size();
        PIRP served = build(which);
        ASSERT_NE(nullptr, served);
        ASSERT_NE(nullptr, served->MdlAddress);
        FreeBuilt(served);
        auto record = hk::RecordedAllocations();
        ASSERT_EQ(recorded + 2, record.size()) << "the IRP and its MDL";
        EXPECT_EQ(hk::AllocationKind::Irp, record[recorded].kind);
        EXPECT_EQ(hk::AllocationKind::Mdl, record[recorded + 1].kind);
        EXPECT_STREQ(routines[which], record[recorded + 1].routine);
        EXPECT_EQ(record[recorded].caller, record[recorded + 1].caller) << "both the caller's";

        hk::FailAllocation(2);
        EXPECT_EQ(nullptr, build(which));
        EXPECT_EQ(0u, hk::OutstandingIrps()) << "the IRP went back";
        EXPECT_EQ(0u, hk::OutstandingMdls());
        EXPECT_TRUE(hk::RecordedAllocations().back().failed);
        hk::FailAllocation(1);
        EXPECT_EQ(nullptr, build(which));
        EXPECT_FALSE(hk::RecordedAllocations().back().kind == hk::AllocationKind::Mdl) << "no MDL without the IRP";
    }
}

TEST_F(AllocationSequence, TheFrontEndsAndSuspendedWorkAreNeitherCountedNorFailed)
{
    Publish(u"\\DosDevices\\TEST8");
    upper->Flags = (upper->Flags & ~DO_BUFFERED_IO) | DO_DIRECT_IO;
    std::unique_ptr<hk::File> f;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST8", &f));
    const unsigned long before = hk::AllocationCount();
    hk::FailAllocation(1, true);
    UCHAR data[16];
    ULONG n = 0;
    EXPECT_EQ(STATUS_SUCCESS, f->Read(data, sizeof data, &n)) << "its MDL is the I/O manager's";
    EXPECT_EQ(STATUS_SUCCESS, Send(IRP_MJ_FLUSH_BUFFERS).status) << "the PnP and power managers' IRPs are theirs";
    {
        hk::FaultsSuspended quiet;
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
        PIRP irp = IoAllocateIrp(1, FALSE);
        EXPECT_NE(nullptr, block);
        EXPECT_NE(nullptr, irp);
        IoFreeIrp(irp);
        ExFreePool(block);
    }
    EXPECT_EQ(before, hk::AllocationCount());
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 8, kTag)) << "still armed for the driver's own";
    hk::ClearFaults();
    f->Close();
}

TEST_F(AllocationSequence, EachIsRecordedWhereTheCallerAskedNotInsideTheKernel)
{
    static UCHAR buffer[16];
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    upper->Flags |= DO_DIRECT_IO;
    hk::RecordAllocations(true);
    PVOID block = PoolFromTheTest();
    PIO_WORKITEM item = WorkItemFromTheTest(upper);
    PIRP irp = ReadFromTheTest(upper, buffer, sizeof buffer, &event, &iosb);
    ASSERT_TRUE(block && item && irp);
    auto record = hk::RecordedAllocations();
    ASSERT_EQ(4u, record.size());
    auto startsWith = [](const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; };
    EXPECT_PRED2(startsWith, hk::CodeName(record[0].caller), "PoolFromTheTest+0x");
    EXPECT_PRED2(startsWith, hk::CodeName(record[1].caller), "WorkItemFromTheTest+0x") << "not IoAllocateWorkItem";
    EXPECT_PRED2(startsWith, hk::CodeName(record[2].caller), "ReadFromTheTest+0x");
    EXPECT_PRED2(startsWith, hk::CodeName(record[3].caller), "ReadFromTheTest+0x") << "the MDL the routine made";
    EXPECT_EQ("pool 'test' (ExAllocatePoolWithTag) at " + hk::CodeName(record[0].caller), hk::Describe(record[0]));
    EXPECT_EQ("MDL (IoBuildSynchronousFsdRequest) at " + hk::CodeName(record[3].caller), hk::Describe(record[3]));
    // Where no function symbol covers an address, the module and offset (or the address).
    EXPECT_EQ("an unrecorded place", hk::CodeName(nullptr));
    EXPECT_EQ(std::string::npos, hk::CodeName(buffer).find("FromTheTest"));
    FreeBuilt(irp);
    IoFreeWorkItem(item);
    ExFreePool(block);
}

TEST_F(Pool, FreeingPoolThatHoldsAnArmedTimerOrQueuedDpcIsReported)
{
    struct Objects {
        KTIMER timer;
        KDPC dpc;
    };
    auto* o = (Objects*)ExAllocatePoolWithTag(NonPagedPool, sizeof(Objects), kTag);
    KeInitializeTimer(&o->timer);
    KeInitializeDpc(&o->dpc, NoopDpc, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10000;
    KeSetTimer(&o->timer, due, &o->dpc);
    ExFreePoolWithTag(o, kTag);
    ExpectViolation("freed-armed-timer");
    EXPECT_EQ(0u, hk::ArmedTimerCount()) << "checked before the memory goes";
}

class Devices : public EmuTest {};

TEST_F(Devices, DeletingADeviceWithLiveKernelObjectsOrRegistrationsIsReported)
{
    auto* ext = (UCHAR*)upper->DeviceExtension;
    auto* timer = (PKTIMER)ext;
    auto* dpc = (PKDPC)(ext + 256 - sizeof(KDPC));
    static_assert(sizeof(KTIMER) + sizeof(KDPC) <= 256);
    KeInitializeTimer(timer);
    KeInitializeDpc(dpc, NoopDpc, nullptr);
    LARGE_INTEGER due;
    due.QuadPart = -10000;
    KeSetTimer(timer, due, dpc);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(dpc, nullptr, nullptr);
    EXPECT_EQ(STATUS_SUCCESS, IoWMIRegistrationControl(upper, WMIREG_ACTION_REGISTER));
    IoDeleteDevice(upper);
    KeLowerIrql(old);
    auto v = ExpectViolation("freed-armed-timer");
    auto has = [&](const char* rule) {
        for (auto& x : v)
            if (x.rule == rule) return true;
        return false;
    };
    EXPECT_TRUE(has("freed-queued-dpc"));
    EXPECT_TRUE(has("delete-wmi-registered"));
    EXPECT_TRUE(has("delete-attached"));
    IoDetachDevice(lower);
    upper = lower = nullptr;
}

TEST_F(Devices, AttachingStacksSizesAndExclusiveOpensAreRefusedBeforeTheDriver)
{
    EXPECT_EQ(pdo, lower);
    EXPECT_EQ(upper, pdo->AttachedDevice);
    EXPECT_EQ(pdo->StackSize + 1, upper->StackSize);

    int creates = 0;
    dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        creates += IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    upper->Flags |= DO_EXCLUSIVE;
    static const GUID guid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    UNICODE_STRING link;
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &guid, nullptr, &link));
    ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, TRUE));
    UNICODE_STRING dos;
    RtlInitUnicodeString(&dos, u"\\DosDevices\\TEST7");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&dos, &link));
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, IoCreateSymbolicLink(&dos, &link));

    std::unique_ptr<hk::File> first, second;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST7", &first));
    EXPECT_EQ(STATUS_ACCESS_DENIED, hk::File::Open(u"\\??\\test7", &second));
    EXPECT_EQ(1, creates) << "the second open never reached the driver";
    first->Close();
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST7", &second));
    second->Close();

    EXPECT_EQ(STATUS_SUCCESS, IoDeleteSymbolicLink(&dos));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoDeleteSymbolicLink(&dos));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, hk::File::Open(u"\\DosDevices\\TEST7", &second));
    IoSetDeviceInterfaceState(&link, FALSE);
    RtlFreeUnicodeString(&link);
}

TEST_F(Devices, PageableEntryPointsMustStartWithPagedCode)
{
    driver->Object()->MajorFunction[IRP_MJ_READ] = PagedWithoutMarker;
    Send(IRP_MJ_READ);
    ExpectViolation("paged-code-missing");
    driver->Object()->MajorFunction[IRP_MJ_READ] = PagedWithMarker;
    Send(IRP_MJ_READ);
    ExpectClean();
}

namespace {
NTSTATUS NTAPI ForgetfulAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT dev;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
    if (NT_SUCCESS(status)) IoAttachDeviceToDeviceStack(dev, pdo);
    return status;  // forgets to clear DO_DEVICE_INITIALIZING
}
}  // namespace

TEST_F(Devices, AddDeviceMustClearTheInitializingFlag)
{
    PDEVICE_OBJECT pdo2 = bus.CreatePdo(u"ROOT\\TEST\\0001");
    driver->Object()->DriverExtension->AddDevice = ForgetfulAddDevice;
    hk::DeviceStack stack(pdo2);
    EXPECT_EQ(STATUS_SUCCESS, stack.AddDevice(*driver));
    ExpectViolation("device-initializing");
    PDEVICE_OBJECT added = stack.Top();
    IoDetachDevice(pdo2);
    IoDeleteDevice(added);
}

class Registry : public EmuTest {};

TEST_F(Registry, FullInformationHasItsLayoutAndTheDocumentedStatuses)
{
    hk::registry::Set(hk::registry::DeviceKey(pdo), hk::RegistryValue::Dword(u"Answer", 42));
    HANDLE key;
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Answer");
    alignas(8) UCHAR buffer[64];
    ULONG result = 0;
    // 20 bytes of header, 12 of name, data ULONG-aligned after it: 32 + 4.
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, 19, &result));
    EXPECT_EQ(36u, result);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, 35, &result));
    auto* info = (PKEY_VALUE_FULL_INFORMATION)buffer;
    EXPECT_EQ(32u, info->DataOffset) << "the fixed part is filled in even when the rest does not fit";
    ASSERT_EQ(STATUS_SUCCESS, ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &result));
    EXPECT_EQ((ULONG)REG_DWORD, info->Type);
    EXPECT_EQ(4u, info->DataLength);
    EXPECT_EQ(12u, info->NameLength);
    EXPECT_EQ(42u, *(ULONG*)(buffer + info->DataOffset));
    UNICODE_STRING missing;
    RtlInitUnicodeString(&missing, u"Missing");
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, ZwQueryValueKey(key, &missing, KeyValueFullInformation, buffer, 64, &result));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(key));
    ExpectViolation("invalid-handle");
}

TEST_F(Registry, DeviceMapValuesAndHandleLeaks)
{
    ULONG v = 7;
    EXPECT_EQ(STATUS_SUCCESS, RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"X", REG_DWORD, &v, 4));
    hk::RegistryValue got;
    ASSERT_TRUE(hk::registry::Get(hk::registry::DeviceMapKey(u"SERIALCOMM"), u"X", &got));
    EXPECT_EQ(4u, got.data.size());
    EXPECT_EQ(STATUS_SUCCESS, RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"X"));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"X"));

    HANDLE key;
    IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoOpenDeviceRegistryKey(upper, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))
        << "only a physical device object has a device key";
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    lower = upper = nullptr;
    driver->Unload();
    ExpectViolation("handle-leak");
}

class RemoveLocks : public KernelTest {};

TEST_F(RemoveLocks, RemovalWaitsForEveryHolderAndRefusesNewOnes)
{
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, kTag, 1, 10);
    int tagA, tagB;
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tagA));
    bool removed = false;
    hk::Thread remover([&] {
        IoReleaseRemoveLockAndWait(&lock, nullptr);
        removed = true;
    });
    hk::YieldToOthers();
    EXPECT_FALSE(removed) << "a holder is still inside";
    EXPECT_EQ(STATUS_DELETE_PENDING, IoAcquireRemoveLock(&lock, &tagB));
    IoReleaseRemoveLock(&lock, &tagA);
    remover.Join();
    EXPECT_TRUE(removed);
}

TEST_F(RemoveLocks, ReleasingWithATagThatWasNotAcquiredIsReported)
{
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, kTag, 1, 10);
    int a, b;
    IoAcquireRemoveLock(&lock, &a);
    IoReleaseRemoveLock(&lock, &b);
    ExpectViolation("remove-lock-tag");
}

class Cancel : public EmuTest {
protected:
    void SetUp() override
    {
        EmuTest::SetUp();
        Publish(u"\\DosDevices\\TEST8");
    }
    static PIRP parked;
    static KIRQL cancelIrql;
    static bool lockHeldInCancel;
    static VOID NTAPI CancelParked(PDEVICE_OBJECT, PIRP irp)
    {
        lockHeldInCancel = KeGetCurrentIrql() == DISPATCH_LEVEL;
        cancelIrql = irp->CancelIrql;
        IoReleaseCancelSpinLock(irp->CancelIrql);
        parked = nullptr;
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    NTSTATUS Park(PIRP irp)
    {
        IoMarkIrpPending(irp);
        parked = irp;
        IoSetCancelRoutine(irp, CancelParked);
        return STATUS_PENDING;
    }
};
PIRP Cancel::parked;
KIRQL Cancel::cancelIrql;
bool Cancel::lockHeldInCancel;

TEST_F(Cancel, CancelIoRunsTheCancelRoutineUnderTheCancelLock)
{
    dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) return Park(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    std::unique_ptr<hk::File> f;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST8", &f));
    auto read = f->StartRead(10);
    EXPECT_FALSE(read->Done());
    f->CancelIo();
    EXPECT_TRUE(read->Done());
    EXPECT_EQ(STATUS_CANCELLED, read->Status());
    EXPECT_TRUE(lockHeldInCancel);
    EXPECT_EQ(PASSIVE_LEVEL, cancelIrql);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());

    // Without a cancel routine, IoCancelIrp only sets the flag.
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    IoFreeIrp(irp);
    f->Close();
}

TEST_F(Cancel, PageableCancelRoutinesAreReported)
{
    dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        IoMarkIrpPending(irp);
        parked = irp;
        IoSetCancelRoutine(irp, PageableCancel);
        return STATUS_PENDING;
    };
    std::unique_ptr<hk::File> f;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST8", &f));
    auto read = f->StartRead(10);
    read->Cancel();
    ExpectViolation("pageable-cancel");
    parked->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(parked, IO_NO_INCREMENT);
    f->Close();
}

TEST_F(Cancel, BufferedRequestsReturnOnlyWhatTheDriverReportsAndNeverMore)
{
    NTSTATUS result = STATUS_SUCCESS;
    ULONG_PTR info = 4;
    dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        if (irp->AssociatedIrp.SystemBuffer) std::memcpy(irp->AssociatedIrp.SystemBuffer, "wxyz", 4);
        irp->IoStatus.Status = result;
        irp->IoStatus.Information = info;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return result;
    };
    std::unique_ptr<hk::File> f;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\TEST8", &f));
    char out[8] = {};
    ULONG returned = 0;
    info = 2;
    EXPECT_EQ(STATUS_SUCCESS, f->Ioctl(CTL_CODE(0x1b, 1, METHOD_BUFFERED, 0), "ab", 2, out, 8, &returned));
    EXPECT_EQ(std::string("wx"), std::string(out));
    std::memset(out, 0, sizeof out);
    result = STATUS_INVALID_PARAMETER;
    f->Ioctl(CTL_CODE(0x1b, 1, METHOD_BUFFERED, 0), "ab", 2, out, 8, &returned);
    EXPECT_EQ(std::string(), std::string(out)) << "nothing is copied back for an error";
    result = STATUS_SUCCESS;
    info = 9;
    f->Read(out, 4, &returned);
    ExpectViolation("buffer-overrun");
    f->Close();
}

class Wmi : public EmuTest {
protected:
    // A provider's dispatch routine as WMILIB's callers write it: what the library
    // leaves not completed is completed here, what is not for this device goes down.
    DispatchFn WmiDispatch(PWMILIB_CONTEXT context)
    {
        return [this, context](PDEVICE_OBJECT device, PIRP irp) {
            SYSCTL_IRP_DISPOSITION disposition;
            NTSTATUS status = WmiSystemControl(context, device, irp, &disposition);
            dispositions.push_back(disposition);
            if (disposition == IrpNotCompleted) IoCompleteRequest(irp, IO_NO_INCREMENT);
            if (disposition == IrpForward || disposition == IrpNotWmi) {
                IoSkipCurrentIrpStackLocation(irp);
                return IoCallDriver(lower, irp);
            }
            return status;
        };
    }
    std::vector<SYSCTL_IRP_DISPOSITION> dispositions;
};

namespace {
const GUID kBlock = {0x11, 0x22, 0x33, {1, 2, 3, 4, 5, 6, 7, 8}};
WMIGUIDREGINFO gGuids[] = {{&kBlock, 1, 0}};

UNICODE_STRING gRegPath = {10, 10, (PWSTR)u"\\Svc1"};
PDEVICE_OBJECT gRegPdo = nullptr;
ULONG gRegFlags = WMIREG_FLAG_INSTANCE_PDO;

NTSTATUS NTAPI RegInfo(PDEVICE_OBJECT, PULONG flags, PUNICODE_STRING, PUNICODE_STRING* path, PUNICODE_STRING mof,
                       PDEVICE_OBJECT* pdo)
{
    *flags = gRegFlags;
    *path = &gRegPath;
    RtlInitUnicodeString(mof, u"MofResourceName");
    *pdo = gRegPdo;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryBlock(PDEVICE_OBJECT device, PIRP irp, ULONG index, ULONG, ULONG, PULONG lengths, ULONG avail,
                          PUCHAR buffer)
{
    if (index != 0 || avail < 4) return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, 4, IO_NO_INCREMENT);
    *(ULONG*)buffer = 0xABCD;
    lengths[0] = 4;
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 4, IO_NO_INCREMENT);
}
}  // namespace

TEST_F(Wmi, TheLibraryRoutesQueriesToTheProviderAndForwardsForeignOnes)
{
    gRegFlags = WMIREG_FLAG_INSTANCE_PDO;
    static WMILIB_CONTEXT context = {};
    context.GuidCount = 1;
    context.GuidList = gGuids;
    context.QueryWmiDataBlock = QueryBlock;
    context.QueryWmiRegInfo = RegInfo;
    gRegPdo = pdo;
    dispatch = WmiDispatch(&context);
    hk::WmiResult r = hk::WmiQuerySingleInstance(upper, kBlock, 16);
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    ASSERT_EQ(4u, r.data.size());
    EXPECT_EQ(0xABCDu, *(ULONG*)r.data.data());

    r = hk::WmiQuerySingleInstance(upper, kBlock, 2);
    EXPECT_TRUE(r.tooSmall);
    EXPECT_EQ(4u, r.sizeNeeded);

    r = hk::WmiRegInfo(upper);
    ASSERT_EQ(STATUS_SUCCESS, r.status);
    auto* info = (PWMIREGINFOW)r.data.data();
    ASSERT_EQ(1u, info->GuidCount);
    EXPECT_TRUE(IsEqualGUID(kBlock, info->WmiRegGuid[0].Guid));
    EXPECT_EQ((ULONG)WMIREG_FLAG_INSTANCE_PDO, info->WmiRegGuid[0].Flags);
    EXPECT_EQ((ULONG_PTR)pdo, info->WmiRegGuid[0].Pdo);
    auto counted = [&](ULONG offset) {
        USHORT n;
        std::memcpy(&n, r.data.data() + offset, 2);
        return std::u16string((const char16_t*)(r.data.data() + offset + 2), n / 2);
    };
    EXPECT_EQ(u"\\Svc1", counted(info->RegistryPath));
    EXPECT_EQ(u"MofResourceName", counted(info->MofResourceName));

    static const GUID other = {7, 7, 7, {7}};
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, hk::WmiQuerySingleInstance(upper, other, 16).status);
    bus.ClearArrived();
    hk::WmiSendForeign(upper, 0x1234, kBlock);
    ASSERT_EQ(1u, bus.Arrived().size()) << "a request for another provider goes down";
    EXPECT_EQ(IRP_MJ_SYSTEM_CONTROL, bus.Arrived()[0].major);
}

namespace {
// The layout of a WNODE_METHOD_ITEM.
struct MethodItem {
    WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG MethodId;
    ULONG DataBlockOffset;
    ULONG SizeDataBlock;
};

// A system-control request carrying this WNODE for kBlock, sent to `device` as WMI would.
hk::Result SendWnode(PDEVICE_OBJECT device, UCHAR minor, std::vector<UCHAR>& wnode)
{
    return hk::SendRequest(device, [&](PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        s->MinorFunction = minor;
        s->Parameters.WMI.ProviderId = (ULONG_PTR)device;
        s->Parameters.WMI.DataPath = (PVOID)&kBlock;
        s->Parameters.WMI.BufferSize = (ULONG)wnode.size();
        s->Parameters.WMI.Buffer = wnode.data();
    });
}

// What the query routine was handed; it claims 8 bytes whatever the room and writes
// only what fits.
struct {
    PULONG lengths;
    PUCHAR buffer;
    ULONG avail;
} gSeen;
NTSTATUS NTAPI EightBytes(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG, PULONG lengths, ULONG avail,
                          PUCHAR buffer)
{
    gSeen = {lengths, buffer, avail};
    if (buffer) std::memset(buffer, 0x5A, avail < 8 ? avail : 8);
    if (lengths) lengths[0] = 8;
    return WmiCompleteRequest(device, irp, avail ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL, 8, IO_NO_INCREMENT);
}

// Two instances of 3 and 5 bytes, the second on the next 8-byte boundary.
NTSTATUS NTAPI TwoInstances(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG count, PULONG lengths, ULONG avail,
                            PUCHAR buffer)
{
    if (count != 2 || avail < 13) return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, 13, IO_NO_INCREMENT);
    std::memcpy(buffer, "abc", 3);
    std::memcpy(buffer + 8, "defgh", 5);
    lengths[0] = 3;
    lengths[1] = 5;
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 13, IO_NO_INCREMENT);
}
// Sets that claim the four bytes they took.
NTSTATUS NTAPI SetBlock(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG, PUCHAR)
{
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 4, IO_NO_INCREMENT);
}
NTSTATUS NTAPI SetItem(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG, ULONG, PUCHAR)
{
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 4, IO_NO_INCREMENT);
}
ULONG gMethod[3];  // the method id, input and output sizes the method routine was given
NTSTATUS NTAPI Method(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG id, ULONG in, ULONG out, PUCHAR buffer)
{
    gMethod[0] = id;
    gMethod[1] = in;
    gMethod[2] = out;
    std::memcpy(buffer, "output", 6);
    return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 6, IO_NO_INCREMENT);
}
}  // namespace

// The library completes only what a provider routine completed through it; the
// registration information and its own refusals are the caller's to complete (a
// second completion here would be reported).
TEST_F(Wmi, RegistrationAndTheLibrarysOwnAnswersAreLeftNotCompleted)
{
    gRegFlags = WMIREG_FLAG_INSTANCE_PDO;
    gRegPdo = pdo;
    static WMILIB_CONTEXT context = {};
    context.GuidCount = 1;
    context.GuidList = gGuids;
    context.QueryWmiRegInfo = RegInfo;
    context.QueryWmiDataBlock = QueryBlock;
    dispatch = WmiDispatch(&context);

    EXPECT_EQ(STATUS_SUCCESS, hk::WmiRegInfo(upper).status);
    static const GUID other = {7, 7, 7, {7}};
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, hk::WmiQuerySingleInstance(upper, other, 16).status);
    EXPECT_EQ(STATUS_WMI_INSTANCE_NOT_FOUND, hk::WmiQuerySingleInstance(upper, kBlock, 16, 1).status);
    // A provider without set routines has read-only blocks.
    EXPECT_EQ(STATUS_WMI_READ_ONLY, hk::WmiSetSingleInstance(upper, kBlock, {1, 2, 3, 4}).status);
    EXPECT_EQ(STATUS_WMI_READ_ONLY, hk::WmiSetSingleItem(upper, kBlock, 1, {1, 2, 3, 4}).status);
    // Only static instance names are known to the library.
    std::vector<UCHAR> named(96);
    auto* w = (PWNODE_SINGLE_INSTANCE)named.data();
    w->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE;
    w->DataBlockOffset = 80;
    EXPECT_EQ(STATUS_WMI_INSTANCE_NOT_FOUND, SendWnode(upper, IRP_MN_QUERY_SINGLE_INSTANCE, named).status);
    // Events of a provider without a control routine: nothing to do.
    std::vector<UCHAR> header(sizeof(WNODE_HEADER));
    EXPECT_EQ(STATUS_SUCCESS, SendWnode(upper, IRP_MN_ENABLE_EVENTS, header).status);
    EXPECT_EQ(std::vector<SYSCTL_IRP_DISPOSITION>(7, IrpNotCompleted), dispositions);

    EXPECT_EQ(STATUS_SUCCESS, hk::WmiQuerySingleInstance(upper, kBlock, 16).status);
    EXPECT_EQ(IrpProcessed, dispositions.back()) << "the provider's routine completed it";
}

// With no room the query routine gets no buffer and no lengths array, only the chance
// to say what it needs; one that answers success with more than the room it had wrote
// past it.
TEST_F(Wmi, AQueryWithNoRoomGetsNoBufferAndAnAnswerBeyondTheRoomIsAnOverrun)
{
    static WMILIB_CONTEXT context = {};
    context.GuidCount = 1;
    context.GuidList = gGuids;
    context.QueryWmiDataBlock = EightBytes;
    dispatch = WmiDispatch(&context);

    hk::WmiResult r = hk::WmiQuerySingleInstance(upper, kBlock, 0);
    EXPECT_EQ(nullptr, gSeen.lengths);
    EXPECT_EQ(nullptr, gSeen.buffer);
    EXPECT_EQ(0u, gSeen.avail);
    EXPECT_TRUE(r.tooSmall);
    EXPECT_EQ(8u, r.sizeNeeded);
    // All data: the 72 bytes hold the header and the one instance's offset and length.
    r = hk::WmiQueryAllData(upper, kBlock, 72);
    EXPECT_EQ(nullptr, gSeen.lengths);
    EXPECT_EQ(nullptr, gSeen.buffer);
    EXPECT_TRUE(r.tooSmall);
    EXPECT_EQ(80u, r.sizeNeeded);

    r = hk::WmiQuerySingleInstance(upper, kBlock, 4);
    ExpectViolation("buffer-overrun");
    EXPECT_TRUE(r.tooSmall) << "what does not fit is answered as too small";
    r = hk::WmiQuerySingleInstance(upper, kBlock, 8);
    EXPECT_NE(nullptr, gSeen.lengths);
    EXPECT_EQ(std::vector<UCHAR>(8, 0x5A), r.data);
}

// All data in the variable-size layout; sets answer no data; a method's id and sizes
// come from its WNODE_METHOD_ITEM and its output is answered in it.
TEST_F(Wmi, AllDataSetsAndMethodsAnswerInTheirWnodeLayouts)
{
    static WMIGUIDREGINFO twoInstances[] = {{&kBlock, 2, 0}};
    static WMILIB_CONTEXT context = {};
    context.GuidCount = 1;
    context.GuidList = twoInstances;
    context.QueryWmiDataBlock = TwoInstances;
    context.SetWmiDataBlock = SetBlock;
    context.SetWmiDataItem = SetItem;
    context.ExecuteWmiMethod = Method;
    dispatch = WmiDispatch(&context);

    // Header 48, three ULONGs, two offset-and-length pairs: 76, the data at 80.
    hk::WmiResult r = hk::WmiQueryAllData(upper, kBlock, 92);
    EXPECT_TRUE(r.tooSmall);
    EXPECT_EQ(93u, r.sizeNeeded);
    r = hk::WmiQueryAllData(upper, kBlock, 93);
    ASSERT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(93u, r.information);
    ASSERT_EQ(93u, r.wnode.size());
    auto* all = (PWNODE_ALL_DATA)r.wnode.data();
    EXPECT_EQ(93u, all->WnodeHeader.BufferSize);
    EXPECT_EQ((ULONG)WNODE_FLAG_ALL_DATA, all->WnodeHeader.Flags & (WNODE_FLAG_ALL_DATA | WNODE_FLAG_FIXED_INSTANCE_SIZE));
    EXPECT_EQ(2u, all->InstanceCount);
    EXPECT_EQ(80u, all->OffsetInstanceDataAndLength[0].OffsetInstanceData);
    EXPECT_EQ(3u, all->OffsetInstanceDataAndLength[0].LengthInstanceData);
    EXPECT_EQ(88u, all->OffsetInstanceDataAndLength[1].OffsetInstanceData);
    EXPECT_EQ(5u, all->OffsetInstanceDataAndLength[1].LengthInstanceData);
    ASSERT_EQ(2u, r.instances.size());
    EXPECT_EQ(std::vector<UCHAR>({'a', 'b', 'c'}), r.instances[0]);
    EXPECT_EQ(std::vector<UCHAR>({'d', 'e', 'f', 'g', 'h'}), r.instances[1]);

    r = hk::WmiSetSingleInstance(upper, kBlock, {1, 2, 3, 4});
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(0u, r.information) << "a set answers no data";
    r = hk::WmiSetSingleItem(upper, kBlock, 1, {1, 2, 3, 4});
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(0u, r.information);

    std::vector<UCHAR> method(96);
    auto* m = (MethodItem*)method.data();
    m->WnodeHeader.Flags = WNODE_FLAG_METHOD_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    m->WnodeHeader.ClientContext = 99;
    m->MethodId = 7;
    m->DataBlockOffset = 72;
    m->SizeDataBlock = 3;
    hk::Result done = SendWnode(upper, IRP_MN_EXECUTE_METHOD, method);
    EXPECT_EQ(STATUS_SUCCESS, done.status);
    EXPECT_EQ((std::vector<ULONG>{7, 3, 24}), std::vector<ULONG>(gMethod, gMethod + 3)) << "id, input, room";
    EXPECT_EQ(78u, done.information);
    EXPECT_EQ(6u, m->SizeDataBlock);
    EXPECT_EQ(0, std::memcmp(method.data() + 72, "output", 6));
}

// Blocks WMI could not name, and an all-data answer whose instance lies outside it.
TEST_F(Wmi, RegistrationWithoutInstanceNamesAndAnInstanceOutsideItsAnswerAreReported)
{
    static WMILIB_CONTEXT context = {};
    context.GuidCount = 1;
    context.GuidList = gGuids;
    context.QueryWmiRegInfo = RegInfo;
    context.QueryWmiDataBlock = QueryBlock;
    dispatch = WmiDispatch(&context);
    gRegPdo = pdo;
    gRegFlags = 0;
    hk::WmiRegInfo(upper);
    ExpectViolation("wmi-registration");
    gRegFlags = WMIREG_FLAG_INSTANCE_PDO;
    gRegPdo = nullptr;
    hk::WmiRegInfo(upper);
    ExpectViolation("wmi-registration");
    gRegPdo = pdo;
    hk::WmiRegInfo(upper);
    ExpectClean();

    dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        auto* all = (PWNODE_ALL_DATA)IoGetCurrentIrpStackLocation(irp)->Parameters.WMI.Buffer;
        all->InstanceCount = 1;
        all->OffsetInstanceDataAndLength[0] = {80, 16};  // 16 bytes at 80 of an answer of 88
        all->WnodeHeader.BufferSize = 88;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 88;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    hk::WmiQueryAllData(upper, kBlock, 128);
    ExpectViolation("wmi-layout");
}
