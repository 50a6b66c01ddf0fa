// The port as a WMI data provider, seen through the WMI front end and the WMI library:
// the private block (debug level and model name) and its sets, the standard blocks it
// serves (port name, performance counters) and those it refuses, its registration
// information, requests that are not its own, a surprise-removed port, and the debug
// level shared by every port of the driver.
#include "driver/port_fixture.h"
#include "driver/sim_fixture.h"

using hk::RegistryValue;

namespace {

const GUID kPortName = {0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
const GUID kComm = {0xEDB16A62, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
const GUID kHardware = {0x270B9B86, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
const GUID kPerf = {0x56415ACC, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
const GUID kProperties = {0x8209EC2A, 0x2D6B, 0x11D2, {0xBA, 0x49, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}};
const GUID kPrivate = {0x2F8A6504, 0x3E7A, 0x4698, {0xA8, 0xFA, 0xB3, 0x07, 0x3F, 0xDC, 0x19, 0x4D}};
const GUID kNeverRegistered = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};

// Little-endian value of `width` bytes.
Bytes Le(ULONG value, int width)
{
    Bytes b;
    for (int i = 0; i < width; ++i) b.push_back((UCHAR)(value >> (8 * i)));
    return b;
}
// UTF-16LE text and a wide NUL.
Bytes Utf16(const std::u16string& s)
{
    Bytes b;
    for (char16_t c : s) b.insert(b.end(), {(UCHAR)(c & 0xFF), (UCHAR)(c >> 8)});
    b.insert(b.end(), {0, 0});
    return b;
}
Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes b;
    for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}
// The private block: the debug level, the name's byte length, the name.
Bytes Private(ULONG level) { return Cat({Le(level, 4), Le(20, 2), Utf16(u"Quorvanel")}); }
// The port-name block: the name's byte length with its NUL, then the name.
Bytes PortNameBlock(const std::u16string& name) { return Cat({Le((ULONG)(name.size() + 1) * 2, 2), Utf16(name)}); }

// The counted string at `offset` of a WMIREGINFO.
std::u16string Counted(const Bytes& info, ULONG offset)
{
    USHORT n = 0;
    if (offset + 2 > info.size()) return u"<outside>";
    std::memcpy(&n, info.data() + offset, 2);
    if (offset + 2 + n > info.size()) return u"<outside>";
    std::u16string s(n / 2, u'\0');
    std::memcpy(s.data(), info.data() + offset + 2, n);
    return s;
}

}  // namespace

class WmiPort : public DriverTest {
protected:
    Bytes Query(const GUID& guid, ULONG room = 256)
    {
        hk::WmiResult r = hk::WmiQuerySingleInstance(port, guid, room);
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        EXPECT_FALSE(r.tooSmall);
        return r.data;
    }
    // The size a query with this room is told it needs.
    ULONG Needed(const GUID& guid, ULONG room)
    {
        hk::WmiResult r = hk::WmiQuerySingleInstance(port, guid, room);
        EXPECT_EQ(STATUS_SUCCESS, r.status);
        EXPECT_TRUE(r.tooSmall) << room;
        return r.sizeNeeded;
    }
    void SetPortName(const RegistryValue& value) { hk::registry::Set(hk::registry::DeviceKey(pdo), value); }
};

TEST_F(WmiPort, ThePrivateBlockIsTheDebugLevelAndTheModelNameInBothQueryForms)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({RegistryValue::Dword(u"DebugLevel", 0x01020304)}));
    EXPECT_EQ(26u, Needed(kPrivate, 25));
    EXPECT_EQ(Private(0x01020304), Query(kPrivate, 26));
    EXPECT_EQ(Private(0x01020304), Query(kPrivate, 64)) << "26 bytes whatever the room";

    // All data: the header (48), three ULONGs and the one instance's offset and length
    // make 68 bytes; the data starts at the next 8-byte boundary, 72.
    hk::WmiResult all = hk::WmiQueryAllData(port, kPrivate, 97);
    EXPECT_TRUE(all.tooSmall);
    EXPECT_EQ(98u, all.sizeNeeded);
    all = hk::WmiQueryAllData(port, kPrivate, 98);
    ASSERT_EQ(STATUS_SUCCESS, all.status);
    EXPECT_EQ(98u, all.information);
    ASSERT_EQ(98u, all.wnode.size());
    Bytes layout(all.wnode.begin() + 48, all.wnode.begin() + 68);
    EXPECT_EQ(Cat({Le(72, 4), Le(1, 4), Le(0, 4), Le(72, 4), Le(26, 4)}), layout)
        << "DataBlockOffset, InstanceCount, OffsetInstanceNameOffsets, the instance's offset and length";
    EXPECT_EQ(Private(0x01020304), Bytes(all.wnode.begin() + 72, all.wnode.end()));
}

TEST_F(WmiPort, OnlyTheDebugLevelCanBeSetAndOnlyWithFourBytes)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({RegistryValue::Dword(u"DebugLevel", 1)}));
    hk::WmiResult r = hk::WmiSetSingleItem(port, kPrivate, 1, Le(0xA1B2C3D4, 4));
    EXPECT_EQ(STATUS_SUCCESS, r.status);
    EXPECT_EQ(0u, r.information);
    EXPECT_EQ(Private(0xA1B2C3D4), Query(kPrivate));

    for (size_t size : {3u, 5u})
        EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH, hk::WmiSetSingleItem(port, kPrivate, 1, Bytes(size, 7)).status) << size;
    EXPECT_EQ(STATUS_WMI_READ_ONLY, hk::WmiSetSingleItem(port, kPrivate, 2, Utf16(u"Otherwise")).status);
    EXPECT_EQ(STATUS_WMI_READ_ONLY, hk::WmiSetSingleItem(port, kPrivate, 2, Le(5, 4)).status);
    EXPECT_EQ(Private(0xA1B2C3D4), Query(kPrivate)) << "nothing changed";

    EXPECT_EQ(STATUS_SUCCESS, hk::WmiSetSingleInstance(port, kPrivate, Cat({Le(9, 4), Le(0xEEEEEEEE, 4)})).status);
    EXPECT_EQ(Private(9), Query(kPrivate)) << "the first four bytes only";
    EXPECT_EQ(STATUS_INFO_LENGTH_MISMATCH, hk::WmiSetSingleInstance(port, kPrivate, Le(0x0A0B0C, 3)).status);
    EXPECT_EQ(Private(9), Query(kPrivate));
}

// The registration lists the three blocks the port does not serve, so their requests
// reach the port's routines and are refused there. A GUID it never registered is
// answered by the WMI library: the port's routines never see it.
TEST_F(WmiPort, UnservedBlocksAreRefusedTheCountersAreReadOnlyAndUnknownGuidsAreNotFound)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    for (const GUID* guid : {&kComm, &kHardware, &kProperties}) {
        hk::WmiResult q = hk::WmiQuerySingleInstance(port, *guid, 256);
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, q.status);
        EXPECT_EQ(0u, q.information);
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, hk::WmiSetSingleInstance(port, *guid, Le(1, 4)).status);
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, hk::WmiSetSingleItem(port, *guid, 1, Le(1, 4)).status);
    }
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, hk::WmiSetSingleInstance(port, kPortName, Utf16(u"COM9")).status);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, hk::WmiSetSingleItem(port, kPortName, 1, Utf16(u"COM9")).status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, hk::WmiSetSingleInstance(port, kPerf, Bytes(24)).status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, hk::WmiSetSingleItem(port, kPerf, 1, Le(0, 4)).status);

    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, hk::WmiQuerySingleInstance(port, kNeverRegistered, 256).status);
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, hk::WmiSetSingleInstance(port, kNeverRegistered, Le(1, 4)).status);
    EXPECT_EQ(STATUS_WMI_GUID_NOT_FOUND, hk::WmiSetSingleItem(port, kNeverRegistered, 1, Le(1, 4)).status);
}

TEST_F(WmiPort, ThePortNameIsTheRegistryValueReadAfreshOnEachQuery)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({RegistryValue::String(u"PortName", u"COM5")}));
    EXPECT_EQ(12u, Needed(kPortName, 11));
    EXPECT_EQ(Cat({{10, 0}, {'C', 0, 'O', 0, 'M', 0, '5', 0, 0, 0}}), Query(kPortName, 12));
    SetPortName(RegistryValue::String(u"PortName", u"COM17"));
    EXPECT_EQ(PortNameBlock(u"COM17"), Query(kPortName));

    // 64 characters and their NUL do not fit the 128-byte buffer: an empty name.
    std::u16string long64;
    for (int i = 0; i < 64; ++i) long64 += (char16_t)(u'A' + i % 26);
    SetPortName(RegistryValue::String(u"PortName", long64));
    EXPECT_EQ(Bytes({2, 0, 0, 0}), Query(kPortName));
    // So does one too long even for the registry query's own buffer.
    SetPortName(RegistryValue::String(u"PortName", long64 + long64));
    EXPECT_EQ(Bytes({2, 0, 0, 0}), Query(kPortName));
    // Exactly 128 bytes with no NUL fit: the block carries the 64 characters and a NUL
    // of its own, and nothing past the buffer.
    Bytes unterminated = Utf16(long64);
    unterminated.resize(128);
    SetPortName(RegistryValue::Bytes(u"PortName", REG_SZ, unterminated));
    EXPECT_EQ(132u, Needed(kPortName, 131));
    EXPECT_EQ(PortNameBlock(long64), Query(kPortName));

    ASSERT_TRUE(hk::registry::Delete(hk::registry::DeviceKey(pdo), u"PortName"));
    hk::WmiResult r = hk::WmiQuerySingleInstance(port, kPortName, 256);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, r.status);
    EXPECT_EQ(0u, r.information);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(0u, hk::OpenRegistryHandles()) << "the device key is closed on every path";
}

TEST_F(WmiPort, ThePerformanceBlockIsTheSixCountersInOrder)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    SERIALPERF_STATS& s = Port()->WmiPerfStats;
    s.ReceivedCount = 0x10000001;
    s.TransmittedCount = 0x20000002;
    s.FrameErrorCount = 0x30000003;
    s.SerialOverrunErrorCount = 0x40000004;
    s.BufferOverrunErrorCount = 0x50000005;
    s.ParityErrorCount = 0x60000006;
    EXPECT_EQ(24u, Needed(kPerf, 23));
    EXPECT_EQ(Cat({Le(0x10000001, 4), Le(0x20000002, 4), Le(0x30000003, 4), Le(0x40000004, 4), Le(0x50000005, 4),
                   Le(0x60000006, 4)}),
              Query(kPerf, 24));
}

TEST_F(WmiPort, RegistrationNamesTheSixBlocksThePdoTheServiceKeyAndTheMofResource)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    hk::WmiResult r = hk::WmiRegInfo(port);
    ASSERT_EQ(STATUS_SUCCESS, r.status);
    ASSERT_GE(r.data.size(), sizeof(WMIREGINFOW) + 6 * sizeof(WMIREGGUIDW));
    auto* info = (PWMIREGINFOW)r.data.data();
    ASSERT_EQ(6u, info->GuidCount);
    const GUID* expected[] = {&kPortName, &kComm, &kHardware, &kPerf, &kProperties, &kPrivate};
    for (ULONG i = 0; i < 6; ++i) {
        const WMIREGGUIDW& g = info->WmiRegGuid[i];
        EXPECT_TRUE(IsEqualGUID(*expected[i], g.Guid)) << i;
        EXPECT_EQ((ULONG)WMIREG_FLAG_INSTANCE_PDO, g.Flags) << i;
        EXPECT_EQ(1u, g.InstanceCount) << i;
        EXPECT_EQ((ULONG_PTR)pdo, g.Pdo) << "instance names from the adapter's PDO";
    }
    EXPECT_EQ(std::u16string(kServiceKey), Counted(r.data, info->RegistryPath));
    EXPECT_EQ(u"MofResourceName", Counted(r.data, info->MofResourceName));
}

// The driver has one debug level: what one port sets, every port reports, until an
// AddDevice finds a "DebugLevel" value in its device key.
TEST_F(WmiPort, TheDebugLevelIsDriverWideUntilTheNextAddDeviceReadsItAgain)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({RegistryValue::Dword(u"DebugLevel", 3)}));
    hk::DeviceStack first = *stack;
    PDEVICE_OBJECT firstPort = port;
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    hk::DeviceStack second = *stack;
    EXPECT_EQ(Private(3), Query(kPrivate));

    ASSERT_EQ(STATUS_SUCCESS, hk::WmiSetSingleItem(firstPort, kPrivate, 1, Le(9, 4)).status);
    EXPECT_EQ(Private(9), Query(kPrivate)) << "set through the first port, reported by the second";
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter({RegistryValue::Dword(u"DebugLevel", 5)}));
    EXPECT_EQ(Private(5), hk::WmiQuerySingleInstance(firstPort, kPrivate, 26).data);

    first.Remove();
    second.Remove();
}

// A surprise-removed port answers every system-control request itself, and stays
// registered until the removal, which deregisters it (the verifier reports a device
// deleted while registered).
class WmiRemoval : public OpenPortTest {};

TEST_F(WmiRemoval, AfterASurpriseRemovalEveryRequestEndsWithDeletePending)
{
    ASSERT_TRUE(hk::names::WmiRegistered(port));
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_SURPRISE_REMOVAL).status);
    sim->ClearRecords();
    std::vector<hk::WmiResult> answers = {
        hk::WmiQuerySingleInstance(port, kPrivate, 26), hk::WmiQueryAllData(port, kPerf, 256),
        hk::WmiSetSingleInstance(port, kPrivate, Le(1, 4)), hk::WmiSetSingleItem(port, kPrivate, 1, Le(1, 4)),
        hk::WmiRegInfo(port), hk::WmiSendForeign(port, (ULONG_PTR)sim->Device(), kPrivate)};
    for (const hk::WmiResult& r : answers) {
        EXPECT_EQ(STATUS_DELETE_PENDING, r.status);
        EXPECT_EQ(0u, r.information);
    }
    EXPECT_EQ(0, sim->Count(IRP_MJ_SYSTEM_CONTROL)) << "none went down";
    EXPECT_TRUE(hk::names::WmiRegistered(port));

    EXPECT_EQ(STATUS_SUCCESS, file->Close());
    file.reset();
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_REMOVE_DEVICE).status);
    port = nullptr;
}

class WmiStack : public SimPortTest {};

// What WMILIB does not take for this device goes down to the pipe driver, and the
// port returns what the drivers below answered.
TEST_F(WmiStack, RequestsForAnotherProviderOrOfAnotherMinorGoDownWithTheLowerStatus)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    sim->Bus().CompleteWith(IRP_MJ_SYSTEM_CONTROL, STATUS_WMI_ITEMID_NOT_FOUND);
    sim->ClearRecords();
    EXPECT_EQ(STATUS_WMI_ITEMID_NOT_FOUND, hk::WmiSendForeign(port, (ULONG_PTR)sim->Device(), kPrivate).status);
    EXPECT_EQ(1, sim->Count(IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_SINGLE_INSTANCE));

    hk::Result notWmi = hk::SendRequest(port, [&](PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        s->MinorFunction = 0x0C;  // no WMI minor function
        s->Parameters.WMI.ProviderId = (ULONG_PTR)port;
    });
    EXPECT_EQ(STATUS_WMI_ITEMID_NOT_FOUND, notWmi.status);
    EXPECT_EQ(1, sim->Count(IRP_MJ_SYSTEM_CONTROL, 0x0C));
}
