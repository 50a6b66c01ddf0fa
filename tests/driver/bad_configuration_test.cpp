// Bad configuration: tuning values of the wrong type, the wrong size, huge and zero,
// and port names that are empty, unterminated, too long, oddly written, of the wrong
// type or taken by another port. Each ends in a default, a clamp or a refused start
// or open, with nothing read or written past a buffer (the sanitizer builds run these
// too) and nothing left behind after removal.
#include "driver/sim_fixture.h"

#include <cstring>
#include <string>

using hk::RegistryValue;
using pipesim::Kind;
using pipesim::Pipe;

namespace {

constexpr ULONG kRegQword = 11;  // REG_QWORD, which the emulation's header leaves out
constexpr LONGLONG kMs = 10000;
constexpr ULONG kLongestPoll = 10000;  // the longest poll period a port keeps, in ms

// The modem status register as a 16550 lays it out.
constexpr ULONG kMsrCts = 0x10;
constexpr ULONG kMsrDsr = 0x20;
constexpr ULONG kMsrDcd = 0x80;

Bytes Le32(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }

// UTF-16LE text, with a wide NUL unless told otherwise.
Bytes Utf16(const std::u16string& s, bool withNul = true)
{
    Bytes b;
    for (char16_t c : s) b.insert(b.end(), {(UCHAR)(c & 0xFF), (UCHAR)(c >> 8)});
    if (withNul) b.insert(b.end(), {0, 0});
    return b;
}

std::u16string SerialComm() { return hk::registry::DeviceMapKey(u"SERIALCOMM"); }

// The pool still allocated, the driver's copy of its registry path aside.
size_t PoolBlocksLeft()
{
    size_t n = 0;
    for (const auto& b : hk::OutstandingPool()) n += b.address != DriverRegistryPath.Buffer;
    return n;
}

// Each tuning value with its default and where the port keeps it.
struct Tuning {
    const char16_t* name;
    ULONG byDefault;
    ULONG (*kept)(PortExtension*);
};
constexpr ULONG kDebugLevelBefore = 0x5EED;  // what an absent DebugLevel leaves in place
const Tuning kTunings[] = {
    {u"RxReqSize", 0, [](PortExtension* p) { return p->RxReqSize; }},
    {u"RxPollPeriod", 0, [](PortExtension* p) { return p->RxPollPeriod; }},
    {u"CtlPollPeriod", 10, [](PortExtension* p) { return (ULONG)p->CtlPollPeriod; }},
    {u"TxKickThreshold", 0, [](PortExtension* p) { return p->TxKickThreshold; }},
    {u"TxAsync", 0, [](PortExtension* p) { return p->TxAsync; }},
    {u"NoBaudCheck", 0, [](PortExtension* p) { return p->NoBaudCheck; }},
    {u"TxAllowNullPacket", 1, [](PortExtension* p) { return p->TxAllowNullPacket; }},
    {u"EndPointCaps", 0, [](PortExtension* p) { return p->EndPointCaps; }},
    {u"DebugLevel", kDebugLevelBefore, [](PortExtension*) { return (ULONG)DebugLevel; }},
};

std::string Narrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? (char)c : '?';
    return out;
}

}  // namespace

class BadConfiguration : public SimPortTest {
protected:
    void TearDown() override
    {
        Unplug();
        SimPortTest::TearDown();
    }
    // A new adapter with these device-key values (and a PortName of its own unless
    // they hold one), started.
    void Start(std::vector<RegistryValue> values, pipesim::Options o = {})
    {
        o.registry = std::move(values);
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(std::move(o)));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
    }
    NTSTATUS Open() { return hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file); }
    // Closes the handle (when open) and removes the adapter.
    void Unplug()
    {
        if (file) file->Close();
        file.reset();
        if (port) stack->Remove();
        port = nullptr;
    }
    // Closes the handle; the virtual milliseconds the close took.
    LONGLONG CloseMs()
    {
        LONGLONG start = hk::Now();
        EXPECT_EQ(STATUS_SUCCESS, file->Close());
        file.reset();
        return (hk::Now() - start) / kMs;
    }
    NTSTATUS SetBaud(ULONG rate) { return file->Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, nullptr, 0, nullptr); }
    NTSTATUS Control(ULONG code) { return file->Ioctl(code, nullptr, 0, nullptr, 0, nullptr); }
    ULONG ModemStatus()
    {
        ULONG value = 0, returned = 0;
        EXPECT_EQ(STATUS_SUCCESS, file->Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &value, sizeof value, &returned));
        return value;
    }
    // Reads until `n` bytes came or a virtual second passed.
    Bytes ReadAll(size_t n)
    {
        Bytes got;
        for (int i = 0; i < 1000 && got.size() < n; ++i) {
            Bytes chunk(n - got.size());
            ULONG transferred = 0;
            EXPECT_EQ(STATUS_SUCCESS, file->Read(chunk.data(), (ULONG)chunk.size(), &transferred));
            got.insert(got.end(), chunk.begin(), chunk.begin() + transferred);
            if (got.size() < n) hk::AdvanceMs(1);
        }
        return got;
    }

    std::unique_ptr<hk::File> file;
};

// ---- Tuning values of the wrong type or size --------------------------------------------

// Whatever the registry type, a value is taken as the 32-bit word at the start of its
// data when it has at least four bytes and its whole record fits the reader's query
// buffer; any other value leaves the default.
TEST_F(BadConfiguration, AValueOfAnyTypeIsTakenAsItsFirstWordOnlyWhenItHasOneAndFitsTheQuery)
{
    struct Variant {
        const char* what;
        ULONG type;
        Bytes data;
        bool taken;
        ULONG word;  // when taken
    };
    const Bytes word123 = Le32(0x123);
    const Variant variants[] = {
        {"REG_DWORD without data", REG_DWORD, {}, false, 0},
        {"REG_DWORD of one byte", REG_DWORD, {0x23}, false, 0},
        {"REG_BINARY of three bytes", REG_BINARY, {0x23, 0x01, 0x00}, false, 0},
        {"REG_BINARY of five bytes", REG_BINARY, {0x23, 0x01, 0x00, 0x00, 0x7F}, true, 0x123},
        {"REG_QWORD", kRegQword, {0x23, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}, true, 0x123},
        {"REG_SZ \"7\"", REG_SZ, Utf16(u"7"), true, 0x37},
        {"REG_MULTI_SZ \"7\"", REG_MULTI_SZ, {0x37, 0, 0, 0, 0, 0}, true, 0x37},
        {"REG_NONE of four bytes", REG_NONE, word123, true, 0x123},
        {"REG_SZ of 40 characters", REG_SZ, Utf16(std::u16string(40, u'9')), false, 0},
        {"REG_BINARY of 64 KiB", REG_BINARY, Bytes(65536, 0x23), false, 0},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        std::vector<RegistryValue> values;
        for (const Tuning& t : kTunings) values.push_back(RegistryValue::Bytes(t.name, v.type, v.data));
        DebugLevel = kDebugLevelBefore;
        ASSERT_NO_FATAL_FAILURE(Start(values));
        for (const Tuning& t : kTunings)
            EXPECT_EQ(v.taken ? v.word : t.byDefault, t.kept(Port())) << Narrow(t.name);
        EXPECT_EQ(0u, hk::OpenRegistryHandles());
        Unplug();
    }
}

// The reader's query buffer holds the value's full information record: a 20-byte
// header, the value's name and its data, which the registry starts at the next 4-byte
// boundary; the buffer is the name's size with its NUL and 28 bytes more. Data that
// just fits is taken (read from inside the buffer), one byte more is not.
TEST_F(BadConfiguration, DataThatJustFitsTheQueryBufferIsTakenAndOneByteMoreIsNot)
{
    for (bool oneMore : {false, true}) {
        SCOPED_TRACE(oneMore ? "one byte more" : "just fits");
        std::vector<RegistryValue> values;
        for (const Tuning& t : kTunings) {
            ULONG nameBytes = (ULONG)std::char_traits<char16_t>::length(t.name) * 2;
            ULONG buffer = nameBytes + 2 + 28;
            ULONG dataOffset = (20 + nameBytes + 3) & ~3u;
            Bytes data = Le32(0x123);
            data.resize(buffer - dataOffset + (oneMore ? 1 : 0), 0xEE);
            values.push_back(RegistryValue::Bytes(t.name, REG_BINARY, data));
        }
        DebugLevel = kDebugLevelBefore;
        ASSERT_NO_FATAL_FAILURE(Start(values));
        for (const Tuning& t : kTunings) EXPECT_EQ(oneMore ? t.byDefault : 0x123, t.kept(Port())) << Narrow(t.name);
        Unplug();
    }
}

// ---- Switches ---------------------------------------------------------------------------

// A switch is on for any nonzero word, high bits included: a value stored as 0x100 or
// 0x80000000 must not read as off. TxAllowNullPacket is tried on both write paths.
TEST_F(BadConfiguration, AnyNonzeroWordTurnsASwitchOnWhicheverBitsAreSet)
{
    for (ULONG value : {0u, 1u, 0x100u, 0x10000u, 0x80000000u, 0xFFFFFFFFu}) {
        for (bool buffered : {false, true}) {
            if (buffered && !value) continue;  // the same as the direct run
            SCOPED_TRACE(testing::Message() << std::hex << "0x" << value << (buffered ? ", TxAsync too" : ""));
            const bool on = value != 0;
            ASSERT_NO_FATAL_FAILURE(Start({Dword(u"TxAsync", buffered ? value : 0), Dword(u"NoBaudCheck", value),
                                           Dword(u"TxAllowNullPacket", value)}));
            ASSERT_EQ(STATUS_SUCCESS, Open());

            // NoBaudCheck: a rate outside the list.
            EXPECT_EQ(on ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, SetBaud(12345));

            // TxAsync: with the adapter holding the transfer, a buffered write has ended
            // (its bytes are in the ring) and a direct one has not (it is the transfer).
            sim->ClearRecords();
            sim->HoldNext(Kind::Write);
            auto write = file->StartWrite(Sequence(64));
            EXPECT_EQ(buffered, write->Done());
            ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 64));
            ASSERT_EQ(STATUS_SUCCESS, write->Wait());
            EXPECT_EQ(64u, write->Information());
            hk::AdvanceMs(20);

            // TxAllowNullPacket: a transfer of one whole 64-byte packet is followed by a
            // zero-length packet.
            std::vector<Bytes> expected = {Sequence(64)};
            if (on) expected.push_back({});
            EXPECT_EQ(expected, sim->OutTransfers());
            Unplug();
        }
    }
}

// ---- Transfer sizes --------------------------------------------------------------------

// A receive transfer size that no pool can give (rounded to whole packets it is 2 or
// 4 GB) refuses every open with nothing left open, sent or allocated; the device is
// still removed cleanly.
TEST_F(BadConfiguration, AReceiveTransferSizeNoPoolCanGiveRefusesEveryOpenAndLeavesNothing)
{
    for (ULONG size : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        for (ULONG packet : {64u, 512u}) {
            SCOPED_TRACE(testing::Message() << std::hex << "RxReqSize 0x" << size << std::dec << ", packets of " << packet);
            pipesim::Options o;
            o.maxPacketIn = packet;
            ASSERT_NO_FATAL_FAILURE(Start({Dword(u"RxReqSize", size), Dword(u"EndPointCaps", 1)}, std::move(o)));
            sim->ClearRecords();
            for (int attempt = 0; attempt < 2; ++attempt) {
                EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Open());
                file.reset();
                for (Pipe p : {Pipe::DataOut, Pipe::DataIn, Pipe::Status}) EXPECT_FALSE(sim->IsOpen(p));
                EXPECT_TRUE(sim->Commands().empty()) << "the adapter's port was never enabled";
                EXPECT_EQ(0u, sim->Outstanding(Pipe::DataIn) + sim->Outstanding(Pipe::Status));
                EXPECT_EQ(0u, hk::OutstandingPoolBytes(TAG_CREA));
                EXPECT_EQ(nullptr, Port()->RxRing.Storage);
                EXPECT_EQ(0, Port()->OpenCount);
                EXPECT_EQ(0u, hk::ArmedTimerCount());
            }
            Unplug();
            sim.reset();
            EXPECT_EQ(0u, PoolBlocksLeft());
            ExpectClean();
        }
    }
}

// A transfer size far larger than the receive ring is allocated and used: what one
// transfer brings beyond the ring waits in the transfer buffer and reaches the reader
// in order.
TEST_F(BadConfiguration, AReceiveTransferSizeFarBeyondTheRingCarriesEveryByteInOrder)
{
    ASSERT_NO_FATAL_FAILURE(Start({Dword(u"RxReqSize", 0x100001)}));
    ASSERT_EQ(STATUS_SUCCESS, Open());
    EXPECT_EQ(0x100040u, Port()->RxReqSize) << "whole 64-byte packets";
    auto arrivals = sim->Arrivals();
    ASSERT_FALSE(arrivals.empty());
    EXPECT_EQ(0x100040u, arrivals.back().length);
    const Bytes data = Sequence(10000);
    sim->Feed(data, false);
    EXPECT_EQ(data, ReadAll(data.size()));
}

// Around the kick threshold's clamps and the packet rounding at open: while at least
// the threshold waits, each transfer goes out full and at once; only the short last
// piece waits for the 10 ms kick.
TEST_F(BadConfiguration, KickThresholdsAtTheirLimitsStillSendFullTransfersAtOnce)
{
    struct Case {
        ULONG stored, packet, threshold;
    };
    const Case cases[] = {
        {4095, 512, 4096},        // rounded up to the whole ring
        {4095, 1024, 4096},
        {4096, 1024, 2048},       // clamped, then a whole number of packets already
        {0xFFFFFFFF, 64, 2048},
        {0, 512, 512},            // 0 is 1, rounded up to one packet
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "TxKickThreshold " << c.stored << ", packets of " << c.packet);
        pipesim::Options o;
        o.maxPacketOut = c.packet;
        ASSERT_NO_FATAL_FAILURE(Start({Dword(u"TxAsync", 1), Dword(u"TxKickThreshold", c.stored)}, std::move(o)));
        ASSERT_EQ(STATUS_SUCCESS, Open());
        EXPECT_EQ(c.threshold, Port()->TxKickThreshold);
        sim->ClearRecords();
        const Bytes data = Sequence(10000);
        LONGLONG start = hk::Now();
        auto write = file->StartWrite(data);
        ASSERT_TRUE(hk::RunUntil([&] { return write->Done() && sim->OutBytes().size() == data.size(); }, 1000 * kMs));
        EXPECT_EQ(STATUS_SUCCESS, write->Status());
        EXPECT_LE(hk::Now() - start, 10 * kMs) << "only the last piece waited for the kick";
        EXPECT_EQ(data, sim->OutBytes());
        auto transfers = sim->OutTransfers();
        ASSERT_EQ(3u, transfers.size());
        EXPECT_EQ(4096u, transfers[0].size());
        EXPECT_EQ(4096u, transfers[1].size());
        Unplug();
    }
}

// ---- Poll periods ------------------------------------------------------------------------

// Every stop of a pump (cleanup, close, power-down, removal) lets a chain that waits on
// its timer run out its period; so a period longer than 10 s is kept as 10 s. A
// receive period of 2^31 ms or more is no exception: it is not turned into no pause.
TEST_F(BadConfiguration, AReceivePollPeriodOverTenSecondsIsTenAndAStopWaitsNoLonger)
{
    for (ULONG period : {kLongestPoll + 1, 60000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(testing::Message() << std::hex << "RxPollPeriod 0x" << period);
        ASSERT_NO_FATAL_FAILURE(Start({Dword(u"RxPollPeriod", period)}));
        // Checked before the open: a pump parked on a longer timer would hold the
        // test's own close up for as long.
        ASSERT_EQ(kLongestPoll, Port()->RxPollPeriod);
        ASSERT_EQ(STATUS_SUCCESS, Open());
        const int reads = sim->Count(IRP_MJ_READ);
        sim->Feed({1, 2, 3});
        hk::RunDpcs();
        hk::AdvanceMs(kLongestPoll - 1);
        EXPECT_EQ(reads, sim->Count(IRP_MJ_READ)) << "the next read waits for the period";
        hk::AdvanceMs(1);
        EXPECT_EQ(reads + 1, sim->Count(IRP_MJ_READ));
        EXPECT_EQ((Bytes{1, 2, 3}), ReadAll(3));

        sim->Feed({4});
        hk::RunDpcs();
        EXPECT_LE(CloseMs(), (LONGLONG)kLongestPoll);
        Unplug();
    }
}

// The status pipe's period: positive beyond 10 s is 10 s; read as signed, a word of
// 0x80000000 or more is negative and turns polling off, as -1 does.
TEST_F(BadConfiguration, AStatusPollPeriodOverTenSecondsIsTenAndANegativeOneTurnsPollingOff)
{
    for (ULONG period : {kLongestPoll + 1, 0x7FFFFFFFu}) {
        SCOPED_TRACE(testing::Message() << std::hex << "CtlPollPeriod 0x" << period);
        ASSERT_NO_FATAL_FAILURE(Start({Dword(u"EndPointCaps", 1), Dword(u"CtlPollPeriod", period)}));
        ASSERT_EQ((LONG)kLongestPoll, Port()->CtlPollPeriod);  // before the open, as above
        sim->SetLines(pipesim::LINE_CTS);
        ASSERT_EQ(STATUS_SUCCESS, Open());
        const auto reads = sim->Counts().statusReads;
        hk::AdvanceMs(kLongestPoll - 1);
        EXPECT_EQ(reads, sim->Counts().statusReads);
        hk::AdvanceMs(1);
        EXPECT_EQ(reads + 1, sim->Counts().statusReads);
        EXPECT_EQ(kMsrCts, ModemStatus());
        EXPECT_LE(CloseMs(), (LONGLONG)kLongestPoll);
        Unplug();
    }
    for (ULONG period : {0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(testing::Message() << std::hex << "CtlPollPeriod 0x" << period);
        ASSERT_NO_FATAL_FAILURE(Start({Dword(u"EndPointCaps", 1), Dword(u"CtlPollPeriod", period)}));
        EXPECT_EQ((LONG)period, Port()->CtlPollPeriod);
        ASSERT_EQ(STATUS_SUCCESS, Open());
        hk::AdvanceMs(5000);
        EXPECT_EQ(0u, sim->Counts().statusReads);
        EXPECT_FALSE(sim->IsOpen(Pipe::Status));
        EXPECT_EQ(kMsrCts | kMsrDsr | kMsrDcd, ModemStatus()) << "the fixed lines of an adapter not polled";
        EXPECT_EQ(0, CloseMs());
        Unplug();
    }
}

// ---- EndPointCaps outside 0..3 ------------------------------------------------------------

// Any nonzero value means a status pipe, which is opened and polled, and modem-control
// changes are sent; only 1, 2 and 3 name a line-settings form and only 2 a break line.
// Low bits that spell one of them in a larger value do not select it.
TEST_F(BadConfiguration, EndPointCapsBeyondThreeHasAStatusPipeButNoLineFormAndNoBreak)
{
    for (ULONG caps : {4u, 0x80000000u, 0x80000002u, 0x80000003u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(testing::Message() << std::hex << "EndPointCaps 0x" << caps);
        ASSERT_NO_FATAL_FAILURE(Start({Dword(u"EndPointCaps", caps)}));
        EXPECT_EQ(std::u16string(u"\\PIPE02"), std::u16string(Port()->StatusPipe.Name));
        sim->SetLines(pipesim::LINE_DSR);
        ASSERT_EQ(STATUS_SUCCESS, Open());
        EXPECT_TRUE(sim->IsOpen(Pipe::Status));
        EXPECT_EQ(kMsrDsr, ModemStatus()) << "the adapter's own lines, polled";
        sim->SetLines(pipesim::LINE_CTS);
        hk::AdvanceMs(20);
        EXPECT_EQ(kMsrCts, ModemStatus());

        EXPECT_EQ(STATUS_SUCCESS, SetBaud(9600));
        EXPECT_EQ(0, sim->Adapter().line.form) << "no line-settings form was sent";
        EXPECT_EQ(STATUS_SUCCESS, Control(IOCTL_SERIAL_CLR_DTR));
        EXPECT_FALSE(sim->Adapter().dtr) << "modem control reaches the adapter";
        EXPECT_EQ(STATUS_SUCCESS, Control(IOCTL_SERIAL_SET_BREAK_ON));
        EXPECT_FALSE(sim->Adapter().breakOn);
        Unplug();
    }
}

// ---- Port names --------------------------------------------------------------------------

class BadPortName : public BadConfiguration {
protected:
    std::u16string Interface() const { return hk::names::InterfacesOf(sim->Pdo()).at(0); }
    // A new adapter with this PortName value (none: the key has no PortName); the
    // start's status.
    NTSTATUS StartNamed(const RegistryValue& name, const char* instance = "SIM0")
    {
        pipesim::Options o;
        o.instanceId = W((std::string("USB\\VID_0403&PID_6001\\") + instance).c_str());
        o.registry = {name};
        EXPECT_EQ(STATUS_SUCCESS, AddAdapter(std::move(o)));
        if (!port) return STATUS_NO_SUCH_DEVICE;
        return stack->Pnp(IRP_MN_START_DEVICE).status;
    }
    // The port-name block WMI answers: its byte length with the NUL, then the name.
    std::optional<Bytes> WmiPortName()
    {
        static const GUID kPortNameBlock = {0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
        hk::WmiResult r = hk::WmiQuerySingleInstance(port, kPortNameBlock, 512);
        if (r.status != STATUS_SUCCESS) return std::nullopt;
        return r.data;
    }
};

namespace {
RegistryValue PortName(const std::u16string& text) { return RegistryValue::String(u"PortName", text); }
RegistryValue PortNameBytes(ULONG type, Bytes data) { return RegistryValue::Bytes(u"PortName", type, std::move(data)); }
}  // namespace

// Names that cannot be a port's: nothing is named, nothing of the name stays in pool,
// and the device is still removed cleanly.
TEST_F(BadPortName, ANameThatCannotBeAPortsRefusesTheStartAndNamesNothing)
{
    Bytes full128(256, 0);  // 128 characters and no NUL: the whole name buffer
    for (size_t i = 0; i < full128.size(); i += 2) full128[i] = 'A';
    Bytes terminatedOdd = Utf16(u"COM5");
    terminatedOdd.push_back('X');
    Bytes over257 = Utf16(u"COM" + std::u16string(124, u'9'));  // 256 bytes
    over257.push_back(0);
    struct Case {
        const char* what;
        RegistryValue value;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"no data at all", PortNameBytes(REG_SZ, {}), STATUS_INVALID_PARAMETER},
        {"one byte", PortNameBytes(REG_SZ, {'C'}), STATUS_INVALID_PARAMETER},
        {"three bytes", PortNameBytes(REG_SZ, {'C', 0, 0}), STATUS_INVALID_PARAMETER},
        {"a NUL first", PortNameBytes(REG_SZ, Utf16(std::u16string(u"\0COM5", 5))), STATUS_INVALID_PARAMETER},
        {"an odd number of bytes after the NUL", PortNameBytes(REG_SZ, terminatedOdd), STATUS_INVALID_PARAMETER},
        {"116 characters without a NUL", PortNameBytes(REG_SZ, Utf16(std::u16string(116, u'7'), false)),
         STATUS_INVALID_PARAMETER},
        {"128 characters filling the buffer without a NUL", PortNameBytes(REG_SZ, full128), STATUS_INVALID_PARAMETER},
        {"127 characters and a NUL: 256 bytes", PortName(u"COM" + std::u16string(124, u'9')), STATUS_INVALID_PARAMETER},
        {"257 bytes", PortNameBytes(REG_SZ, over257), STATUS_INVALID_PARAMETER},
        {"4 KiB, beyond the query's own buffer", PortName(std::u16string(2047, u'C')), STATUS_BUFFER_OVERFLOW},
        {"a backslash inside", PortName(u"COM\\5"), STATUS_INVALID_PARAMETER},
        {"a backslash first", PortName(u"\\COM5"), STATUS_INVALID_PARAMETER},
        {"a backslash last", PortName(u"COM5\\"), STATUS_INVALID_PARAMETER},
        {"a path up and out", PortName(u"..\\Device\\Serial0"), STATUS_INVALID_PARAMETER},
        {"REG_MULTI_SZ", PortNameBytes(REG_MULTI_SZ, Utf16(std::u16string(u"COM5\0", 5))), STATUS_INVALID_PARAMETER},
        {"REG_DWORD", RegistryValue::Dword(u"PortName", 0x35), STATUS_INVALID_PARAMETER},
        {"REG_BINARY text", PortNameBytes(REG_BINARY, Utf16(u"COM5")), STATUS_INVALID_PARAMETER},
        {"REG_QWORD", PortNameBytes(kRegQword, {'5', 0, 0, 0, 0, 0, 0, 0}), STATUS_INVALID_PARAMETER},
        {"REG_NONE text", PortNameBytes(REG_NONE, Utf16(u"COM5")), STATUS_INVALID_PARAMETER},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.status, StartNamed(c.value, ("BAD" + std::to_string(n++)).c_str()));
        ASSERT_NE(nullptr, port);
        EXPECT_EQ((ULONG)RUN_NOT_STARTED, Port()->RunState);
        EXPECT_EQ(nullptr, Port()->DosDeviceName.Buffer);
        EXPECT_EQ(Port()->InterfaceLinkName.MaximumLength, hk::OutstandingPoolBytes(TAG_INIT))
            << "no DOS name kept beside the interface's link name";
        for (const char16_t* name : {u"\\DosDevices\\COM5", u"\\DosDevices\\5", u"\\DosDevices\\COM"})
            EXPECT_FALSE(hk::names::LinkExists(name)) << Narrow(name);
        EXPECT_TRUE(hk::registry::ValueNames(SerialComm()).empty());
        EXPECT_EQ(0u, hk::OpenRegistryHandles());
        Unplug();
        sim.reset();
        EXPECT_EQ(0u, PoolBlocksLeft());
        ExpectClean();
    }
}

// Names that are unusual but can be a port's are taken as written, up to the first
// NUL: the DOS link, the SERIALCOMM value, an application's open by that name and the
// WMI port-name block all agree, and removal takes the link and the value away.
TEST_F(BadPortName, AnUnusualNameIsTakenAsWrittenUpToItsFirstNulEverywhere)
{
    struct Case {
        const char* what;
        RegistryValue value;
        std::u16string name;
    };
    const std::u16string nonAscii116(116, u'\u00E9');
    const Case cases[] = {
        {"a space", PortName(u"COM 5"), u"COM 5"},
        {"a slash", PortName(u"COM/5"), u"COM/5"},
        {"a colon", PortName(u"COM5:"), u"COM5:"},
        {"a dot", PortName(u"Port.1"), u"Port.1"},
        {"Latin-1", PortName(u"COM\u00E9"), u"COM\u00E9"},
        {"CJK", PortName(u"\u4E32\u53E31"), u"\u4E32\u53E31"},
        {"a surrogate pair", PortName(u"COM\U0001F600"), u"COM\U0001F600"},
        {"an unpaired surrogate", PortName(u"COM\xD800"), u"COM\xD800"},
        {"116 non-ASCII characters", PortName(nonAscii116), nonAscii116},
        {"an embedded NUL", PortNameBytes(REG_SZ, Utf16(std::u16string(u"COM5\0junk", 9))), u"COM5"},
        {"REG_EXPAND_SZ, not expanded", PortNameBytes(REG_EXPAND_SZ, Utf16(u"COM%N%")), u"COM%N%"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(STATUS_SUCCESS, StartNamed(c.value, ("ODD" + std::to_string(n++)).c_str()));
        const std::u16string dos = u"\\DosDevices\\" + c.name;
        const std::u16string link = Interface();
        EXPECT_EQ((ULONG)RUN_WORKING, Port()->RunState);
        EXPECT_EQ(link, hk::names::LinkTarget(dos));
        EXPECT_EQ(std::vector<std::u16string>{link}, hk::registry::ValueNames(SerialComm()));
        RegistryValue v;
        ASSERT_TRUE(hk::registry::Get(SerialComm(), link, &v));
        EXPECT_EQ((ULONG)REG_SZ, v.type);
        EXPECT_EQ(Utf16(c.name), v.data) << "the name and one NUL, nothing after it";
        if (c.name.size() < 64) {
            Bytes block = {(UCHAR)((c.name.size() + 1) * 2), 0};
            Bytes text = Utf16(c.name);
            block.insert(block.end(), text.begin(), text.end());
            EXPECT_EQ(block, WmiPortName());
        }
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(dos, &file));
        EXPECT_EQ(port, file->Target());
        file->Close();
        file.reset();

        Unplug();
        EXPECT_FALSE(hk::names::LinkExists(dos));
        EXPECT_TRUE(hk::registry::ValueNames(SerialComm()).empty());
        sim.reset();
        EXPECT_EQ(0u, PoolBlocksLeft());
        ExpectClean();
    }
}

// A name another port holds, spelt in other letter case (names do not tell case
// apart): the second start is refused and writes nothing; once the first port is gone
// the name is free, and the second port takes it with its own SERIALCOMM value.
TEST_F(BadPortName, ANameHeldByAnotherPortIsFreeForTheSecondOnceTheFirstIsGone)
{
    ASSERT_EQ(STATUS_SUCCESS, StartNamed(PortName(u"COM5"), "FIRST"));
    const std::u16string firstLink = Interface();
    std::unique_ptr<pipesim::PipeSim> firstSim = std::move(sim);
    hk::DeviceStack firstStack = *stack;
    port = nullptr;

    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, StartNamed(PortName(u"com5"), "SECOND"));
    const std::u16string secondLink = Interface();
    EXPECT_EQ(firstLink, hk::names::LinkTarget(u"\\DosDevices\\COM5"));
    EXPECT_EQ(std::vector<std::u16string>{firstLink}, hk::registry::ValueNames(SerialComm()));
    EXPECT_EQ(nullptr, Port()->DosDeviceName.Buffer);

    EXPECT_EQ(STATUS_SUCCESS, firstStack.Remove().status);
    firstSim.reset();
    EXPECT_FALSE(hk::names::LinkExists(u"\\DosDevices\\COM5"));
    EXPECT_TRUE(hk::registry::ValueNames(SerialComm()).empty());

    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
    EXPECT_EQ((ULONG)RUN_WORKING, Port()->RunState);
    EXPECT_EQ(secondLink, hk::names::LinkTarget(u"\\DosDevices\\com5"));
    EXPECT_EQ(std::vector<std::u16string>{secondLink}, hk::registry::ValueNames(SerialComm()));
    RegistryValue v;
    ASSERT_TRUE(hk::registry::Get(SerialComm(), secondLink, &v));
    EXPECT_EQ(Utf16(u"com5"), v.data);
    Unplug();
    EXPECT_FALSE(hk::names::LinkExists(u"\\DosDevices\\COM5"));
    EXPECT_TRUE(hk::registry::ValueNames(SerialComm()).empty());
}
