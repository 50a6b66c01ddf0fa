// Cleanup, flush and purge: the requests that end or discard work in progress on an
// open port. What each purge flag does to the reads, the receive ring, the writes and
// the transmit ring, and what it leaves alone; the flush's wait in each write mode,
// on the virtual clock; and the cleanup that ends every pending request and stops
// both pumps before the close.
#include "driver/sim_fixture.h"
#include "rx/ring_buffer.h"

using pipesim::Fault;
using pipesim::Kind;
using pipesim::Pipe;

namespace {

constexpr LONGLONG kMs = 10000;

Bytes Le32(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }
Bytes Concat(const Bytes& a, const Bytes& b)
{
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}
void ExpectEnded(const hk::Request& r, NTSTATUS status, ULONG_PTR information)
{
    ASSERT_TRUE(r.Done());
    EXPECT_EQ(status, r.Status());
    EXPECT_EQ(information, r.Information());
}
}  // namespace

class CleanupFlushPurge : public SimPortTest {
protected:
    // Adds an adapter with these registry values, starts it and opens the port.
    void Open(std::vector<hk::RegistryValue> registry = {})
    {
        pipesim::Options o;
        o.registry = std::move(registry);
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(std::move(o)));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
    }
    void OpenBuffered() { Open({Dword(u"TxAsync", 1)}); }
    void TearDown() override
    {
        if (file) file->Close();
        file.reset();
        SimPortTest::TearDown();
    }

    std::shared_ptr<hk::Request> Purge(ULONG flags) { return file->StartIoctl(IOCTL_SERIAL_PURGE, Le32(flags), 0); }
    void SetReadTimeouts(ULONG interval, ULONG multiplier, ULONG constant)
    {
        SERIAL_TIMEOUTS t{interval, multiplier, constant, 0, 0};
        const UCHAR* p = (const UCHAR*)&t;
        ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(p, p + sizeof t), 0)->Status());
    }
    // The adapter receives bytes; the pump takes them as far as it may.
    void Feed(const Bytes& bytes)
    {
        sim->Feed(bytes);
        hk::RunUntil([&] { return sim->PendingInBytes() == 0; }, 100 * kMs);
    }
    // Bytes the pump has put into RxRing but not yet served to the current read.
    void IntoRingUnserved(const Bytes& bytes)
    {
        ASSERT_EQ(bytes.size(), RingPut(&Port()->RxRing, bytes.data(), (ULONG)bytes.size()));
    }
    void StallNextWrite()
    {
        Fault stall;
        stall.stall = true;
        stall.times = 1;
        sim->InjectFault(Pipe::DataOut, Kind::Write, stall);
    }
    int ReadsOn(Pipe pipe) const
    {
        int n = 0;
        for (const auto& a : sim->Arrivals()) n += a.major == IRP_MJ_READ && a.pipe == (int)pipe;
        return n;
    }
    // Time passes a millisecond at a time, with the other threads running at each step
    // (a thread waiting on a timer goes on when it expires).
    static void Pass(int ms)
    {
        hk::YieldToOthers();
        for (int i = 0; i < ms; ++i) {
            hk::AdvanceMs(1);
            hk::YieldToOthers();
        }
    }
    ULONG RxCount() const { return RingCount(&Port()->RxRing); }
    ULONG TxCount() const { return RingCount(&Port()->TxRing); }

    std::unique_ptr<hk::File> file;
};

// ---- Purge ------------------------------------------------------------------------------

TEST_F(CleanupFlushPurge, PurgeOfAllFourFlagsEndsEveryReadAndWriteAndEmptiesTheReceiveRing)
{
    OpenBuffered();
    SetReadTimeouts(0, 0, 0);
    auto current = file->StartRead(20);
    auto queued = file->StartRead(5);
    Feed(Sequence(8));
    IntoRingUnserved(Sequence(6, 100));
    StallNextWrite();
    ExpectEnded(*file->StartWrite(Sequence(100, 200)), STATUS_SUCCESS, 100);  // its transfer stalls
    auto writing = file->StartWrite(Sequence(5000, 300));
    auto waiting = file->StartWrite(Sequence(10, 5300));
    ASSERT_EQ(Port()->TxRing.Size, TxCount());
    sim->ClearRecords();

    auto purge = Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR);
    ExpectEnded(*purge, STATUS_SUCCESS, sizeof(ULONG));
    EXPECT_EQ(IO_NO_INCREMENT, purge->Boost());
    for (const auto& r : {current, queued, writing, waiting}) ExpectEnded(*r, STATUS_CANCELLED, 0);
    EXPECT_EQ(0u, RxCount());
    EXPECT_EQ(0u, sim->Outstanding(Pipe::DataOut)) << "the stalled transfer was aborted";

    // Both sides go on.
    hk::AdvanceMs(50);
    ExpectEnded(*file->StartWrite(Sequence(30, 6000)), STATUS_SUCCESS, 30);
    ASSERT_FALSE(sim->OutTransfers().empty());
    EXPECT_EQ(Sequence(30, 6000), sim->OutTransfers().back());
    auto read = file->StartRead(4);
    Feed(Sequence(4, 7000));
    ExpectEnded(*read, STATUS_SUCCESS, 4);
    EXPECT_EQ(Sequence(4, 7000), read->Output());
}

// With TXABORT, TXCLEAR still drops what waited in the transmit ring: the transmitter's
// restart must not send it first.
TEST_F(CleanupFlushPurge, TxAbortWithTxClearSendsNothingThatWaitedInTheRing)
{
    OpenBuffered();
    StallNextWrite();
    ExpectEnded(*file->StartWrite(Sequence(100)), STATUS_SUCCESS, 100);  // its transfer stalls
    ExpectEnded(*file->StartWrite(Sequence(200, 100)), STATUS_SUCCESS, 200);
    ASSERT_EQ(200u, TxCount());
    sim->ClearRecords();
    ExpectEnded(*Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS, sizeof(ULONG));
    hk::AdvanceMs(50);
    EXPECT_TRUE(sim->OutBytes().empty());
    ExpectEnded(*file->StartWrite(Sequence(30, 6000)), STATUS_SUCCESS, 30);
    EXPECT_EQ(Sequence(30, 6000), sim->OutBytes());
}

// No flag, only bits without a meaning, or flags shorter than 4 bytes: nothing is done.
TEST_F(CleanupFlushPurge, PurgeWithoutAKnownFlagOrWithShortFlagsLeavesEverythingInPlace)
{
    OpenBuffered();
    SetReadTimeouts(0, 0, 0);
    auto read = file->StartRead(20);
    Feed(Sequence(8));
    IntoRingUnserved(Sequence(6, 100));
    StallNextWrite();
    ExpectEnded(*file->StartWrite(Sequence(100, 200)), STATUS_SUCCESS, 100);
    auto writing = file->StartWrite(Sequence(5000, 300));

    const Bytes allFour = Le32(0x0F);
    const std::pair<Bytes, NTSTATUS> cases[] = {{Le32(0), STATUS_SUCCESS},
                                                {Le32(~0x0Fu), STATUS_SUCCESS},
                                                {Bytes(allFour.begin(), allFour.begin() + 2), STATUS_INVALID_PARAMETER},
                                                {{}, STATUS_INVALID_PARAMETER}};
    for (const auto& [flags, status] : cases) {
        auto purge = file->StartIoctl(IOCTL_SERIAL_PURGE, flags, 0);
        ExpectEnded(*purge, status, status == STATUS_SUCCESS ? sizeof(ULONG) : 0);
        EXPECT_FALSE(read->Done()) << flags.size();
        EXPECT_FALSE(writing->Done()) << flags.size();
        EXPECT_EQ(6u, RxCount()) << flags.size();
        EXPECT_EQ(Port()->TxRing.Size, TxCount()) << flags.size();
        EXPECT_EQ(1u, sim->Outstanding(Pipe::DataOut)) << flags.size();
    }
}

// The current read ends without the bytes it had; the ring keeps what it holds, and
// the pump its read on the data-in pipe.
TEST_F(CleanupFlushPurge, RxAbortCancelsTheCurrentAndQueuedReadsAndKeepsTheRing)
{
    Open();
    SetReadTimeouts(0, 0, 0);
    auto current = file->StartRead(20);
    auto second = file->StartRead(5);
    auto third = file->StartRead(3);
    Feed(Sequence(8));
    ASSERT_FALSE(current->Done());
    IntoRingUnserved(Sequence(6, 100));

    auto purge = Purge(SERIAL_PURGE_RXABORT);
    ExpectEnded(*purge, STATUS_SUCCESS, sizeof(ULONG));
    for (const auto& r : {current, second, third}) {
        ExpectEnded(*r, STATUS_CANCELLED, 0);
        EXPECT_EQ(IO_NO_INCREMENT, r->Boost());
    }
    EXPECT_EQ(6u, RxCount());
    EXPECT_EQ(1u, sim->Outstanding(Pipe::DataIn));

    auto next = file->StartRead(10);
    Feed(Sequence(4, 200));
    ExpectEnded(*next, STATUS_SUCCESS, 10);
    EXPECT_EQ(Concat(Sequence(6, 100), Sequence(4, 200)), next->Output());
}

// RXCLEAR drops the received bytes but not the reads waiting for bytes, and, with the
// room it makes, lets the pump take in what receive flow control held back.
TEST_F(CleanupFlushPurge, RxClearDropsTheRingsBytesKeepsThePendingReadAndLetsThePumpGoOn)
{
    Open();
    SetReadTimeouts(0, 0, 0);
    Feed(Sequence(10));
    ASSERT_EQ(10u, RxCount());
    ExpectEnded(*Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS, sizeof(ULONG));
    EXPECT_EQ(0u, RxCount());

    auto read = file->StartRead(6);
    EXPECT_FALSE(read->Done());
    ExpectEnded(*Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS, sizeof(ULONG));
    EXPECT_FALSE(read->Done());
    Feed(Sequence(6, 30));
    ExpectEnded(*read, STATUS_SUCCESS, 6);
    EXPECT_EQ(Sequence(6, 30), read->Output());

    // Fill the ring to where flow control stops the pump: the next bytes stay with the adapter.
    const ULONG stop = Port()->RxRing.Size - (ULONG)Port()->HandFlow.XoffLimit;
    Feed(Sequence(stop, 1000));
    ASSERT_EQ(stop, RxCount());
    sim->Feed(Sequence(100, 9000));
    hk::AdvanceMs(50);
    ASSERT_EQ(stop, RxCount());
    ASSERT_EQ(100u, sim->PendingInBytes());
    ExpectEnded(*Purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS, sizeof(ULONG));
    hk::AdvanceMs(50);
    EXPECT_EQ(100u, RxCount()) << "the pump went on without a read draining the ring";
    auto after = file->StartRead(100);
    ExpectEnded(*after, STATUS_SUCCESS, 100);
    EXPECT_EQ(Sequence(100, 9000), after->Output());
}

TEST_F(CleanupFlushPurge, NoTimerOfAnAbortedReadEndsTheNextUntimedRead)
{
    Open();
    SetReadTimeouts(0, 0, 500);  // a whole-read time of 500 ms
    auto timed = file->StartRead(10);
    hk::AdvanceMs(300);
    ExpectEnded(*Purge(SERIAL_PURGE_RXABORT), STATUS_SUCCESS, sizeof(ULONG));
    ExpectEnded(*timed, STATUS_CANCELLED, 0);

    SetReadTimeouts(0, 0, 0);
    auto untimed = file->StartRead(10);
    hk::AdvanceMs(1000);
    EXPECT_FALSE(untimed->Done()) << "the aborted read's timer was due 200 ms after the purge";
    Feed(Sequence(10));
    ExpectEnded(*untimed, STATUS_SUCCESS, 10);
    EXPECT_EQ(Sequence(10), untimed->Output());
}

// A pipe driver may hold a write past the abort: the purge waits until it has come
// back, ends the write, and the next write goes out as usual.
class PurgeOfAHeldWrite : public CleanupFlushPurge, public ::testing::WithParamInterface<bool> {};

TEST_P(PurgeOfAHeldWrite, WaitsForItsReturnAndTheNextWriteGoesOut)
{
    const bool buffered = GetParam();
    buffered ? OpenBuffered() : Open();
    sim->HoldNext(Kind::Write);
    auto held = file->StartWrite(Sequence(100));
    auto writing = buffered ? file->StartWrite(Sequence(5000, 100)) : held;
    std::shared_ptr<hk::Request> purge;
    hk::Thread purger([&] { purge = Purge(SERIAL_PURGE_TXABORT); });
    Pass(100);
    EXPECT_FALSE(purger.Finished());
    EXPECT_FALSE(writing->Done());
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_CANCELLED));
    purger.Join();
    ExpectEnded(*purge, STATUS_SUCCESS, sizeof(ULONG));
    ExpectEnded(*writing, STATUS_CANCELLED, 0);

    hk::AdvanceMs(50);
    ExpectEnded(*file->StartWrite(Sequence(30, 8000)), STATUS_SUCCESS, 30);
    ASSERT_FALSE(sim->OutTransfers().empty());
    EXPECT_EQ(Sequence(30, 8000), sim->OutTransfers().back());
}

INSTANTIATE_TEST_SUITE_P(WriteMode, PurgeOfAHeldWrite, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Buffered" : "Direct"; });

// ---- Flush ------------------------------------------------------------------------------

TEST_F(CleanupFlushPurge, DirectFlushWaitsUntilTheTransmitterIsIdleButAtMostThirtySeconds)
{
    Open();
    LONGLONG start = hk::Now();
    auto idle = file->StartFlush();
    ExpectEnded(*idle, STATUS_SUCCESS, 0);
    EXPECT_EQ(IO_SERIAL_INCREMENT, idle->Boost());
    EXPECT_EQ(start, hk::Now());

    // A write that comes back after 5 s.
    sim->HoldNext(Kind::Write);
    auto write = file->StartWrite(Sequence(10));
    std::shared_ptr<hk::Request> flush;
    start = hk::Now();
    hk::Thread flusher([&] { flush = file->StartFlush(); });
    Pass(5000);
    EXPECT_FALSE(flusher.Finished());
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 10));
    flusher.Join();
    EXPECT_EQ(5000 * kMs, hk::Now() - start);
    ExpectEnded(*flush, STATUS_SUCCESS, 0);
    ExpectEnded(*write, STATUS_SUCCESS, 10);

    // A write that does not come back: the flush gives up after 30 s, and succeeds.
    sim->HoldNext(Kind::Write);
    write = file->StartWrite(Sequence(10, 10));
    start = hk::Now();
    flush = file->StartFlush();
    EXPECT_EQ(30000 * kMs, hk::Now() - start);
    ExpectEnded(*flush, STATUS_SUCCESS, 0);
    EXPECT_EQ(IO_SERIAL_INCREMENT, flush->Boost());
    EXPECT_FALSE(write->Done());
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 10));
    ExpectEnded(*write, STATUS_SUCCESS, 10);
}

// Buffered mode: the flush waits for the transmit ring to be empty, not for the
// transfer in flight, looking every 10 ms and at most about 30 s.
TEST_F(CleanupFlushPurge, BufferedFlushWaitsForAnEmptyRingLookingEveryTenMs)
{
    OpenBuffered();
    sim->HoldNext(Kind::Write);
    ExpectEnded(*file->StartWrite(Sequence(100)), STATUS_SUCCESS, 100);
    ASSERT_EQ(0u, TxCount());
    LONGLONG start = hk::Now();
    auto flush = file->StartFlush();
    ExpectEnded(*flush, STATUS_SUCCESS, 0);
    EXPECT_EQ(IO_SERIAL_INCREMENT, flush->Boost());
    EXPECT_EQ(start, hk::Now()) << "the ring is empty; the held transfer does not count";

    // 100 bytes wait in the ring behind the held transfer, released 25 ms into the
    // flush: the next transfer takes them at once, the flush's next look is at 30 ms.
    ExpectEnded(*file->StartWrite(Sequence(100, 100)), STATUS_SUCCESS, 100);
    ASSERT_EQ(100u, TxCount());
    start = hk::Now();
    hk::Thread flusher([&] { flush = file->StartFlush(); });
    Pass(25);
    EXPECT_FALSE(flusher.Finished());
    sim->HoldNext(Kind::Write);
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 100));
    ASSERT_EQ(0u, TxCount());
    Pass(4);
    EXPECT_FALSE(flusher.Finished());
    Pass(1);
    EXPECT_TRUE(flusher.Finished());
    flusher.Join();
    EXPECT_EQ(30 * kMs, hk::Now() - start);
    ExpectEnded(*flush, STATUS_SUCCESS, 0);

    // The transfer of those 100 bytes is held for ever: bytes that come now stay in the ring.
    ExpectEnded(*file->StartWrite(Sequence(100, 200)), STATUS_SUCCESS, 100);
    start = hk::Now();
    flush = file->StartFlush();
    const LONGLONG took = hk::Now() - start;
    EXPECT_GE(took, 29990 * kMs);
    EXPECT_LE(took, 30020 * kMs);
    ExpectEnded(*flush, STATUS_SUCCESS, 0);
    EXPECT_EQ(100u, TxCount());
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 100));
}

// ---- Cleanup ----------------------------------------------------------------------------

TEST_F(CleanupFlushPurge, CleanupEndsEveryPendingRequestStopsBothPumpsAndTheCloseFollows)
{
    Open({Dword(u"EndPointCaps", 1)});
    ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_WAIT_MASK, Le32(SERIAL_EV_BREAK), 0)->Status());
    auto wait = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    SetReadTimeouts(0, 0, 0);
    auto read = file->StartRead(10);
    Feed(Sequence(3));
    StallNextWrite();
    auto current = file->StartWrite(Sequence(10, 100));
    auto queued1 = file->StartWrite(Sequence(20, 200));
    auto queued2 = file->StartWrite(Sequence(30, 300));
    hk::AdvanceMs(30);
    const int statusReads = ReadsOn(Pipe::Status);
    ASSERT_GT(statusReads, 1) << "the lines are polled";
    ASSERT_EQ(1u, sim->Outstanding(Pipe::DataIn));
    ASSERT_FALSE(wait->Done());
    ASSERT_FALSE(read->Done());

    auto cleanup = file->Start(IRP_MJ_CLEANUP, {});
    ExpectEnded(*cleanup, STATUS_SUCCESS, 0);
    ExpectEnded(*wait, STATUS_SUCCESS, 0);
    ExpectEnded(*read, STATUS_CANCELLED, 0);
    for (const auto& w : {current, queued1, queued2}) ExpectEnded(*w, STATUS_CANCELLED, 0);
    EXPECT_EQ(0u, sim->Outstanding(Pipe::DataIn));
    EXPECT_EQ(0u, sim->Outstanding(Pipe::Status));
    EXPECT_EQ(0u, sim->Outstanding(Pipe::DataOut));
    EXPECT_TRUE(sim->OutBytes().empty()) << "the queued writes never went down";

    const int dataReads = ReadsOn(Pipe::DataIn), polls = ReadsOn(Pipe::Status);
    hk::AdvanceMs(1000);
    EXPECT_EQ(dataReads, ReadsOn(Pipe::DataIn));
    EXPECT_EQ(polls, ReadsOn(Pipe::Status));
    // A write between the cleanup and the close is taken with nothing sent.
    ExpectEnded(*file->StartWrite(Sequence(10, 400)), STATUS_SUCCESS, 0);
    EXPECT_TRUE(sim->OutBytes().empty());

    EXPECT_EQ(STATUS_SUCCESS, file->Close());
    EXPECT_EQ(STATUS_SUCCESS, file->WaitClosed());
    EXPECT_EQ(0, Port()->OpenCount);
    EXPECT_FALSE(sim->IsOpen(Pipe::DataIn));
}

// A device on its way out still has its requests ended by purge and cleanup, and its
// flush answered: the application could not close its handle otherwise.
TEST_F(CleanupFlushPurge, PurgeFlushAndCleanupIgnoreTheRemovalFlags)
{
    Open();
    ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_WAIT_MASK, Le32(SERIAL_EV_BREAK), 0)->Status());
    auto wait = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    SetReadTimeouts(0, 0, 0);
    auto read = file->StartRead(10);
    Port()->SurpriseRemoved = 1;  // as the surprise removal sets it while the handle is open
    ExpectEnded(*Purge(SERIAL_PURGE_RXABORT), STATUS_SUCCESS, sizeof(ULONG));
    ExpectEnded(*read, STATUS_CANCELLED, 0);
    ExpectEnded(*file->StartFlush(), STATUS_SUCCESS, 0);
    EXPECT_FALSE(wait->Done());
    EXPECT_EQ(STATUS_SUCCESS, file->Close());
    ExpectEnded(*wait, STATUS_SUCCESS, 0);
    EXPECT_TRUE(file->Closed());
    Port()->SurpriseRemoved = 0;
}
