// The port in the stack Windows builds for an adapter: the bus driver's PDO at the
// bottom, the pipe driver's device on it, the port on top. The port attaches to and
// talks to the pipe driver, and takes its configuration and names from the PDO.
#include "driver/sim_fixture.h"

using namespace pipesim;

class PortStack : public SimPortTest {};

TEST_F(PortStack, ThePortIsAttachedToThePipeDriverAndKnowsThePdo)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    ASSERT_NE(nullptr, port);
    ASSERT_NE(sim->Device(), sim->Pdo());
    EXPECT_EQ(sim->Device(), Port()->LowerDevice);
    EXPECT_EQ(sim->Pdo(), Port()->PhysicalDevice);
    EXPECT_EQ(port, sim->Device()->AttachedDevice);
    EXPECT_EQ(sim->Device()->StackSize + 1, port->StackSize);
    EXPECT_EQ(1u, hk::names::InterfacesOf(sim->Pdo()).size()) << "the COM-port interface belongs to the PDO";
}

TEST_F(PortStack, RequestsThePortPassesDownReachThePipeDriverOnTheirWayToThePdo)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    sim->ClearRecords();
    EXPECT_EQ(STATUS_NOT_SUPPORTED, stack->Pnp(IRP_MN_QUERY_DEVICE_TEXT).status);
    EXPECT_EQ(STATUS_SUCCESS, stack->SetSystemPower(PowerSystemWorking).status);
    hk::WmiSendForeign(stack->Top(), 0x1234, GUID{});
    hk::Result other = hk::SendRequest(stack->Top(), [](PIO_STACK_LOCATION s) { s->MajorFunction = IRP_MJ_SHUTDOWN; });
    EXPECT_EQ(STATUS_SUCCESS, other.status);

    EXPECT_EQ(1, sim->Count(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT));
    EXPECT_EQ(1, sim->Count(IRP_MJ_POWER, IRP_MN_SET_POWER));
    EXPECT_EQ(1, sim->Count(IRP_MJ_SYSTEM_CONTROL));
    EXPECT_EQ(1, sim->Count(IRP_MJ_SHUTDOWN)) << "an unhandled major function";
    auto below = sim->Bus().Arrived();
    ASSERT_EQ(3u, below.size()) << "the pipe driver passes PnP, power and WMI on";
    EXPECT_EQ(IRP_MJ_PNP, below[0].major);
    EXPECT_EQ(IRP_MJ_POWER, below[1].major);
    EXPECT_EQ(IRP_MJ_SYSTEM_CONTROL, below[2].major);
}

TEST_F(PortStack, TheDriversRegistryValuesComeFromThePdosDeviceKey)
{
    Options o;
    o.registry = {hk::RegistryValue::Dword(u"RxReqSize", 512), hk::RegistryValue::Dword(u"EndPointCaps", 2),
                  hk::RegistryValue::Dword(u"TxAsync", 1)};
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter(o));
    EXPECT_EQ(512u, Port()->RxReqSize);
    EXPECT_EQ(2u, Port()->EndPointCaps);
    EXPECT_EQ(1u, Port()->TxAsync);
}

TEST_F(PortStack, RemovalTakesThePortOffAndGoesThroughThePipeDriverToThePdo)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    EXPECT_EQ(STATUS_SUCCESS, stack->Remove().status);
    port = nullptr;
    EXPECT_EQ(1, sim->Count(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE));
    auto below = sim->Bus().Arrived();
    ASSERT_EQ(1u, below.size());
    EXPECT_EQ(IRP_MN_REMOVE_DEVICE, below[0].minor);
    EXPECT_EQ(nullptr, sim->Device()->AttachedDevice) << "the port detached";
    EXPECT_EQ(nullptr, driver->Object()->DeviceObject) << "and deleted its device";
    EXPECT_EQ(nullptr, sim->Pdo()->AttachedDevice) << "the pipe driver detached from the PDO";
    sim.reset();
    ExpectClean();  // the pipe driver's device and the PDO were deleted without leaks
}
