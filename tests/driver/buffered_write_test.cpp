// The buffered write path (TxAsync): writes copied into TxRing and completed as soon
// as their bytes are there, the transfer engine that empties the ring (at most 4096
// bytes at a time, small amounts gathered for 10 ms, zero-length packets), writes
// that stay current or queued, their timeout and cancellation, purge and cleanup,
// and the engine's behaviour on allocation failures, failed transfers and a pipe
// driver that completes every transfer inside the call.
#include "driver/sim_fixture.h"
#include "rx/ring_buffer.h"
#include "tx/write.h"

using pipesim::Kind;
using pipesim::Pipe;

namespace {

Bytes Slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }
Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
Bytes Dword(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }

void ExpectDone(const hk::Request& r, NTSTATUS status, ULONG_PTR information)
{
    ASSERT_TRUE(r.Done());
    EXPECT_EQ(status, r.Status());
    EXPECT_EQ(information, r.Information());
    EXPECT_EQ(status == STATUS_SUCCESS && information ? IO_SERIAL_INCREMENT : IO_NO_INCREMENT, r.Boost());
}
}  // namespace

class BufferedWrites : public SimPortTest {
protected:
    // Adds an adapter in buffered mode with these further registry values, starts the
    // device, opens the port; records start empty.
    void Open(std::vector<hk::RegistryValue> registry = {})
    {
        pipesim::Options o;
        o.registry = std::move(registry);
        o.registry.push_back(Dword(u"TxAsync", 1));
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(std::move(o)));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
        sim->ClearRecords();
    }
    void TearDown() override
    {
        // Every write has ended by now: none may be left counted in the output queue.
        if (file) {
            EXPECT_EQ(0u, OutQueue());
            file->Close();
        }
        file.reset();
        SimPortTest::TearDown();
    }
    // The lengths of the pipe writes that reached the pipe driver, in order.
    std::vector<ULONG> Transfers() const
    {
        std::vector<ULONG> lengths;
        for (const auto& a : sim->Arrivals())
            if (a.major == IRP_MJ_DEVICE_CONTROL && a.code == pipesim::kIoctlPipeWrite) lengths.push_back(a.length);
        return lengths;
    }
    std::shared_ptr<hk::Request> Write(const Bytes& bytes) { return file->StartWrite(bytes); }
    void SetWriteTimeouts(ULONG multiplier, ULONG constant)
    {
        SERIAL_TIMEOUTS t{0, 0, 0, multiplier, constant};
        ASSERT_EQ(STATUS_SUCCESS,
                  file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes((UCHAR*)&t, (UCHAR*)&t + sizeof t), 0)->Status());
    }
    // A wait for SERIAL_EV_TXEMPTY, pending.
    std::shared_ptr<hk::Request> WaitForTxEmpty()
    {
        EXPECT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_WAIT_MASK, Dword(SERIAL_EV_TXEMPTY), 0)->Status());
        auto wait = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        EXPECT_FALSE(wait->Done());
        return wait;
    }
    static void ExpectTxEmpty(const hk::Request& wait)
    {
        ASSERT_TRUE(wait.Done());
        EXPECT_EQ(STATUS_SUCCESS, wait.Status());
        EXPECT_EQ(Dword(SERIAL_EV_TXEMPTY), wait.Output());
    }
    std::shared_ptr<hk::Request> Purge(const Bytes& flags) { return file->StartIoctl(IOCTL_SERIAL_PURGE, flags, 0); }
    ULONG OutQueue() const { return Port()->CommStatus.AmountInOutQueue; }

    std::unique_ptr<hk::File> file;
};

TEST_F(BufferedWrites, AWriteThatFitsCompletesAtOnceAndGoesOutAsOneTransfer)
{
    Open();
    auto wait = WaitForTxEmpty();
    auto w = Write(Sequence(100));
    ExpectDone(*w, STATUS_SUCCESS, 100);
    ExpectTxEmpty(*wait);
    EXPECT_EQ(std::vector<ULONG>{100}, Transfers());
    EXPECT_EQ(std::vector<Bytes>{Sequence(100)}, sim->OutTransfers());
}

// A 5000-byte write: 4096 bytes go out while the rest waits in the write; at that
// transfer's completion the 904 bytes left enter the ring and the write completes.
// They go out at once when the threshold (rounded up to whole 64-byte packets) lets
// them, else after 10 ms of gathering.
struct LongWriteCase {
    ULONG threshold;  // registry value
    LONGLONG delayMs;
};
class BufferedLongWrite : public BufferedWrites, public ::testing::WithParamInterface<LongWriteCase> {};

TEST_P(BufferedLongWrite, StaysPendingUntilItsLastBytesAreInTheRing)
{
    Open({Dword(u"TxKickThreshold", GetParam().threshold)});
    const Bytes a = Sequence(5000);
    sim->HoldNext(Kind::Write);
    auto w = Write(a);
    EXPECT_FALSE(w->Done());
    EXPECT_EQ(std::vector<ULONG>{4096}, Transfers());
    EXPECT_EQ(5000u, OutQueue());

    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 4096));
    ExpectDone(*w, STATUS_SUCCESS, 5000);
    if (GetParam().delayMs) {
        hk::AdvanceMs(GetParam().delayMs - 1);
        EXPECT_EQ(std::vector<ULONG>{4096}, Transfers());
        hk::AdvanceMs(1);
    }
    EXPECT_EQ((std::vector<ULONG>{4096, 904}), Transfers());
    EXPECT_EQ(a, sim->OutBytes());
}

INSTANTIATE_TEST_SUITE_P(Thresholds, BufferedLongWrite,
                         ::testing::Values(LongWriteCase{896, 0},    // 896 <= 904: at once
                                           LongWriteCase{900, 10}),  // 960 > 904: 10 ms later
                         [](const auto& info) { return "Threshold" + std::to_string(info.param.threshold); });

// A transfer of whole packets that empties the ring is followed by a zero-length one
// when TxAllowNullPacket allows it; a short last packet, or a full transfer with more
// bytes behind it, is not.
class BufferedNullPacket : public BufferedWrites, public ::testing::WithParamInterface<ULONG> {};

TEST_P(BufferedNullPacket, FollowsOnlyAWholePacketTransferThatEmptiedTheRing)
{
    const bool allowed = GetParam() != 0;
    Open({Dword(u"TxAllowNullPacket", GetParam())});
    ExpectDone(*Write(Sequence(128)), STATUS_SUCCESS, 128);
    EXPECT_EQ(allowed ? (std::vector<ULONG>{128, 0}) : (std::vector<ULONG>{128}), Transfers());

    sim->ClearRecords();
    ExpectDone(*Write(Sequence(100)), STATUS_SUCCESS, 100);
    EXPECT_EQ(std::vector<ULONG>{100}, Transfers());

    sim->ClearRecords();
    ExpectDone(*Write(Sequence(4160)), STATUS_SUCCESS, 4160);
    EXPECT_EQ(allowed ? (std::vector<ULONG>{4096, 64, 0}) : (std::vector<ULONG>{4096, 64}), Transfers());
    EXPECT_EQ(Sequence(4160), sim->OutBytes());
}

INSTANTIATE_TEST_SUITE_P(Setting, BufferedNullPacket, ::testing::Values(0u, 1u),
                         [](const auto& info) { return info.param ? "Allowed" : "NotAllowed"; });

TEST_F(BufferedWrites, SmallWritesDuringATransferGoOutTogetherTenMsAfterIt)
{
    Open({Dword(u"TxKickThreshold", 512)});
    sim->HoldNext(Kind::Write);
    const Bytes first = Sequence(100), a = Sequence(10, 100), b = Sequence(10, 110), c = Sequence(10, 120);
    ExpectDone(*Write(first), STATUS_SUCCESS, 100);
    EXPECT_EQ(std::vector<ULONG>{100}, Transfers()) << "a write into an idle engine goes at once, however small";
    for (const Bytes* bytes : {&a, &b, &c}) ExpectDone(*Write(*bytes), STATUS_SUCCESS, 10);

    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 100));
    hk::AdvanceMs(9);
    EXPECT_EQ(std::vector<ULONG>{100}, Transfers());
    hk::AdvanceMs(1);
    EXPECT_EQ((std::vector<ULONG>{100, 30}), Transfers());
    EXPECT_EQ(Concat({first, a, b, c}), sim->OutBytes());
}

// Writes behind a current one wait in order even when the ring has room; each is
// copied when the one before has ended, and SERIAL_EV_TXEMPTY comes only when no
// write is left current.
TEST_F(BufferedWrites, QueuedWritesAreCopiedInOrderAndTxEmptyWaitsForTheLast)
{
    Open();
    auto wait = WaitForTxEmpty();
    sim->HoldNext(Kind::Write);
    sim->HoldNext(Kind::Write);
    const Bytes a = Sequence(5000), b = Sequence(100, 5000), c = Sequence(4000, 5100);
    auto wa = Write(a);
    auto wb = Write(b);
    auto wc = Write(c);
    EXPECT_FALSE(wa->Done());
    EXPECT_FALSE(wb->Done()) << "the ring had room, but the write must wait behind the current one";
    EXPECT_FALSE(wc->Done());
    EXPECT_EQ(9100u, OutQueue());

    // A's last 904 bytes and all of B fit; C does not and becomes current.
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 4096));
    ExpectDone(*wa, STATUS_SUCCESS, 5000);
    ExpectDone(*wb, STATUS_SUCCESS, 100);
    EXPECT_FALSE(wc->Done());
    EXPECT_FALSE(wait->Done()) << "a write is still current";
    EXPECT_EQ(4000u, OutQueue());
    EXPECT_EQ((std::vector<ULONG>{4096, 4096}), Transfers());

    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 4096));
    ExpectDone(*wc, STATUS_SUCCESS, 4000);
    ExpectTxEmpty(*wait);
    EXPECT_EQ((std::vector<ULONG>{4096, 4096, 908}), Transfers());
    EXPECT_EQ(Concat({a, b, c}), sim->OutBytes());
}

// The write total timeout counts the whole length of the write; the bytes it had put
// into the ring when it timed out are still sent, the rest are not, and the write
// queued behind it goes on.
TEST_F(BufferedWrites, ACurrentWriteThatTimesOutKeepsWhatIsInTheRing)
{
    Open();
    SetWriteTimeouts(1, 100);  // 5100 ms for a 5000-byte write
    sim->HoldNext(Kind::Write);
    const Bytes first = Sequence(1000), second = Sequence(300, 1000), a = Sequence(5000, 1300), b = Sequence(50, 6300);
    ExpectDone(*Write(first), STATUS_SUCCESS, 1000);   // held in flight
    ExpectDone(*Write(second), STATUS_SUCCESS, 300);   // waits in the ring
    auto wa = Write(a);                                // 3796 bytes fit
    auto wb = Write(b);
    hk::AdvanceMs(5099);
    EXPECT_FALSE(wa->Done());
    hk::AdvanceMs(1);
    ExpectDone(*wa, STATUS_TIMEOUT, 3796);
    EXPECT_FALSE(wb->Done()) << "the ring is full: B is current now";

    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 1000));
    ExpectDone(*wb, STATUS_SUCCESS, 50);
    hk::AdvanceMs(10);  // fewer than a packet's worth waited for more
    EXPECT_EQ((std::vector<ULONG>{1000, 4096, 50}), Transfers());
    EXPECT_EQ(Concat({first, second, Slice(a, 0, 3796), b}), sim->OutBytes());
}

// A write's timer that expired but whose DPC runs only after the write completed.
class BufferedLateTimer : public BufferedWrites {
protected:
    // A 5000-byte write with a 100 ms timeout completes after its timer expired, its
    // DPC still waiting; the transfer of its last 904 bytes is held.
    void EndFirstWriteLate()
    {
        Open();
        SetWriteTimeouts(0, 100);
        sim->HoldNext(Kind::Write);
        sim->HoldNext(Kind::Write);
        hk::DeferDpcs(true);
        auto first = Write(Sequence(5000));
        hk::AdvanceMs(100);
        ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 4096));
        ExpectDone(*first, STATUS_SUCCESS, 5000);
    }
};

TEST_F(BufferedLateTimer, DoesNotEndASuccessorWithoutATimeout)
{
    EndFirstWriteLate();
    SetWriteTimeouts(0, 0);
    auto second = Write(Sequence(5000, 5000));  // current: 4096 bytes fit
    hk::RunDpcs();                              // the first write's timer runs now
    EXPECT_FALSE(second->Done()) << "a timer of the first write must not end the second";
    hk::DeferDpcs(false);
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 904));
    ExpectDone(*second, STATUS_SUCCESS, 5000);
    hk::AdvanceMs(10);
    EXPECT_EQ(Concat({Sequence(5000), Sequence(5000, 5000)}), sim->OutBytes());
}

TEST_F(BufferedLateTimer, DoesNotEndASuccessorBeforeItsOwnTimeout)
{
    EndFirstWriteLate();
    auto second = Write(Sequence(5000, 5000));  // current, with its own 100 ms
    hk::RunDpcs();
    EXPECT_FALSE(second->Done()) << "a timer of the first write must not end the second: " << second->Status();
    hk::DeferDpcs(false);
    hk::AdvanceMs(99);
    EXPECT_FALSE(second->Done());
    hk::AdvanceMs(1);
    ExpectDone(*second, STATUS_TIMEOUT, 4096);
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 904));
    EXPECT_EQ(Concat({Sequence(5000), Sequence(4096, 5000)}), sim->OutBytes());
}

// Cancelling a queued write ends only it; cancelling the current one ends it with
// nothing reported although its bytes in the ring are still sent, and the write
// behind it takes its place.
TEST_F(BufferedWrites, CancelEndsAQueuedOrTheCurrentWriteAndTheQueueGoesOn)
{
    Open();
    sim->HoldNext(Kind::Write);
    const Bytes first = Sequence(1000), a = Sequence(5000, 1000), b = Sequence(100, 6000), c = Sequence(200, 6100);
    ExpectDone(*Write(first), STATUS_SUCCESS, 1000);
    auto wa = Write(a);  // 4096 bytes fit, the ring is full
    auto wb = Write(b);
    auto wc = Write(c);
    EXPECT_EQ(5300u, OutQueue());

    ASSERT_TRUE(wb->Cancel());
    ExpectDone(*wb, STATUS_CANCELLED, 0);
    EXPECT_FALSE(wa->Done());
    EXPECT_FALSE(wc->Done());
    EXPECT_EQ(5200u, OutQueue());

    ASSERT_TRUE(wa->Cancel());
    ExpectDone(*wa, STATUS_CANCELLED, 0);
    EXPECT_FALSE(wc->Done()) << "the ring is still full: C is current now";
    EXPECT_EQ(200u, OutQueue());

    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 1000));
    ExpectDone(*wc, STATUS_SUCCESS, 200);
    EXPECT_EQ((std::vector<ULONG>{1000, 4096, 200}), Transfers());
    EXPECT_EQ(Concat({first, Slice(a, 0, 4096), c}), sim->OutBytes());
}

// The engine may be idle with a write current: its transfer request could not be had
// and the kick timer waits. A cancel of that write restarts the engine at once.
TEST_F(BufferedWrites, CancellingTheCurrentWriteRestartsAnIdleEngine)
{
    Open();
    const Bytes a = Sequence(5000), b = Sequence(100, 5000);
    hk::FailIrpAllocation(1);
    auto wa = Write(a);
    auto wb = Write(b);
    EXPECT_TRUE(Transfers().empty());
    ASSERT_TRUE(wa->Cancel());
    ExpectDone(*wa, STATUS_CANCELLED, 0);
    ExpectDone(*wb, STATUS_SUCCESS, 100);
    EXPECT_EQ((std::vector<ULONG>{4096, 100}), Transfers()) << "without time passing";
    hk::AdvanceMs(20);
    EXPECT_EQ((std::vector<ULONG>{4096, 100}), Transfers());
    EXPECT_EQ(Concat({Slice(a, 0, 4096), b}), sim->OutBytes());
}

TEST_F(BufferedWrites, AWriteThatArrivesCancelledEndsAtOnceWithNothingSent)
{
    Open();
    file->SubmitNextCancelled();
    ExpectDone(*Write(Sequence(100)), STATUS_CANCELLED, 0);
    EXPECT_EQ(0u, RingCount(&Port()->TxRing));
    EXPECT_TRUE(Transfers().empty());
    ExpectDone(*Write(Sequence(10, 100)), STATUS_SUCCESS, 10);
    EXPECT_EQ(Sequence(10, 100), sim->OutBytes());
}

// SERIAL_PURGE_TXABORT ends the current and the queued writes once each; the
// transmitter then runs again: what waited in the ring goes out, and new writes too.
TEST_F(BufferedWrites, PurgeTxAbortEndsEveryWriteAndTheTransmitterGoesOn)
{
    Open();
    pipesim::Fault stall;
    stall.stall = true;
    stall.times = 1;
    sim->InjectFault(Pipe::DataOut, Kind::Write, stall);
    const Bytes a = Sequence(5000, 1000);
    ExpectDone(*Write(Sequence(1000)), STATUS_SUCCESS, 1000);  // its transfer stalls
    auto wa = Write(a);
    auto wb = Write(Sequence(100, 6000));
    auto wc = Write(Sequence(200, 6100));

    auto purge = Purge(Dword(SERIAL_PURGE_TXABORT));
    ASSERT_TRUE(purge->Done());
    EXPECT_EQ(STATUS_SUCCESS, purge->Status());
    EXPECT_EQ(sizeof(ULONG), purge->Information());
    for (const auto& w : {wa, wb, wc}) ExpectDone(*w, STATUS_CANCELLED, 0);
    EXPECT_EQ(0u, OutQueue());
    // The aborted transfer is gone; the 4096 bytes of A in the ring go out after it.
    EXPECT_EQ((std::vector<ULONG>{1000, 4096, 0}), Transfers());
    EXPECT_EQ(Slice(a, 0, 4096), sim->OutBytes());

    sim->ClearRecords();
    ExpectDone(*Write(Sequence(50, 7000)), STATUS_SUCCESS, 50);
    EXPECT_EQ(std::vector<ULONG>{50}, Transfers());
    EXPECT_EQ(Sequence(50, 7000), sim->OutBytes());
}

TEST_F(BufferedWrites, PurgeTxClearDropsWhatWaitsInTheRingAndShortFlagsAreRefused)
{
    Open();
    sim->HoldNext(Kind::Write);
    ExpectDone(*Write(Sequence(100)), STATUS_SUCCESS, 100);
    ExpectDone(*Write(Sequence(50, 100)), STATUS_SUCCESS, 50);
    ASSERT_EQ(50u, RingCount(&Port()->TxRing));

    EXPECT_EQ(STATUS_INVALID_PARAMETER, Purge({(UCHAR)SERIAL_PURGE_TXCLEAR, 0})->Status());
    EXPECT_EQ(50u, RingCount(&Port()->TxRing)) << "two bytes of flags are not read as four";
    auto purge = Purge(Dword(SERIAL_PURGE_TXCLEAR));
    EXPECT_EQ(STATUS_SUCCESS, purge->Status());
    EXPECT_EQ(sizeof(ULONG), purge->Information());
    EXPECT_EQ(0u, RingCount(&Port()->TxRing));

    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 100));
    hk::AdvanceMs(20);
    EXPECT_EQ(std::vector<ULONG>{100}, Transfers());
    EXPECT_EQ(Sequence(100), sim->OutBytes());
}

// No transfer request: the bytes stay in the ring and the kick timer tries again.
TEST_F(BufferedWrites, BytesThatFoundNoTransferRequestGoOutTenMsLater)
{
    Open();
    hk::FailIrpAllocation(1);
    ExpectDone(*Write(Sequence(100)), STATUS_SUCCESS, 100);
    EXPECT_TRUE(Transfers().empty());
    EXPECT_EQ(100u, RingCount(&Port()->TxRing));
    hk::AdvanceMs(9);
    EXPECT_TRUE(Transfers().empty());
    hk::AdvanceMs(1);
    EXPECT_EQ(std::vector<ULONG>{100}, Transfers());
    EXPECT_EQ(Sequence(100), sim->OutBytes());
}

// A failed transfer is not retried, the engine goes on with the rest of the ring, and
// the statistics count what the pipe driver reported sent, not what was handed down.
TEST_F(BufferedWrites, AFailedTransferIsNotRetriedAndOnlyReportedBytesCount)
{
    Open();
    const ULONG perf = Port()->PerfStats.TransmittedCount, wmi = Port()->WmiPerfStats.TransmittedCount;
    pipesim::Fault fail;
    fail.status = STATUS_UNSUCCESSFUL;
    fail.times = 1;
    sim->InjectFault(Pipe::DataOut, Kind::Write, fail);
    const Bytes a = Sequence(5000);
    ExpectDone(*Write(a), STATUS_SUCCESS, 5000);
    EXPECT_EQ((std::vector<ULONG>{4096, 904}), Transfers());
    EXPECT_EQ(Slice(a, 4096, 904), sim->OutBytes());
    EXPECT_EQ(perf + 904, Port()->PerfStats.TransmittedCount);
    EXPECT_EQ(wmi + 904, Port()->WmiPerfStats.TransmittedCount);

    pipesim::Fault shortWrite;
    shortWrite.shortWrite = 10;
    shortWrite.times = 1;
    sim->InjectFault(Pipe::DataOut, Kind::Write, shortWrite);
    ExpectDone(*Write(Sequence(100)), STATUS_SUCCESS, 100);
    EXPECT_EQ((std::vector<ULONG>{4096, 904, 100}), Transfers());
    EXPECT_EQ(perf + 914, Port()->PerfStats.TransmittedCount);
    EXPECT_EQ(wmi + 914, Port()->WmiPerfStats.TransmittedCount);
}

// A pipe driver that completes each transfer inside the call that sent it: a long
// write is sent whole, the chain unwinding through the kick timer's DPC with no time
// passing, never nesting deeper than a kernel stack holds.
TEST_F(BufferedWrites, ALongWriteToAPipeThatCompletesAtOnceDoesNotNestTheStack)
{
    Open();
    const Bytes a = Sequence(200 * 1024);
    const LONGLONG start = hk::Now();
    auto w = Write(a);
    for (int i = 0; i < 1000 && !w->Done(); ++i) hk::RunDpcs();
    ExpectDone(*w, STATUS_SUCCESS, a.size());
    EXPECT_EQ(start, hk::Now());
    std::vector<ULONG> expected(50, 4096);
    expected.push_back(0);
    EXPECT_EQ(expected, Transfers());
    EXPECT_EQ(a, sim->OutBytes());
}

// A stopped transmitter, and one after cleanup, takes writes as done with nothing
// sent; cleanup also ends the pending writes and empties the ring.
TEST_F(BufferedWrites, WritesToAStoppedTransmitterSucceedWithNothingSent)
{
    Open();
    TxStop(Port());
    ExpectDone(*Write(Sequence(100)), STATUS_SUCCESS, 0);
    TxStart(Port());
    ExpectDone(*Write(Sequence(20, 100)), STATUS_SUCCESS, 20);
    EXPECT_EQ(Sequence(20, 100), sim->OutBytes());

    pipesim::Fault stall;
    stall.stall = true;
    stall.times = 1;
    sim->InjectFault(Pipe::DataOut, Kind::Write, stall);
    sim->ClearRecords();
    ExpectDone(*Write(Sequence(100)), STATUS_SUCCESS, 100);  // its transfer stalls
    auto current = Write(Sequence(5000));
    auto queued = Write(Sequence(10));
    auto cleanup = file->Start(IRP_MJ_CLEANUP, {});
    EXPECT_EQ(STATUS_SUCCESS, cleanup->Status());
    ExpectDone(*current, STATUS_CANCELLED, 0);
    ExpectDone(*queued, STATUS_CANCELLED, 0);
    EXPECT_EQ(0u, RingCount(&Port()->TxRing));
    ExpectDone(*Write(Sequence(10)), STATUS_SUCCESS, 0);
    EXPECT_EQ(std::vector<ULONG>{100}, Transfers());
    EXPECT_TRUE(sim->OutBytes().empty());
}
