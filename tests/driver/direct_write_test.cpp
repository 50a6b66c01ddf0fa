// The direct write path: each application write goes to the pipe driver as itself,
// one at a time, with its zero-length packet, its write total timeout and the end of
// the queue posted as SERIAL_EV_TXEMPTY; how the pipe driver's completion, the write
// timeout and the cancelling of every write meet, in each order.
#include <numeric>

#include "driver/sim_fixture.h"
#include "tx/write.h"

using pipesim::Fault;
using pipesim::Kind;
using pipesim::Pipe;

namespace {

Bytes Dword(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }
}  // namespace

class DirectWrites : public OpenPortTest {
protected:
    // Every byte accepted is given back when its write ends, whichever way it ends;
    // the close ends whatever a test left outstanding.
    void TearDown() override
    {
        if (file) {
            file->Close();
            file.reset();
        }
        if (port) {
            EXPECT_EQ(0u, Port()->CommStatus.AmountInOutQueue);
        }
        OpenPortTest::TearDown();
    }

    std::vector<ULONG> WriteLengths() const
    {
        std::vector<ULONG> lengths;
        for (const auto& a : sim->Arrivals())
            if (a.major == IRP_MJ_DEVICE_CONTROL && a.code == pipesim::kIoctlPipeWrite) lengths.push_back(a.length);
        return lengths;
    }
    void SetWriteTimeouts(ULONG multiplier, ULONG constant)
    {
        SERIAL_TIMEOUTS t{MAXULONG, 0, 0, multiplier, constant};
        const UCHAR* p = (const UCHAR*)&t;
        ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(p, p + sizeof t), 0)->Status());
    }
    // Pipe writes stay pending but cancellable: IoCancelIrp ends them at once.
    void StallWrites(int times = -1, int skip = 0)
    {
        Fault f;
        f.stall = true;
        f.times = times;
        f.skip = skip;
        sim->InjectFault(Pipe::DataOut, Kind::Write, f);
    }
    bool TxIdle() { return KeReadStateEvent(&Port()->TxIdleEvent) != 0; }
    static void ExpectEnded(const hk::Request& r, NTSTATUS status, ULONG_PTR information, CCHAR boost)
    {
        ASSERT_TRUE(r.Done());
        EXPECT_EQ(status, r.Status());
        EXPECT_EQ(information, r.Information());
        EXPECT_EQ(boost, r.Boost());
    }
};

// ---- Zero-length packets ----------------------------------------------------------------

TEST_F(DirectWrites, AWriteOfWholePacketsIsFollowedByAZeroLengthPass)
{
    for (ULONG n : {64u, 128u, 100u}) {
        sim->ClearRecords();
        auto w = file->StartWrite(Sequence(n));
        ExpectEnded(*w, STATUS_SUCCESS, n, IO_SERIAL_INCREMENT);
        std::vector<ULONG> passes{n};
        if (n % 64 == 0) passes.push_back(0);
        EXPECT_EQ(passes, WriteLengths()) << n;
        EXPECT_EQ(Sequence(n), sim->OutBytes());
    }
}

TEST_F(DirectWrites, NoZeroLengthPassAfterAShortPassOrWhileNotWorkingAndAFailedOneEndsTheWrite)
{
    Fault shortPass;
    shortPass.shortWrite = 63;
    shortPass.times = 1;
    sim->InjectFault(Pipe::DataOut, Kind::Write, shortPass);
    sim->ClearRecords();
    ExpectEnded(*file->StartWrite(Sequence(64)), STATUS_SUCCESS, 63, IO_SERIAL_INCREMENT);
    EXPECT_EQ(std::vector<ULONG>{64}, WriteLengths()) << "decided on what the pipe reported, not what was asked";

    Port()->RunState = RUN_POWERED_DOWN;
    sim->ClearRecords();
    ExpectEnded(*file->StartWrite(Sequence(64)), STATUS_SUCCESS, 64, IO_SERIAL_INCREMENT);
    EXPECT_EQ(std::vector<ULONG>{64}, WriteLengths());
    Port()->RunState = RUN_WORKING;

    Fault failedNull;
    failedNull.status = STATUS_DEVICE_DATA_ERROR;
    failedNull.skip = 1;
    failedNull.times = 1;
    sim->InjectFault(Pipe::DataOut, Kind::Write, failedNull);
    sim->CompleteLater(Kind::Write, 10000);
    sim->ClearRecords();
    auto w = file->StartWrite(Sequence(128));
    hk::AdvanceMs(2);
    ExpectEnded(*w, STATUS_DEVICE_DATA_ERROR, 128, IO_SERIAL_INCREMENT);
    EXPECT_EQ((std::vector<ULONG>{128, 0}), WriteLengths()) << "the bytes of both passes count";
}

TEST_F(DirectWrites, TheRegistryCanTurnZeroLengthPacketsOff)
{
    file->Close();
    file.reset();
    stack->Remove();
    pipesim::Options o;
    o.registry = {hk::RegistryValue::Dword(u"TxAllowNullPacket", 0)};
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter(o));
    ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
    sim->ClearRecords();
    ExpectEnded(*file->StartWrite(Sequence(128)), STATUS_SUCCESS, 128, IO_SERIAL_INCREMENT);
    EXPECT_EQ(std::vector<ULONG>{128}, WriteLengths());
}

// ---- The write total timeout --------------------------------------------------------

TEST_F(DirectWrites, TheTimeoutIsMultiplierTimesLengthPlusConstantAndTheNextWriteThenGoesDown)
{
    SetWriteTimeouts(10, 50);
    StallWrites(1);
    sim->ClearRecords();
    auto slow = file->StartWrite(Sequence(100));
    auto next = file->StartWrite(Sequence(10, 100));
    hk::AdvanceMs(1049);
    EXPECT_FALSE(slow->Done());
    EXPECT_FALSE(next->Done());
    hk::AdvanceMs(1);
    ExpectEnded(*slow, STATUS_TIMEOUT, 0, IO_SERIAL_INCREMENT);
    ExpectEnded(*next, STATUS_SUCCESS, 10, IO_SERIAL_INCREMENT);
    EXPECT_EQ((std::vector<ULONG>{100, 10}), WriteLengths());
    EXPECT_EQ(Sequence(10, 100), sim->OutBytes());

    SetWriteTimeouts(0, 0);
    StallWrites(1);
    auto untimed = file->StartWrite(Sequence(100));
    hk::AdvanceMs(3600 * 1000);
    EXPECT_FALSE(untimed->Done());
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 100));
    ExpectEnded(*untimed, STATUS_SUCCESS, 100, IO_SERIAL_INCREMENT);
}

// ---- The queue, the end of transmission ---------------------------------------------

TEST_F(DirectWrites, WritesGoDownOneAtATimeInOrderAndTheQueueRunningDryIsPostedOnce)
{
    ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_WAIT_MASK, Dword(SERIAL_EV_TXEMPTY), 0)->Status());
    auto wait = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    for (int i = 0; i < 3; ++i) sim->HoldNext(Kind::Write);
    sim->ClearRecords();
    const std::vector<ULONG> lengths{10, 20, 30};
    std::vector<std::shared_ptr<hk::Request>> w;
    for (ULONG n : lengths) w.push_back(file->StartWrite(Sequence(n, (UCHAR)n)));
    EXPECT_EQ(60u, Port()->CommStatus.AmountInOutQueue);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(std::vector<ULONG>(lengths.begin(), lengths.begin() + i + 1), WriteLengths());
        EXPECT_FALSE(wait->Done()) << i;
        EXPECT_FALSE(TxIdle()) << i;
        for (size_t j = i; j < 3; ++j) EXPECT_FALSE(w[j]->Done()) << j;
        ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, lengths[i]));
        ExpectEnded(*w[i], STATUS_SUCCESS, lengths[i], IO_SERIAL_INCREMENT);
    }
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(STATUS_SUCCESS, wait->Status());
    EXPECT_EQ(Dword(SERIAL_EV_TXEMPTY), wait->Output());
    EXPECT_TRUE(TxIdle());
    auto again = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    EXPECT_FALSE(again->Done()) << "posted once, at the end of the last write";
}

// ---- Cancelling and refusing --------------------------------------------------------

TEST_F(DirectWrites, CancellingAQueuedWriteLeavesTheCurrentOneAndTheRestInPlace)
{
    sim->HoldNext(Kind::Write);
    sim->ClearRecords();
    auto current = file->StartWrite(Sequence(10));
    auto middle = file->StartWrite(Sequence(20));
    auto last = file->StartWrite(Sequence(30, 7));
    EXPECT_TRUE(middle->Cancel());
    ExpectEnded(*middle, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    EXPECT_EQ(40u, Port()->CommStatus.AmountInOutQueue);
    file->SubmitNextCancelled();
    ExpectEnded(*file->StartWrite(Sequence(5)), STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    EXPECT_EQ(40u, Port()->CommStatus.AmountInOutQueue);
    EXPECT_FALSE(current->Done());
    EXPECT_FALSE(last->Done());
    EXPECT_EQ(std::vector<ULONG>{10}, WriteLengths());

    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 10));
    ExpectEnded(*current, STATUS_SUCCESS, 10, IO_SERIAL_INCREMENT);
    ExpectEnded(*last, STATUS_SUCCESS, 30, IO_SERIAL_INCREMENT);
    EXPECT_EQ((std::vector<ULONG>{10, 30}), WriteLengths());
    ASSERT_EQ(2u, sim->OutTransfers().size());
    EXPECT_EQ(Sequence(30, 7), sim->OutTransfers()[1]);

    file->SubmitNextCancelled();
    ExpectEnded(*file->StartWrite(Sequence(5)), STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    EXPECT_EQ((std::vector<ULONG>{10, 30}), WriteLengths()) << "an idle transmitter does not send it either";
}

TEST_F(DirectWrites, WritesWhileStoppedAfterCleanupOrOfNoBytesSucceedWithNothingSent)
{
    sim->ClearRecords();
    ExpectEnded(*file->StartWrite({}), STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    TxStop(Port());
    ExpectEnded(*file->StartWrite(Sequence(64)), STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    TxStart(Port());
    EXPECT_TRUE(WriteLengths().empty());
    ExpectEnded(*file->StartWrite(Sequence(64)), STATUS_SUCCESS, 64, IO_SERIAL_INCREMENT);

    ASSERT_EQ(STATUS_SUCCESS, file->Start(IRP_MJ_CLEANUP, {})->Status());
    sim->ClearRecords();
    ExpectEnded(*file->StartWrite(Sequence(64)), STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    EXPECT_TRUE(WriteLengths().empty());
}

// A purge aborts what is with the pipe driver and cancels what waits: a queued write
// is never handed down during the purge.
TEST_F(DirectWrites, APurgeOfTransmissionEndsTheWritesAndTheNextGoesThrough)
{
    StallWrites(1);
    auto current = file->StartWrite(Sequence(10));
    auto queued = file->StartWrite(Sequence(20));
    sim->ClearRecords();
    auto purge = file->StartIoctl(IOCTL_SERIAL_PURGE, Dword(SERIAL_PURGE_TXABORT), 0);
    ASSERT_TRUE(purge->Done());
    EXPECT_EQ(STATUS_SUCCESS, purge->Status());
    ExpectEnded(*current, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);
    ExpectEnded(*queued, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    EXPECT_TRUE(WriteLengths().empty());
    ExpectEnded(*file->StartWrite(Sequence(20)), STATUS_SUCCESS, 20, IO_SERIAL_INCREMENT);
    EXPECT_EQ(std::vector<ULONG>{20}, WriteLengths());
}

// A stop without a cancel (a power-down) keeps the queued writes; the start sends them.
TEST_F(DirectWrites, QueuedWritesWaitOutAStopAndGoDownAtTheStart)
{
    StallWrites(1);
    auto current = file->StartWrite(Sequence(10));
    auto queued = file->StartWrite(Sequence(20, 10));
    TxStop(Port());
    ASSERT_TRUE(current->Done());
    EXPECT_FALSE(queued->Done());
    EXPECT_TRUE(TxIdle());
    TxStart(Port());
    ExpectEnded(*queued, STATUS_SUCCESS, 20, IO_SERIAL_INCREMENT);
    EXPECT_EQ(Sequence(20, 10), sim->OutTransfers().back());
}

// ---- Completion, timeout and cancel of every write, in each order -------------------
// The timeout's cancel is STATUS_TIMEOUT with the bytes sent, the cancel of every
// write STATUS_CANCELLED with none; the verifier reports a second completion, and an
// end that nobody makes leaves the request outstanding.

TEST_F(DirectWrites, ACompletionBeforeAnyClaimEndsTheWriteWithThePipesStatusAndDisarmsTheTimer)
{
    SetWriteTimeouts(10, 50);
    ExpectEnded(*file->StartWrite(Sequence(100)), STATUS_SUCCESS, 100, IO_SERIAL_INCREMENT);
    hk::AdvanceMs(2000);

    // The application's cancel of the current write reaches only the pipe driver.
    StallWrites(1);
    auto w = file->StartWrite(Sequence(100));
    EXPECT_TRUE(w->Cancel());
    ExpectEnded(*w, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);
}

TEST_F(DirectWrites, ACompletionInsideTheCancellersCancelIsEndedByTheCanceller)
{
    SetWriteTimeouts(10, 50);  // 690 ms for 64 bytes
    sim->CompleteLater(Kind::Write, 10000);
    StallWrites(1, 1);  // the zero-length pass stalls
    auto timed = file->StartWrite(Sequence(64));
    auto next = file->StartWrite(Sequence(10));
    hk::AdvanceMs(689);
    EXPECT_FALSE(timed->Done());
    hk::AdvanceMs(1);
    ExpectEnded(*timed, STATUS_TIMEOUT, 64, IO_SERIAL_INCREMENT);
    hk::AdvanceMs(1);
    ExpectEnded(*next, STATUS_SUCCESS, 10, IO_SERIAL_INCREMENT);

    StallWrites(1, 1);
    auto purged = file->StartWrite(Sequence(64));
    auto queued = file->StartWrite(Sequence(10));
    hk::AdvanceMs(1);
    CancelAllWrites(Port());
    ExpectEnded(*purged, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    ExpectEnded(*queued, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    EXPECT_TRUE(TxIdle());
}

TEST_F(DirectWrites, ACompletionAfterTheCancelReturnedIsEndedByTheCompletionForWhoeverClaimed)
{
    SetWriteTimeouts(10, 50);
    sim->HoldNext(Kind::Write);
    auto timed = file->StartWrite(Sequence(100));
    hk::AdvanceMs(1050);
    EXPECT_FALSE(timed->Done());
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_CANCELLED));
    ExpectEnded(*timed, STATUS_TIMEOUT, 0, IO_SERIAL_INCREMENT);

    sim->HoldNext(Kind::Write);
    auto sentAnyway = file->StartWrite(Sequence(100));
    hk::AdvanceMs(1050);
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 100));
    ExpectEnded(*sentAnyway, STATUS_SUCCESS, 100, IO_SERIAL_INCREMENT);

    sim->HoldNext(Kind::Write);
    auto purged = file->StartWrite(Sequence(100));
    CancelAllWrites(Port());
    EXPECT_FALSE(purged->Done());
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_CANCELLED));
    ExpectEnded(*purged, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);
}

TEST_F(DirectWrites, ASecondCancellerAfterTheFirstIssuedItsCancelLeavesTheWriteToItsCompletion)
{
    SetWriteTimeouts(10, 50);
    sim->HoldNext(Kind::Write);
    auto purgedFirst = file->StartWrite(Sequence(100));
    CancelAllWrites(Port());
    hk::AdvanceMs(1050);
    EXPECT_FALSE(purgedFirst->Done());
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_CANCELLED));
    ExpectEnded(*purgedFirst, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);

    sim->HoldNext(Kind::Write);
    auto timedFirst = file->StartWrite(Sequence(100));
    hk::AdvanceMs(1050);
    CancelAllWrites(Port());
    EXPECT_FALSE(timedFirst->Done());
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_CANCELLED));
    ExpectEnded(*timedFirst, STATUS_TIMEOUT, 0, IO_SERIAL_INCREMENT);
}

// The timer's DPC already queued when the pipe driver completed the write runs after.
class LateWriteTimer : public DirectWrites {
protected:
    void EndWriteBeforeItsTimerRuns()
    {
        SetWriteTimeouts(10, 50);
        sim->HoldNext(Kind::Write);
        auto w = file->StartWrite(Sequence(100));
        hk::DeferDpcs(true);
        hk::AdvanceMs(1050);
        ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 100));
        ExpectEnded(*w, STATUS_SUCCESS, 100, IO_SERIAL_INCREMENT);
    }
};

TEST_F(LateWriteTimer, ChangesNothingForItsEndedWriteOrAnUntimedNextOne)
{
    EndWriteBeforeItsTimerRuns();
    hk::RunDpcs();
    hk::DeferDpcs(false);

    EndWriteBeforeItsTimerRuns();
    SetWriteTimeouts(0, 0);
    StallWrites(1);
    auto next = file->StartWrite(Sequence(100));
    hk::RunDpcs();
    hk::DeferDpcs(false);
    EXPECT_FALSE(next->Done()) << "ended by the timer of the write before";
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_SUCCESS, 100));
    ExpectEnded(*next, STATUS_SUCCESS, 100, IO_SERIAL_INCREMENT);
}

TEST_F(LateWriteTimer, DoesNotTimeOutTheNextWriteThatArmedTheTimerAgain)
{
    EndWriteBeforeItsTimerRuns();
    StallWrites(1);
    auto next = file->StartWrite(Sequence(100));
    hk::RunDpcs();
    hk::DeferDpcs(false);
    EXPECT_FALSE(next->Done()) << "ended by the timer of the write before";
    hk::AdvanceMs(1049);
    EXPECT_FALSE(next->Done());
    hk::AdvanceMs(1);
    ExpectEnded(*next, STATUS_TIMEOUT, 0, IO_SERIAL_INCREMENT);
}

// ---- Statistics and the depth of completions ----------------------------------------

TEST_F(DirectWrites, TheBytesThePipeReportsCountInBothStatistics)
{
    ULONG before = Port()->PerfStats.TransmittedCount;
    ULONG wmiBefore = Port()->WmiPerfStats.TransmittedCount;
    Fault shortPass;
    shortPass.shortWrite = 30;
    shortPass.times = 1;
    sim->InjectFault(Pipe::DataOut, Kind::Write, shortPass);
    file->StartWrite(Sequence(50));
    file->StartWrite(Sequence(64));
    Fault failed;
    failed.status = STATUS_DEVICE_DATA_ERROR;
    failed.times = 1;
    sim->InjectFault(Pipe::DataOut, Kind::Write, failed);
    file->StartWrite(Sequence(40));
    EXPECT_EQ(before + 30 + 64, Port()->PerfStats.TransmittedCount);
    EXPECT_EQ(wmiBefore + 30 + 64, Port()->WmiPerfStats.TransmittedCount);
}

TEST_F(DirectWrites, APipeThatFailsEveryWriteAtOnceEndsALongQueueInOrderWithoutDeepNesting)
{
    sim->HoldNext(Kind::Write);
    std::vector<std::shared_ptr<hk::Request>> w;
    for (ULONG n = 1; n <= 200; ++n) w.push_back(file->StartWrite(Sequence(n)));
    Fault failed;
    failed.status = STATUS_DEVICE_DATA_ERROR;
    sim->InjectFault(Pipe::DataOut, Kind::Write, failed);
    sim->ClearRecords();
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataOut, STATUS_DEVICE_DATA_ERROR));
    std::vector<ULONG> expected(199);
    std::iota(expected.begin(), expected.end(), 2u);
    EXPECT_EQ(expected, WriteLengths());
    for (size_t i = 0; i < w.size(); ++i) ExpectEnded(*w[i], STATUS_DEVICE_DATA_ERROR, 0, IO_SERIAL_INCREMENT);
    EXPECT_TRUE(TxIdle());
}
