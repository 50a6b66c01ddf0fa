// Two ports of the driver, COM5 and COM6, on two simulated adapters wired by a
// null-modem cable, driven by applications through the I/O manager; and the loopback
// plug paced on the real clock. What an application on one end sends, the other gets,
// when the wire would have carried it.
#include <algorithm>
#include <optional>

#include "pipesim/pipesim.h"
#include "support/driver_under_test.h"
#include "support/kernel_test.h"

using pipesim::NullModem;
using pipesim::PipeSim;
using Bytes = std::vector<UCHAR>;

namespace {

constexpr LONGLONG kMs = 10000;
constexpr LONGLONG kSecond = 1000 * kMs;
constexpr ULONG kCts = 0x10, kDsr = 0x20, kDcd = 0x80;  // SERIAL_MSR_*
constexpr ULONG kLineEvents = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING;
constexpr const char16_t* kService = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vcomusb";

Bytes Pattern(size_t n, UCHAR seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = (UCHAR)(seed + i * 7 + i / 251);
    return b;
}
template <typename T>
Bytes BytesOf(const T& value)
{
    return Bytes((const UCHAR*)&value, (const UCHAR*)&value + sizeof value);
}
ULONG Le32(const Bytes& b) { return b.size() < 4 ? 0xDEADBEEF : b[0] | b[1] << 8 | b[2] << 16 | (ULONG)b[3] << 24; }

// A port's adapter values: a status pipe polled every 10 ms and a break line (EndPointCaps 2).
std::vector<hk::RegistryValue> PortValues(const char* name, ULONG txAsync)
{
    return {hk::RegistryValue::String(u"PortName", W(name)), hk::RegistryValue::Dword(u"EndPointCaps", 2),
            hk::RegistryValue::Dword(u"TxAsync", txAsync)};
}

// One application-side handle: synchronous helpers for the serial requests.
struct Port {
    std::unique_ptr<hk::File> file;

    NTSTATUS Ioctl(ULONG code, const Bytes& in = {})
    {
        ULONG returned = 0;
        return file->Ioctl(code, in.data(), (ULONG)in.size(), nullptr, 0, &returned);
    }
    ULONG Out32(ULONG code)
    {
        ULONG value = 0, returned = 0;
        EXPECT_EQ(STATUS_SUCCESS, file->Ioctl(code, nullptr, 0, &value, sizeof value, &returned));
        return value;
    }
    ULONG ModemStatus() { return Out32(IOCTL_SERIAL_GET_MODEMSTATUS); }
    ULONG InQueue()
    {
        SERIAL_STATUS s = {};
        ULONG returned = 0;
        EXPECT_EQ(STATUS_SUCCESS, file->Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s, &returned));
        return s.AmountInInQueue;
    }
    void Line(ULONG baud, UCHAR wordLength, UCHAR parity, UCHAR stopBits)
    {
        SERIAL_BAUD_RATE b{baud};
        ASSERT_EQ(STATUS_SUCCESS, Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(b)));
        ASSERT_EQ(STATUS_SUCCESS, Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, {stopBits, parity, wordLength}));
    }
    // Reads complete only when full (the default answers at once with what is there).
    void ReadsWaitForAll() { ASSERT_EQ(STATUS_SUCCESS, Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(SERIAL_TIMEOUTS{}))); }
    std::shared_ptr<hk::Request> WaitEvents()
    {
        auto wait = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        EXPECT_FALSE(wait->Done()) << "events left over: " << std::hex << Le32(wait->Output());
        return wait;
    }
    // The events posted so far, or 0 when there are none.
    ULONG TakeEvents()
    {
        auto wait = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        if (wait->Done()) return Le32(wait->Output());
        wait->Cancel();
        return 0;
    }
};

}  // namespace

// COM5 and COM6, each on its own adapter, the adapters wired by a null-modem cable.
class NullModemPorts : public KernelTest {
protected:
    struct End {
        std::unique_ptr<PipeSim> sim;
        std::optional<hk::DeviceStack> stack;
        bool present = false;  // the port device exists
        Port port;
    };

    void SetUp() override
    {
        KernelTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, LoadDriverUnderTest(kService, &driver));
    }
    void TearDown() override
    {
        for (auto& e : ends) Close(e);
        for (auto& e : ends)
            if (e.present) e.stack->Remove();
        if (driver) driver->Unload();
        driver.reset();
        cable.reset();
        for (auto& e : ends) e.sim.reset();
        ReleaseDriverUnderTest();
        KernelTest::TearDown();
    }

    // Adds and starts both adapters, wires them, and opens COM5 then COM6.
    void Plug(ULONG txAsync, bool pacing = false)
    {
        const char* names[2] = {"COM5", "COM6"};
        for (int i = 0; i < 2; ++i) {
            pipesim::Options o;
            o.instanceId = W((std::string("USB\\VID_0403&PID_6001\\NM") + names[i]).c_str());
            o.registry = PortValues(names[i], txAsync);
            End& e = ends[i];
            e.sim = std::make_unique<PipeSim>(o);
            e.sim->SetPacing(pacing);
            e.stack.emplace(e.sim->Pdo());
            ASSERT_EQ(STATUS_SUCCESS, e.stack->AddDevice(*driver));
            e.present = true;
            ASSERT_EQ(STATUS_SUCCESS, e.stack->Pnp(IRP_MN_START_DEVICE).status);
        }
        cable = std::make_unique<NullModem>(*ends[0].sim, *ends[1].sim);
        ASSERT_TRUE(cable->Connected());
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\" + W(names[i]), &ends[i].port.file));
            ends[i].port.ReadsWaitForAll();
        }
    }
    static void Close(End& e)
    {
        if (e.port.file) e.port.file->Close();
        e.port.file.reset();
    }
    void Unplug(End& e)
    {
        Close(e);
        e.stack->Remove();
        e.present = false;
    }
    Port& com5() { return ends[0].port; }
    Port& com6() { return ends[1].port; }

    std::unique_ptr<hk::LoadedDriver> driver;
    End ends[2];
    std::unique_ptr<NullModem> cable;
};

class NullModemData : public NullModemPorts, public ::testing::WithParamInterface<ULONG> {};

TEST_P(NullModemData, BytesCrossBothWaysInOrderWithNothingLost)
{
    Plug(GetParam());
    // Several writes each way, one a whole number of packets; both reads wait for all.
    const Bytes there = Pattern(3001, 1), back = Pattern(3001, 100);
    auto atCom6 = com6().file->StartRead((ULONG)there.size());
    auto atCom5 = com5().file->StartRead((ULONG)back.size());
    std::vector<std::shared_ptr<hk::Request>> writes;
    size_t at = 0;
    for (size_t n : {1000, 64, 1937}) {
        writes.push_back(com5().file->StartWrite(Bytes(there.begin() + at, there.begin() + at + n)));
        writes.push_back(com6().file->StartWrite(Bytes(back.begin() + at, back.begin() + at + n)));
        at += n;
    }
    for (auto& w : writes) EXPECT_EQ(STATUS_SUCCESS, w->Wait());
    ASSERT_EQ(STATUS_SUCCESS, atCom6->Wait());
    ASSERT_EQ(STATUS_SUCCESS, atCom5->Wait());
    EXPECT_EQ(there, atCom6->Output());
    EXPECT_EQ(back, atCom5->Output());
    hk::AdvanceMs(100);
    EXPECT_EQ(0u, com5().InQueue()) << "nothing more, nothing doubled";
    EXPECT_EQ(0u, com6().InQueue());
}

TEST_P(NullModemData, PacedBytesTakeTheSendersTimeOnTheWireAndArriveNoEarlier)
{
    Plug(GetParam(), true);
    com6().Line(115200, 8, NO_PARITY, STOP_BIT_1);  // the receiver's own settings do not count
    struct Case {
        ULONG baud;
        UCHAR parity, stopBits;
        LONGLONG wire;  // 960 bytes
        LONGLONG frame;
    };
    const Case cases[] = {
        {9600, NO_PARITY, STOP_BIT_1, kSecond, kSecond / 960},
        {115200, NO_PARITY, STOP_BIT_1, kSecond / 12, kSecond / 11520},
        {9600, EVEN_PARITY, STOP_BITS_2, kSecond * 12 / 10, kSecond * 12 / 9600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        com5().Line(c.baud, 8, c.parity, c.stopBits);
        const Bytes data = Pattern(960, (UCHAR)c.baud);
        LONGLONG start = hk::Now();
        auto write = com5().file->StartWrite(data);
        hk::AdvanceTime(c.wire / 2);
        ULONG half = com6().InQueue();
        EXPECT_GT(half, 0u) << "the bytes stream as they leave the wire";
        EXPECT_LE(half, 480u) << "no more than the wire carried in half the time";
        hk::AdvanceTime(c.wire / 2 - c.frame - (hk::Now() - start - c.wire / 2));
        EXPECT_LT(com6().InQueue(), 960u) << "one frame before the end";
        if (GetParam() == 0) {  // the application's write is the pipe write
            EXPECT_FALSE(write->Done());
            ASSERT_TRUE(hk::RunUntil([&] { return write->Done(); }, 2 * c.frame));
            EXPECT_EQ(STATUS_SUCCESS, write->Status());
            EXPECT_EQ(960u, write->Information());
            EXPECT_NEAR((double)c.wire, (double)(hk::Now() - start), (double)c.frame);
        }
        ASSERT_TRUE(hk::RunUntil([&] { return com6().InQueue() == 960; }, 2 * c.frame));
        EXPECT_EQ(STATUS_SUCCESS, write->Wait());
        auto read = com6().file->StartRead(960);
        ASSERT_TRUE(read->Done());
        EXPECT_EQ(data, read->Output());
    }
}

INSTANTIATE_TEST_SUITE_P(TxAsync, NullModemData, ::testing::Values(0u, 1u));

TEST_F(NullModemPorts, RtsAndDtrShowAsThePeersCtsDsrAndDcdAndTheirEvents)
{
    Plug(0);
    hk::AdvanceMs(20);
    EXPECT_EQ(kCts | kDsr | kDcd, com5().ModemStatus()) << "COM6 raised DTR and RTS at its open";
    EXPECT_EQ(kCts | kDsr | kDcd, com6().ModemStatus());
    for (Port* p : {&com5(), &com6()})
        ASSERT_EQ(STATUS_SUCCESS, p->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(kLineEvents)));
    EXPECT_EQ((ULONG)(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD), com5().TakeEvents()) << "COM6's open";
    EXPECT_EQ(0u, com6().TakeEvents()) << "COM5's lines were up when COM6 opened";

    // Each change on one end is the other end's event, and nothing on its own end.
    struct Step {
        Port* from;
        Port* to;
        ULONG code;
        ULONG event;
        ULONG status;  // the other end's modem status after it
    };
    const Step steps[] = {
        {&com5(), &com6(), IOCTL_SERIAL_CLR_RTS, SERIAL_EV_CTS, kDsr | kDcd},
        {&com5(), &com6(), IOCTL_SERIAL_CLR_DTR, SERIAL_EV_DSR | SERIAL_EV_RLSD, 0},
        {&com6(), &com5(), IOCTL_SERIAL_CLR_DTR, SERIAL_EV_DSR | SERIAL_EV_RLSD, kCts},
        {&com5(), &com6(), IOCTL_SERIAL_SET_RTS, SERIAL_EV_CTS, kCts},
        {&com6(), &com5(), IOCTL_SERIAL_SET_DTR, SERIAL_EV_DSR | SERIAL_EV_RLSD, kCts | kDsr | kDcd},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.code);
        auto there = s.to->WaitEvents();
        auto here = s.from->WaitEvents();
        ASSERT_EQ(STATUS_SUCCESS, s.from->Ioctl(s.code));
        hk::AdvanceMs(20);
        ASSERT_TRUE(there->Done());
        EXPECT_EQ(s.event, Le32(there->Output()));
        EXPECT_EQ(s.status, s.to->ModemStatus());
        EXPECT_FALSE(here->Done());
        here->Cancel();
    }

    // A break shows as nothing on the other end.
    auto there = com6().WaitEvents();
    ASSERT_EQ(STATUS_SUCCESS, com5().Ioctl(IOCTL_SERIAL_SET_BREAK_ON));
    ASSERT_TRUE(ends[0].sim->Adapter().breakOn);
    hk::AdvanceMs(50);
    EXPECT_FALSE(there->Done());
    EXPECT_EQ(kCts, com6().ModemStatus());
    there->Cancel();
}

TEST_F(NullModemPorts, TheCableTakesThePlugsPlaceAndEachAdapterHasOneSocket)
{
    Plug(0);
    PipeSim& sim5 = *ends[0].sim;
    ASSERT_EQ(pipesim::LINE_CTS | pipesim::LINE_DSR | pipesim::LINE_DCD, sim5.StatusByte());
    sim5.SetLines(pipesim::LINE_RI | pipesim::LINE_CTS);
    ASSERT_EQ(STATUS_SUCCESS, com6().Ioctl(IOCTL_SERIAL_CLR_RTS));
    ASSERT_EQ(STATUS_SUCCESS, com6().Ioctl(IOCTL_SERIAL_CLR_DTR));
    EXPECT_EQ(pipesim::LINE_RI, sim5.StatusByte()) << "RI stays free-running; CTS comes from the cable";
    sim5.SetLoopback(true);
    EXPECT_EQ(pipesim::LINE_RI, sim5.StatusByte()) << "COM5's own RTS and DTR are up, but the cable is in";
    // With the plug in and the cable out, COM5 hears itself.
    cable->Disconnect();
    EXPECT_FALSE(cable->Connected());
    EXPECT_EQ(pipesim::LINE_RI | pipesim::LINE_CTS | pipesim::LINE_DSR | pipesim::LINE_DCD, sim5.StatusByte());
    const Bytes echo = Pattern(100, 9);
    ASSERT_EQ(STATUS_SUCCESS, com5().file->Write(echo.data(), (ULONG)echo.size(), nullptr));
    auto read = com5().file->StartRead(100);
    ASSERT_EQ(STATUS_SUCCESS, read->Wait());
    EXPECT_EQ(echo, read->Output());
    EXPECT_EQ(0u, com6().InQueue());

    // A cable from an adapter to itself is refused; a second cable takes the first one's place.
    sim5.SetLoopback(false);
    sim5.SetLines(0);
    NullModem self(sim5, sim5);
    EXPECT_FALSE(self.Connected());
    ASSERT_EQ(STATUS_SUCCESS, com6().Ioctl(IOCTL_SERIAL_SET_DTR));
    cable = std::make_unique<NullModem>(sim5, *ends[1].sim);
    EXPECT_EQ(pipesim::LINE_DSR | pipesim::LINE_DCD, sim5.StatusByte()) << "COM6's DTR from the moment it is wired";
    ASSERT_EQ(STATUS_SUCCESS, com6().Ioctl(IOCTL_SERIAL_SET_RTS));
    ASSERT_EQ(pipesim::LINE_CTS | pipesim::LINE_DSR | pipesim::LINE_DCD, sim5.StatusByte());
    std::optional<PipeSim> third(std::in_place);
    NullModem other(*ends[1].sim, *third);
    EXPECT_TRUE(other.Connected());
    EXPECT_FALSE(cable->Connected());
    EXPECT_EQ(0, sim5.StatusByte()) << "COM6's lines left with its cable";
    EXPECT_EQ(pipesim::LINE_CTS | pipesim::LINE_DSR | pipesim::LINE_DCD, third->StatusByte());
    ASSERT_EQ(STATUS_SUCCESS, com5().file->Write(echo.data(), (ULONG)echo.size(), nullptr));
    ASSERT_EQ(STATUS_SUCCESS, com6().file->Write(echo.data(), (ULONG)echo.size(), nullptr));
    hk::AdvanceMs(50);
    EXPECT_EQ(0u, com6().InQueue());
    EXPECT_EQ(echo.size(), third->PendingInBytes());
    third.reset();  // destroyed with its cable plugged in
    EXPECT_FALSE(other.Connected());
    ASSERT_EQ(STATUS_SUCCESS, com6().file->Write(echo.data(), (ULONG)echo.size(), nullptr));
}

TEST_F(NullModemPorts, UnpluggingWithAWriteOnTheWireAndAReadWaiting)
{
    Plug(0, true);
    com5().Line(9600, 8, NO_PARITY, STOP_BIT_1);
    hk::AdvanceMs(20);
    ASSERT_EQ(STATUS_SUCCESS, com5().Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(kLineEvents)));
    com5().TakeEvents();  // COM6's open
    auto read = com5().file->StartRead(10);  // COM6 never sends
    auto write = com5().file->StartWrite(Pattern(960, 3));
    hk::AdvanceMs(500);
    ULONG arrived = com6().InQueue();
    ASSERT_GT(arrived, 0u);
    auto events = com5().WaitEvents();
    cable->Disconnect();
    hk::AdvanceMs(20);
    ASSERT_TRUE(events->Done());
    EXPECT_EQ((ULONG)(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD), Le32(events->Output())) << "COM6's lines dropped";
    EXPECT_EQ(0u, com5().ModemStatus());
    // The write still takes its time on COM5's wire, but nothing more reaches COM6.
    ASSERT_TRUE(hk::RunUntil([&] { return write->Done(); }, kSecond));
    EXPECT_EQ(STATUS_SUCCESS, write->Status());
    EXPECT_EQ(960u, write->Information());
    EXPECT_EQ(arrived, com6().InQueue());
    EXPECT_FALSE(read->Done());
    EXPECT_TRUE(read->Cancel());
    EXPECT_EQ(STATUS_CANCELLED, read->Wait());
    cable.reset();  // a cable already unplugged goes quietly
}

TEST_F(NullModemPorts, OneEndRemovedAndDestroyedWithBytesOnTheWire)
{
    Plug(1, true);
    com5().Line(9600, 8, NO_PARITY, STOP_BIT_1);
    hk::AdvanceMs(20);
    auto waiting = com6().file->StartRead(960);
    auto write = com5().file->StartWrite(Pattern(960, 5));
    auto read = com5().file->StartRead(10);
    hk::AdvanceMs(300);
    ASSERT_FALSE(waiting->Done());
    Unplug(ends[1]);  // COM6's handle closed (its read ended) and its adapter removed
    EXPECT_NE(STATUS_PENDING, waiting->Status());
    EXPECT_FALSE(cable->Connected()) << "the removed adapter left the cable";
    EXPECT_EQ(0, ends[0].sim->StatusByte());
    ends[1].sim.reset();  // its pieces of the wire are still scheduled on COM5's side
    hk::AdvanceMs(1000);
    EXPECT_EQ(0u, com5().ModemStatus());
    EXPECT_EQ(0u, ends[0].sim->PendingInBytes());
    EXPECT_FALSE(read->Done());
    cable.reset();
    // COM5 carries on: with the plug in it hears itself again.
    ends[0].sim->SetLoopback(true);
    ASSERT_EQ(STATUS_SUCCESS, com5().file->Write("0123456789", 10, nullptr));
    ASSERT_TRUE(hk::RunUntil([&] { return read->Done(); }, kSecond));
    EXPECT_EQ(Bytes({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}), read->Output());
}

// On the real clock, as the tool runs: plug and pacing set before the port is opened.
class LoopbackOnRealTime : public KernelTest {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
    void TearDown() override
    {
        if (port.file) port.file->Close();
        port.file.reset();
        if (stack) stack->Remove();
        if (driver) driver->Unload();
        driver.reset();
        sim.reset();
        ReleaseDriverUnderTest();
        KernelTest::TearDown();
    }
    std::unique_ptr<hk::LoadedDriver> driver;
    std::unique_ptr<PipeSim> sim;
    std::optional<hk::DeviceStack> stack;
    Port port;
};

TEST_F(LoopbackOnRealTime, A96ByteWriteAt9600BaudTakesAbout100RealMilliseconds)
{
    ASSERT_EQ(STATUS_SUCCESS, LoadDriverUnderTest(kService, &driver));
    pipesim::Options o;
    o.registry = PortValues("COM7", 0);
    sim = std::make_unique<PipeSim>(o);
    sim->SetLoopback(true);
    sim->SetPacing(true);
    stack.emplace(sim->Pdo());
    ASSERT_EQ(STATUS_SUCCESS, stack->AddDevice(*driver));
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(u"\\DosDevices\\COM7", &port.file));
    port.Line(9600, 8, NO_PARITY, STOP_BIT_1);
    port.ReadsWaitForAll();

    const Bytes data = Pattern(96, 7);
    auto read = port.file->StartRead(96);
    LONGLONG start = hk::Now();
    auto write = port.file->StartWrite(data);
    ASSERT_TRUE(hk::RunUntil([&] { return write->Done(); }, 10 * kSecond));
    LONGLONG took = hk::Now() - start;
    EXPECT_EQ(STATUS_SUCCESS, write->Status());
    EXPECT_EQ(96u, write->Information());
    EXPECT_GE(took, 100 * kMs - kSecond / 960) << "no sooner than the wire";
    EXPECT_LT(took, 2 * kSecond) << "a loaded machine may be late, not this late";
    ASSERT_TRUE(hk::RunUntil([&] { return read->Done(); }, 10 * kSecond));
    EXPECT_EQ(STATUS_SUCCESS, read->Status());
    EXPECT_EQ(data, read->Output());
}
