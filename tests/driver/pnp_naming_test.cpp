// The port's names and its life through Plug and Play: the DOS link and the SERIALCOMM
// value a start makes and a removal takes away, the names a start refuses, a name
// another device holds, a start the lower drivers fail, the state word through the
// query, cancel, stop and removal requests, and what a surprise-removed port answers.
#include "driver/sim_fixture.h"

#include <string>

using pipesim::Pipe;

namespace {

const std::u16string kCom5 = u"\\DosDevices\\COM5";

std::u16string SerialComm() { return hk::registry::DeviceMapKey(u"SERIALCOMM"); }

// The REG_SZ data of a SERIALCOMM value, or nothing when there is no value of that name.
std::optional<Bytes> SerialCommValue(const std::u16string& name)
{
    hk::RegistryValue v;
    if (!hk::registry::Get(SerialComm(), name, &v)) return std::nullopt;
    EXPECT_EQ((ULONG)REG_SZ, v.type);
    return v.data;
}

Bytes Utf16(const std::u16string& s, bool withNul = true)
{
    Bytes b;
    for (char16_t c : s) b.insert(b.end(), {(UCHAR)(c & 0xFF), (UCHAR)(c >> 8)});
    if (withNul) b.insert(b.end(), {0, 0});
    return b;
}

pipesim::Options Named(hk::RegistryValue portName, const char* instance = "SIM0")
{
    pipesim::Options o;
    o.instanceId = W((std::string("USB\\VID_0403&PID_6001\\") + instance).c_str());
    o.registry = {std::move(portName)};
    return o;
}

hk::RegistryValue PortName(const std::u16string& name) { return hk::RegistryValue::String(u"PortName", name); }

}  // namespace

class PortNaming : public SimPortTest {
protected:
    std::u16string Interface() const { return hk::names::InterfacesOf(sim->Pdo()).at(0); }
    void RemovePort()
    {
        ASSERT_EQ(STATUS_SUCCESS, stack->Remove().status);
        port = nullptr;
    }
};

TEST_F(PortNaming, AStartLinksTheDosNameToTheInterfaceAndRecordsItUntilRemoval)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter(Named(PortName(u"COM5"))));
    ASSERT_EQ(1u, hk::names::InterfacesOf(sim->Pdo()).size());
    const std::u16string link = Interface();
    EXPECT_FALSE(hk::names::LinkExists(kCom5)) << "no name before the start";
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);

    EXPECT_TRUE(hk::names::LinkExists(kCom5));
    EXPECT_EQ(link, hk::names::LinkTarget(kCom5));
    EXPECT_EQ(std::vector<std::u16string>{link}, hk::registry::ValueNames(SerialComm()));
    EXPECT_EQ(Utf16(u"COM5"), SerialCommValue(link)) << "COM5 and its NUL: 10 bytes";

    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(kCom5, &file)) << "an application opens the port by its DOS name";
    EXPECT_EQ(port, file->Target());
    EXPECT_EQ(STATUS_SUCCESS, file->Close());
    file.reset();

    RemovePort();
    EXPECT_FALSE(hk::names::LinkExists(kCom5));
    EXPECT_FALSE(SerialCommValue(link));
    EXPECT_EQ(0, hk::names::InterfaceState(link));
    sim.reset();
    ExpectClean();
    EXPECT_EQ(0u, hk::OpenRegistryHandles());
}

TEST_F(PortNaming, AMissingEmptyUnterminatedOrOverlongNameFailsTheStartAndNamesNothing)
{
    struct Case {
        const char* what;
        std::optional<hk::RegistryValue> value;  // none: the device key has no PortName
        NTSTATUS status;
    };
    Bytes longData = Utf16(u"COM5");
    longData.resize(258, 'A');  // a terminated COM5 followed by more than the name's 256 bytes
    const Case cases[] = {
        {"missing", std::nullopt, STATUS_OBJECT_NAME_NOT_FOUND},
        {"empty", PortName(u""), STATUS_INVALID_PARAMETER},
        {"not NUL-terminated", hk::RegistryValue::Bytes(u"PortName", REG_SZ, Utf16(u"COM5", false)),
         STATUS_INVALID_PARAMETER},
        {"117 characters", PortName(u"COM" + std::u16string(114, u'9')), STATUS_INVALID_PARAMETER},
        {"data over 256 bytes", hk::RegistryValue::Bytes(u"PortName", REG_SZ, longData), STATUS_INVALID_PARAMETER},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A placeholder name for the missing case, deleted from the device key below.
        ASSERT_EQ(STATUS_SUCCESS,
                  AddAdapter(Named(c.value.value_or(PortName(u"COM7")), ("N" + std::to_string(n++)).c_str())));
        if (!c.value) {
            ASSERT_TRUE(hk::registry::Delete(hk::registry::DeviceKey(sim->Pdo()), u"PortName"));
        }
        EXPECT_EQ(c.status, stack->Pnp(IRP_MN_START_DEVICE).status);
        EXPECT_EQ((ULONG)RUN_NOT_STARTED, Port()->RunState);
        EXPECT_EQ(nullptr, Port()->DosDeviceName.Buffer);
        EXPECT_FALSE(hk::names::LinkExists(kCom5));
        EXPECT_FALSE(hk::names::LinkExists(u"\\DosDevices\\COM7"));
        EXPECT_TRUE(hk::registry::ValueNames(SerialComm()).empty());
        RemovePort();
        EXPECT_EQ(0u, hk::OpenRegistryHandles());
    }

    // The longest name that fits: 116 characters.
    const std::u16string longest = u"COM" + std::u16string(113, u'9');
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter(Named(PortName(longest), "LONGEST")));
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
    EXPECT_EQ((ULONG)RUN_WORKING, Port()->RunState);
    EXPECT_EQ(Interface(), hk::names::LinkTarget(u"\\DosDevices\\" + longest));
    EXPECT_EQ(Utf16(longest), SerialCommValue(Interface()));
}

TEST_F(PortNaming, ANameFailureAfterTheLinkTakesTheLinkBackAndWorksAfterwards)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter(Named(PortName(u"COM5"))));
    hk::FailApi(hk::Api::RtlWriteRegistryValue, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, stack->Pnp(IRP_MN_START_DEVICE).status);
    EXPECT_FALSE(hk::names::LinkExists(kCom5)) << "no link without its SERIALCOMM value";
    EXPECT_EQ((ULONG)RUN_NOT_STARTED, Port()->RunState);
    EXPECT_EQ(nullptr, Port()->DosDeviceName.Buffer);

    EXPECT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status) << "the next start names the port";
    EXPECT_EQ(Interface(), hk::names::LinkTarget(kCom5));
    EXPECT_EQ(Utf16(u"COM5"), SerialCommValue(Interface()));
}

TEST_F(PortNaming, ASecondDeviceWithATakenNameFailsAndItsRemovalLeavesTheFirstsNames)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter(Named(PortName(u"COM5"), "FIRST")));
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
    const std::u16string firstLink = Interface();
    std::unique_ptr<pipesim::PipeSim> firstSim = std::move(sim);
    hk::DeviceStack firstStack = *stack;
    PDEVICE_OBJECT firstPort = port;
    port = nullptr;

    ASSERT_EQ(STATUS_SUCCESS, AddAdapter(Named(PortName(u"COM5"), "SECOND")));
    ASSERT_NE(firstLink, Interface());
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, stack->Pnp(IRP_MN_START_DEVICE).status);
    EXPECT_EQ((ULONG)RUN_NOT_STARTED, Port()->RunState);
    EXPECT_EQ(nullptr, Port()->DosDeviceName.Buffer);
    EXPECT_FALSE(SerialCommValue(Interface()));

    const std::u16string secondLink = Interface();
    RemovePort();
    EXPECT_EQ(firstLink, hk::names::LinkTarget(kCom5)) << "the first device's link survives the second's removal";
    EXPECT_EQ(Utf16(u"COM5"), SerialCommValue(firstLink));
    EXPECT_FALSE(SerialCommValue(secondLink));
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(kCom5, &file));
    EXPECT_EQ(firstPort, file->Target());
    file->Close();
    file.reset();

    EXPECT_EQ(STATUS_SUCCESS, firstStack.Remove().status);
    EXPECT_FALSE(hk::names::LinkExists(kCom5));
    EXPECT_TRUE(hk::registry::ValueNames(SerialComm()).empty());
    firstSim.reset();
}

TEST_F(PortNaming, AStartTheLowerDriversFailNamesNothingAndARestartAfterAStopKeepsTheName)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter(Named(PortName(u"COM5"))));
    sim->Bus().CompleteWith(IRP_MJ_PNP, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, stack->Pnp(IRP_MN_START_DEVICE).status);
    EXPECT_FALSE(hk::names::LinkExists(kCom5));
    EXPECT_TRUE(hk::registry::ValueNames(SerialComm()).empty());
    EXPECT_EQ((ULONG)PNP_NOT_STARTED, Port()->PnpState);
    EXPECT_EQ((ULONG)RUN_NOT_STARTED, Port()->RunState);
    sim->Bus().CompleteWith(IRP_MJ_PNP, STATUS_SUCCESS);

    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_STOP_DEVICE).status);
    EXPECT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status) << "its own link is no collision";
    EXPECT_EQ((ULONG)PNP_STARTED, Port()->PnpState);
    EXPECT_EQ((ULONG)RUN_WORKING, Port()->RunState);
    EXPECT_EQ(Interface(), hk::names::LinkTarget(kCom5));
    EXPECT_EQ(Utf16(u"COM5"), SerialCommValue(Interface()));

    RemovePort();
    EXPECT_FALSE(hk::names::LinkExists(kCom5));
    EXPECT_TRUE(hk::registry::ValueNames(SerialComm()).empty());
}

TEST_F(PortNaming, ARemovalOfANeverStartedDeviceDisablesItsInterfaceAndLeavesNothing)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter(Named(PortName(u"COM5"))));
    const std::u16string link = Interface();
    EXPECT_EQ(1, hk::names::InterfaceState(link));
    PDEVICE_OBJECT device = port;
    RemovePort();
    EXPECT_EQ(0, hk::names::InterfaceState(link));
    EXPECT_FALSE(hk::names::LinkExists(kCom5));
    EXPECT_TRUE(hk::registry::ValueNames(SerialComm()).empty());
    EXPECT_FALSE(hk::IsLiveDevice(device));
    sim.reset();
    ExpectClean();
}

class PnpStateWord : public SimPortTest {};

TEST_F(PnpStateWord, QueriesAndCancelsMoveTheStateAndACancelOfTheOtherKindLeavesIt)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
    auto state = [&] { return Port()->PnpState; };

    EXPECT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_QUERY_REMOVE_DEVICE).status);
    EXPECT_EQ((ULONG)PNP_REMOVE_PENDING, state());
    EXPECT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_CANCEL_STOP_DEVICE).status);
    EXPECT_EQ((ULONG)PNP_REMOVE_PENDING, state()) << "a stop's cancel does not end a pending removal";
    EXPECT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status);
    EXPECT_EQ((ULONG)PNP_STARTED, state());

    EXPECT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_QUERY_STOP_DEVICE).status);
    EXPECT_EQ((ULONG)PNP_STOP_PENDING, state());
    EXPECT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status);
    EXPECT_EQ((ULONG)PNP_STOP_PENDING, state()) << "a removal's cancel does not end a pending stop";
    EXPECT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_CANCEL_STOP_DEVICE).status);
    EXPECT_EQ((ULONG)PNP_STARTED, state());

    EXPECT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_STOP_DEVICE).status);
    EXPECT_EQ((ULONG)PNP_STOP_PENDING, state());
    EXPECT_EQ((ULONG)PNP_STARTED, Port()->PreviousPnpState);
    EXPECT_EQ((ULONG)RUN_WORKING, Port()->RunState) << "a stop keeps the run state";

    EXPECT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_SURPRISE_REMOVAL).status);
    EXPECT_EQ((ULONG)PNP_SURPRISE_REMOVED, state());
    EXPECT_EQ(1, Port()->SurpriseRemoved);
    EXPECT_EQ(0, Port()->DeviceRemoved);
    // Each request also reached the pipe driver.
    EXPECT_EQ(2, sim->Count(IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE));
    EXPECT_EQ(1, sim->Count(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL));
}

class SurpriseRemoval : public OpenPortTest {};

TEST_F(SurpriseRemoval, NewRequestsEndWithDeletePendingWhileThePipesStayOpenUntilTheClose)
{
    const std::u16string link = hk::names::InterfacesOf(sim->Pdo()).at(0);
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_SURPRISE_REMOVAL).status);
    sim->ClearRecords();

    auto read = file->StartRead(16);
    auto write = file->StartWrite({1, 2, 3});
    auto status = file->StartIoctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    for (const auto& r : {read, write, status}) {
        ASSERT_TRUE(r->Done());
        EXPECT_EQ(STATUS_DELETE_PENDING, r->Status());
        EXPECT_EQ(0u, r->Information());
    }
    EXPECT_TRUE(sim->OutTransfers().empty()) << "nothing went to the adapter";
    for (Pipe p : {Pipe::DataOut, Pipe::DataIn})
        EXPECT_TRUE(sim->IsOpen(p)) << "the surprise removal leaves the pipes to the close";

    EXPECT_EQ(STATUS_SUCCESS, file->Close());
    file.reset();
    for (Pipe p : {Pipe::DataOut, Pipe::DataIn}) EXPECT_FALSE(sim->IsOpen(p));
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_REMOVE_DEVICE).status);
    port = nullptr;
    EXPECT_EQ(0, hk::names::InterfaceState(link));
    EXPECT_TRUE(hk::registry::ValueNames(hk::registry::DeviceMapKey(u"SERIALCOMM")).empty());
}
