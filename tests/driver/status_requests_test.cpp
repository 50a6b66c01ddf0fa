// The read-only and bookkeeping control requests: the port properties, the
// statistics and their reset, the communication status, the configuration size and
// the modem status, their short buffers, what a device being removed still answers,
// and the two private requests that reset a bulk pipe through the pipe driver.
#include "driver/sim_fixture.h"

using pipesim::Fault;
using pipesim::Kind;
using pipesim::Pipe;

namespace {

constexpr ULONG kResetRxPipe = 0x1B0320;
constexpr ULONG kResetTxPipe = 0x1B0324;

// Little-endian 32-bit values one after another.
Bytes Dwords(std::initializer_list<ULONG> values)
{
    Bytes b;
    for (ULONG v : values)
        for (int i = 0; i < 4; ++i) b.push_back((UCHAR)(v >> (8 * i)));
    return b;
}
void Put(Bytes& b, size_t at, ULONG v, size_t width)
{
    for (size_t i = 0; i < width; ++i) b.at(at + i) = (UCHAR)(v >> (8 * i));
}
// The 64-byte properties answer, laid out field by field.
Bytes Properties(ULONG txQueue, ULONG rxQueue)
{
    Bytes b(64);
    Put(b, 0, 64, 2);            // PacketLength
    Put(b, 2, 2, 2);             // PacketVersion
    Put(b, 4, 1, 4);             // ServiceMask
    Put(b, 20, 0x00020000, 4);   // MaxBaud
    Put(b, 24, 1, 4);            // ProvSubType
    Put(b, 28, 0xF7, 4);         // ProvCapabilities
    Put(b, 32, 0x5F, 4);         // SettableParams
    Put(b, 36, 0x00026B60, 4);   // SettableBaud
    Put(b, 40, 0x000C, 2);       // SettableData
    Put(b, 42, 0x0705, 2);       // SettableStopParity
    Put(b, 44, txQueue, 4);      // CurrentTxQueue
    Put(b, 48, rxQueue, 4);      // CurrentRxQueue
    return b;
}
// The 20-byte communication status: Errors, HoldReasons, the two queues, then
// EofReceived, the immediate-waiting byte and two bytes of padding, all 0.
Bytes CommStatus(ULONG errors, ULONG inQueue, ULONG outQueue) { return Dwords({errors, 0, inQueue, outQueue, 0}); }
Bytes BytesOf(const SERIALPERF_STATS& s) { return Bytes((const UCHAR*)&s, (const UCHAR*)&s + 24); }
}  // namespace

class StatusRequests : public OpenPortTest {
protected:
    // A request answered at once with success, no boost and as many bytes as it
    // reports; its output.
    Bytes Answer(ULONG code, ULONG outLength)
    {
        auto r = file->StartIoctl(code, {}, outLength);
        EXPECT_TRUE(r->Done()) << code;
        EXPECT_EQ(STATUS_SUCCESS, r->Status()) << code;
        EXPECT_EQ(r->Output().size(), r->Information()) << code;
        EXPECT_EQ(IO_NO_INCREMENT, r->Boost()) << code;
        return r->Output();
    }
    void ExpectRefused(ULONG code, ULONG outLength, NTSTATUS status)
    {
        auto r = file->StartIoctl(code, {}, outLength);
        ASSERT_TRUE(r->Done()) << code;
        EXPECT_EQ(status, r->Status()) << code;
        EXPECT_EQ(0u, r->Information()) << code;
    }
};

// The same with buffered writes (TxAsync).
class BufferedStatusRequests : public StatusRequests {
protected:
    void SetUp() override
    {
        SimPortTest::SetUp();
        pipesim::Options o;
        o.registry.push_back(Dword(u"TxAsync", 1));
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(std::move(o)));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
    }
};

TEST_F(StatusRequests, PropertiesAreTheFixedTableWithTheCurrentQueueSizes)
{
    EXPECT_EQ(Properties(4096, 4096), Answer(IOCTL_SERIAL_GET_PROPERTIES, 64));
    EXPECT_EQ(Properties(4096, 4096), Answer(IOCTL_SERIAL_GET_PROPERTIES, 100)) << "64 bytes whatever the room";

    const Bytes sizes = Dwords({8192, 100});  // InSize, OutSize
    ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_QUEUE_SIZE, sizes, 0)->Status());
    EXPECT_EQ(Properties(100, 8192), Answer(IOCTL_SERIAL_GET_PROPERTIES, 64));

    ExpectRefused(IOCTL_SERIAL_GET_PROPERTIES, 63, STATUS_INVALID_PARAMETER);
}

TEST_F(StatusRequests, StatisticsCountArrivalsAndWritesUntilClearedInBothBlocks)
{
    sim->Feed(Sequence(300));
    EXPECT_EQ(Dwords({300, 0, 0, 0, 0, 0}), Answer(IOCTL_SERIAL_GET_STATS, 24));
    auto w = file->StartWrite(Sequence(50));
    ASSERT_TRUE(w->Done());
    ASSERT_EQ(STATUS_SUCCESS, w->Status());
    EXPECT_EQ(Dwords({300, 50, 0, 0, 0, 0}), Answer(IOCTL_SERIAL_GET_STATS, 24)) << "direct writes count too";
    ASSERT_EQ(Dwords({300, 50, 0, 0, 0, 0}), BytesOf(Port()->WmiPerfStats));

    EXPECT_EQ(Bytes{}, Answer(IOCTL_SERIAL_CLEAR_STATS, 0));
    EXPECT_EQ(Bytes(24), Answer(IOCTL_SERIAL_GET_STATS, 24));
    EXPECT_EQ(Bytes(24), BytesOf(Port()->WmiPerfStats));

    ExpectRefused(IOCTL_SERIAL_GET_STATS, 23, STATUS_INVALID_PARAMETER);
}

TEST_F(StatusRequests, CommStatusReportsTheRingAndPendingWritesAndErrorsOnlyOnce)
{
    sim->Feed(Sequence(10));
    sim->HoldNext(Kind::Write);
    auto w = file->StartWrite(Sequence(30));
    auto queued = file->StartWrite(Sequence(7));
    EXPECT_EQ(CommStatus(0, 10, 37), Answer(IOCTL_SERIAL_GET_COMMSTATUS, 20));
    EXPECT_EQ(CommStatus(0, 10, 37), Answer(IOCTL_SERIAL_GET_COMMSTATUS, 32)) << "20 bytes whatever the room";

    Port()->CommStatus.Errors = SERIAL_ERROR_OVERRUN | SERIAL_ERROR_FRAMING;
    EXPECT_EQ(CommStatus(SERIAL_ERROR_OVERRUN | SERIAL_ERROR_FRAMING, 10, 37), Answer(IOCTL_SERIAL_GET_COMMSTATUS, 20));
    EXPECT_EQ(CommStatus(0, 10, 37), Answer(IOCTL_SERIAL_GET_COMMSTATUS, 20));

    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 30));
    ASSERT_TRUE(w->Done() && queued->Done());
    auto read = file->StartRead(4);
    ASSERT_EQ(4u, read->Information());
    EXPECT_EQ(CommStatus(0, 6, 0), Answer(IOCTL_SERIAL_GET_COMMSTATUS, 20));

    ExpectRefused(IOCTL_SERIAL_GET_COMMSTATUS, 19, STATUS_INVALID_PARAMETER);
}

// A write completes as soon as its bytes are in TxRing: what waits there behind the
// transfer in flight is the output queue.
TEST_F(BufferedStatusRequests, TheOutQueueIsWhatWaitsInTheRingAndTransfersAreCounted)
{
    sim->HoldNext(Kind::Write);
    auto first = file->StartWrite(Sequence(100));
    auto second = file->StartWrite(Sequence(40));
    ASSERT_TRUE(first->Done() && second->Done());
    EXPECT_EQ(CommStatus(0, 0, 40), Answer(IOCTL_SERIAL_GET_COMMSTATUS, 20));

    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 100));
    hk::AdvanceMs(20);
    ASSERT_EQ(140u, sim->OutBytes().size());
    EXPECT_EQ(CommStatus(0, 0, 0), Answer(IOCTL_SERIAL_GET_COMMSTATUS, 20));
    EXPECT_EQ(Dwords({0, 140, 0, 0, 0, 0}), Answer(IOCTL_SERIAL_GET_STATS, 24));
}

TEST_F(StatusRequests, ConfigSizeAndModemStatusAnswerFourBytes)
{
    EXPECT_EQ(Dwords({0}), Answer(IOCTL_SERIAL_CONFIG_SIZE, 4));
    EXPECT_EQ(Dwords({0}), Answer(IOCTL_SERIAL_CONFIG_SIZE, 8));
    // No room for the 4 bytes: nothing may be reported copied back.
    ExpectRefused(IOCTL_SERIAL_CONFIG_SIZE, 2, STATUS_INVALID_PARAMETER);

    // Without a status pipe the adapter's lines read as CTS, DSR and DCD on.
    EXPECT_EQ(Dwords({0xB0}), Answer(IOCTL_SERIAL_GET_MODEMSTATUS, 4));
    ExpectRefused(IOCTL_SERIAL_GET_MODEMSTATUS, 2, STATUS_INVALID_PARAMETER);
}

TEST_F(StatusRequests, ADeviceBeingRemovedRefusesAllButConfigSizeClearStatsAndModemStatus)
{
    for (UCHAR PortExtension::*flag : {&PortExtension::SurpriseRemoved, &PortExtension::DeviceRemoved}) {
        sim->Feed(Sequence(5));
        sim->ClearRecords();
        Port()->*flag = 1;  // as the removal requests set them while a handle is still open
        for (ULONG code : {IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_GET_PROPERTIES, IOCTL_SERIAL_GET_STATS})
            ExpectRefused(code, 64, STATUS_DELETE_PENDING);
        for (ULONG code : {kResetRxPipe, kResetTxPipe}) ExpectRefused(code, 0, STATUS_DELETE_PENDING);
        EXPECT_EQ(0, sim->Count(IRP_MJ_DEVICE_CONTROL)) << "nothing reaches the pipe driver";

        EXPECT_EQ(Dwords({0}), Answer(IOCTL_SERIAL_CONFIG_SIZE, 4));
        EXPECT_EQ(Dwords({0xB0}), Answer(IOCTL_SERIAL_GET_MODEMSTATUS, 4));
        ASSERT_EQ(5u, Port()->PerfStats.ReceivedCount);
        EXPECT_EQ(Bytes{}, Answer(IOCTL_SERIAL_CLEAR_STATS, 0));
        EXPECT_EQ(Bytes(24), BytesOf(Port()->PerfStats));
        EXPECT_EQ(Bytes(24), BytesOf(Port()->WmiPerfStats));
        Port()->*flag = 0;
    }
}

// The private resets travel on the application's own request, which the pipe driver
// completes: it stays pending while the pipe driver holds it and ends with its status.
TEST_F(StatusRequests, PrivateResetsReachThePipeDriverAsItsResetOfTheirPipe)
{
    const std::pair<ULONG, Pipe> resets[] = {{kResetRxPipe, Pipe::DataIn}, {kResetTxPipe, Pipe::DataOut}};
    for (const auto& [code, pipe] : resets) {
        sim->ClearRecords();
        sim->HoldNext(Kind::Reset);
        auto r = file->StartIoctl(code, {}, 0);
        EXPECT_FALSE(r->Done()) << code;
        const auto arrivals = sim->Arrivals();
        ASSERT_EQ(1u, arrivals.size()) << code;
        EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, arrivals[0].major);
        EXPECT_EQ(pipesim::kIoctlPipeReset, arrivals[0].code);
        EXPECT_EQ((int)pipe, arrivals[0].pipe);
        ASSERT_TRUE(sim->CompleteHeld(pipe, STATUS_SUCCESS));
        ASSERT_TRUE(r->Done());
        EXPECT_EQ(STATUS_SUCCESS, r->Status());

        sim->HoldNext(Kind::Reset);
        r = file->StartIoctl(code, {}, 0);
        ASSERT_TRUE(sim->CompleteHeld(pipe, STATUS_UNSUCCESSFUL));
        ASSERT_TRUE(r->Done());
        EXPECT_EQ(STATUS_UNSUCCESSFUL, r->Status()) << code;

        Fault refused;
        refused.status = STATUS_DEVICE_DATA_ERROR;
        refused.times = 1;
        sim->InjectFault(pipe, Kind::Reset, refused);
        EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, file->StartIoctl(code, {}, 0)->Status()) << code;
    }
}
