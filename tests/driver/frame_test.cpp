// The driver's load-time frame: the registry path copy, the dispatch table, code
// placement, pass-down, and the removal check in front of reads and writes.
#include "driver/port_fixture.h"

using DriverFrame = DriverTest;

TEST_F(DriverFrame, KeepsACopyOfTheRegistryPathEndingInAWideNul)
{
    std::u16string path(kServiceKey);
    ASSERT_NE(nullptr, DriverRegistryPath.Buffer);
    EXPECT_EQ(path.size() * 2, DriverRegistryPath.Length);
    EXPECT_EQ(path.size() * 2 + 2, DriverRegistryPath.MaximumLength);
    EXPECT_EQ(path, std::u16string(DriverRegistryPath.Buffer));
    hk::PoolBlockInfo copy{};
    for (auto& b : hk::OutstandingPool())
        if (b.address == DriverRegistryPath.Buffer) copy = b;
    EXPECT_EQ("filt", hk::TagText(copy.tag));
    EXPECT_EQ(PagedPool, copy.type);
    driver->Unload();
    EXPECT_EQ(nullptr, DriverRegistryPath.Buffer);
    driver.reset();
}

TEST_F(DriverFrame, AnEmptyRegistryPathGivesAJustTheNulCopy)
{
    driver->Unload();
    DebugLevel = 5;
    ASSERT_EQ(STATUS_SUCCESS, LoadDriverUnderTest(u"", &driver));
    EXPECT_EQ(0, DriverRegistryPath.Length);
    EXPECT_EQ(2, DriverRegistryPath.MaximumLength);
    EXPECT_EQ(0, DriverRegistryPath.Buffer[0]);
    EXPECT_EQ(0u, DebugLevel) << "a loaded driver starts at debug level 0";
}

TEST_F(DriverFrame, RefusesToLoadWhenThePathCannotBeCopiedAndSetsNothing)
{
    driver->Unload();
    driver.reset();
    hk::FailPoolAllocation(1, TAG_FILT);
    std::unique_ptr<hk::LoadedDriver> failed;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, LoadDriverUnderTest(kServiceKey, &failed));
    EXPECT_EQ(nullptr, failed);
}

TEST_F(DriverFrame, RoutesEveryMajorFunction)
{
    PDRIVER_OBJECT d = driver->Object();
    EXPECT_EQ(DispatchCreateClose, d->MajorFunction[IRP_MJ_CREATE]);
    EXPECT_EQ(DispatchCreateClose, d->MajorFunction[IRP_MJ_CLOSE]);
    EXPECT_EQ(DispatchReadWrite, d->MajorFunction[IRP_MJ_READ]);
    EXPECT_EQ(DispatchReadWrite, d->MajorFunction[IRP_MJ_WRITE]);
    EXPECT_EQ(DispatchFlush, d->MajorFunction[IRP_MJ_FLUSH_BUFFERS]);
    EXPECT_EQ(DispatchDeviceControl, d->MajorFunction[IRP_MJ_DEVICE_CONTROL]);
    EXPECT_EQ(DispatchCleanup, d->MajorFunction[IRP_MJ_CLEANUP]);
    EXPECT_EQ(DispatchPower, d->MajorFunction[IRP_MJ_POWER]);
    EXPECT_EQ(DispatchSystemControl, d->MajorFunction[IRP_MJ_SYSTEM_CONTROL]);
    EXPECT_EQ(DispatchPnpEntry, d->MajorFunction[IRP_MJ_PNP]);
    int passDown = 0;
    for (auto f : d->MajorFunction) passDown += f == DispatchPassDown;
    EXPECT_EQ(18, passDown);
    EXPECT_EQ(DriverUnload, d->DriverUnload);
    EXPECT_EQ(AddDevice, d->DriverExtension->AddDevice);
}

TEST_F(DriverFrame, PlacesCodeByTheIrqlItRunsAt)
{
    EXPECT_TRUE(hk::IsPageableCode((const void*)AddDevice));
    EXPECT_TRUE(hk::IsPageableCode((const void*)DriverUnload));
    EXPECT_TRUE(hk::IsPageableCode((const void*)DispatchPnpEntry));
    EXPECT_FALSE(hk::IsPageableCode((const void*)DispatchPower)) << "power requests may come at DISPATCH_LEVEL";
    EXPECT_FALSE(hk::IsPageableCode((const void*)DispatchPnp));
    EXPECT_FALSE(hk::IsPageableCode((const void*)DispatchPassDown));
    EXPECT_FALSE(hk::IsPageableCode((const void*)DispatchReadWrite));
    EXPECT_FALSE(hk::IsPageableCode((const void*)DriverEntry)) << "initialisation code, discarded after load";
}

TEST_F(DriverFrame, PoolTagsReadAsTheirFourCharacters)
{
    EXPECT_EQ("filt", hk::TagText(TAG_FILT));
    EXPECT_EQ("init", hk::TagText(TAG_INIT));
    EXPECT_EQ("crea", hk::TagText(TAG_CREA));
    EXPECT_EQ("circ", hk::TagText(TAG_CIRC));
    EXPECT_EQ("mwmi", hk::TagText(TAG_MWMI));
    EXPECT_EQ("KLVO", hk::TagText(TAG_KLVO));
}

class PassDown : public DriverTest {
protected:
    // Sends a request of this major function through the port and returns what the
    // pipe driver's device saw of it.
    hk::ArrivedRequest Through(UCHAR major)
    {
        bus.ClearArrived();
        hk::SendRequest(
            port,
            [&](PIO_STACK_LOCATION s) {
                s->MajorFunction = major;
                s->MinorFunction = 0x5A;
                s->Parameters.Others.Argument1 = (PVOID)0x1111;
                s->Parameters.Others.Argument2 = (PVOID)0x2222;
                s->Parameters.Others.Argument4 = (PVOID)0x4444;
            },
            STATUS_SUCCESS);
        auto arrived = bus.Arrived();
        EXPECT_EQ(1u, arrived.size());
        return arrived.empty() ? hk::ArrivedRequest{} : arrived.back();
    }
};

TEST_F(PassDown, UnhandledMajorFunctionsReachThePipeDriverUnchangedEvenDuringRemoval)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    for (bool removing : {false, true}) {
        if (removing) stack->Pnp(IRP_MN_SURPRISE_REMOVAL);
        for (UCHAR major : {IRP_MJ_CREATE_NAMED_PIPE, IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION, IRP_MJ_QUERY_EA,
                            IRP_MJ_SET_EA, IRP_MJ_QUERY_VOLUME_INFORMATION, IRP_MJ_SET_VOLUME_INFORMATION,
                            IRP_MJ_DIRECTORY_CONTROL, IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                            IRP_MJ_SHUTDOWN, IRP_MJ_LOCK_CONTROL, IRP_MJ_CREATE_MAILSLOT, IRP_MJ_QUERY_SECURITY,
                            IRP_MJ_SET_SECURITY, IRP_MJ_DEVICE_CHANGE, IRP_MJ_QUERY_QUOTA, IRP_MJ_SET_QUOTA}) {
            hk::ArrivedRequest r = Through(major);
            EXPECT_EQ(major, r.major);
            EXPECT_EQ(0x5A, r.minor);
            EXPECT_EQ((PVOID)0x1111, r.stack.Parameters.Others.Argument1);
            EXPECT_EQ((PVOID)0x2222, r.stack.Parameters.Others.Argument2);
            EXPECT_EQ((PVOID)0x4444, r.stack.Parameters.Others.Argument4);
            EXPECT_EQ(pdo, r.stack.DeviceObject);
        }
    }
}

class ReadWriteGate : public DriverTest {};

TEST_F(ReadWriteGate, ReadsAndWritesAfterSurpriseRemovalEndAtOnceWithDeletePending)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(pdo).at(0), &file));
    EXPECT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_SURPRISE_REMOVAL).status);
    auto read = file->StartRead(16);
    auto write = file->StartWrite({1, 2, 3});
    EXPECT_TRUE(read->Done());
    EXPECT_EQ(STATUS_DELETE_PENDING, read->Status());
    EXPECT_EQ(0u, read->Information());
    EXPECT_EQ(STATUS_DELETE_PENDING, write->Status());
    EXPECT_EQ(0u, write->Information());
    file->Close();
}

TEST_F(ReadWriteGate, ReadsAndWritesAfterRemovalBeganEndWithDeletePending)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(pdo).at(0), &file));
    Port()->DeviceRemoved = 1;  // as IRP_MN_REMOVE_DEVICE sets it before it waits for the close
    EXPECT_EQ(STATUS_DELETE_PENDING, file->StartRead(1)->Status());
    EXPECT_EQ(STATUS_DELETE_PENDING, file->StartWrite({9})->Status());
    Port()->DeviceRemoved = 0;
    file->Close();
}
