// The receive pump: how received bytes reach RxRing and which events they post, receive
// flow control, when the next read goes to the pipe, stopping and restarting with
// nothing lost, and how the chain ends on errors and allocation failures. Reads are
// not involved: the ring and the pending events are looked at directly.
#include <tuple>

#include "driver/sim_fixture.h"
#include "rx/receive_pump.h"
#include "rx/ring_buffer.h"

using pipesim::Kind;
using pipesim::Pipe;

namespace {

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
}  // namespace

class ReceivePump : public SimPortTest {
protected:
    // Adds the adapter with these registry values, starts the device, opens the port.
    void Open(std::vector<hk::RegistryValue> registry = {}, std::function<void()> beforeOpen = {})
    {
        pipesim::Options o;
        o.registry = std::move(registry);
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(std::move(o)));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        if (beforeOpen) beforeOpen();
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
    }
    void TearDown() override
    {
        if (file) file->Close();
        file.reset();
        SimPortTest::TearDown();
    }
    int Reads() const { return sim->Count(IRP_MJ_READ); }
    // Feeds the adapter and lets the chain run as far as it goes without time passing:
    // after a few completions inside the issuing call it goes on from its DPC.
    void Feed(const Bytes& bytes, bool packetized = true)
    {
        sim->Feed(bytes, packetized);
        Settle();
    }
    void Settle()
    {
        for (int i = 0; i < 100000; ++i) {
            auto before = std::make_tuple(sim->PendingInBytes(), Port()->RxRing.Count, Reads());
            hk::RunDpcs();
            if (before == std::make_tuple(sim->PendingInBytes(), Port()->RxRing.Count, Reads())) return;
        }
        ADD_FAILURE() << "the chain never settled";
    }
    // Takes everything out of RxRing, as a read would.
    Bytes Drain(ULONG most = MAXULONG)
    {
        ULONG n = Port()->RxRing.Count < most ? Port()->RxRing.Count : most;
        Bytes b(n);
        if (n) {
            EXPECT_EQ(n, RingGet(b.data(), &Port()->RxRing, n));
        }
        return b;
    }
    // What the read side does when it found the ring drained to XonLimit.
    void ReadSideAllows() { Port()->RxAllowed = 1; }
    ULONG TakeEvents()
    {
        ULONG e = Port()->PendingEvents;
        Port()->PendingEvents = 0;
        return e;
    }
    bool Idle() { return KeReadStateEvent(&Port()->RxIdleEvent) != 0; }
    // Exactly one of them: a read on the pipe or the pump's timer.
    void ExpectOneReadOrTheTimer()
    {
        EXPECT_EQ(1u, sim->Outstanding(Pipe::DataIn) + hk::ArmedTimerCount())
            << sim->Outstanding(Pipe::DataIn) << " reads, " << hk::ArmedTimerCount() << " timers";
    }

    std::unique_ptr<hk::File> file;
};

// ---- Data into the ring, with its events and statistics --------------------------------

TEST_F(ReceivePump, TheOpenPutsOneReadOfOnePacketOnTheInPipe)
{
    Open({Dword(u"RxReqSize", 100)});
    ASSERT_EQ(1, Reads());
    EXPECT_EQ(1u, sim->Outstanding(Pipe::DataIn));
    auto arrivals = sim->Arrivals();
    ASSERT_FALSE(arrivals.empty());
    EXPECT_EQ(IRP_MJ_READ, arrivals.back().major);
    EXPECT_EQ((int)Pipe::DataIn, arrivals.back().pipe);
    EXPECT_EQ(128u, arrivals.back().length) << "RxReqSize in whole packets";
}

TEST_F(ReceivePump, BytesReachTheRingInOrderWithRxCharAndAreCountedInBothStatistics)
{
    Open();
    Bytes data = Sequence(1000);
    Feed(data);
    EXPECT_EQ(data, Drain());
    EXPECT_EQ((ULONG)SERIAL_EV_RXCHAR, TakeEvents() & ~(ULONG)SERIAL_EV_RXFLAG);
    EXPECT_EQ(1000u, Port()->PerfStats.ReceivedCount);
    EXPECT_EQ(1000u, Port()->WmiPerfStats.ReceivedCount);
    EXPECT_EQ(1u, sim->Outstanding(Pipe::DataIn)) << "the next read waits for more";
    EXPECT_EQ(0u, hk::ArmedTimerCount());
}

TEST_F(ReceivePump, RxFlagOnlyWhenTheEventCharacterWentIntoTheRing)
{
    Open();
    Port()->Chars.EventChar = 'x';
    Feed({'a', 'b', 'c'});
    EXPECT_EQ((ULONG)SERIAL_EV_RXCHAR, TakeEvents());
    Feed({'a', 'x'});
    EXPECT_EQ((ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG), TakeEvents());

    // Held back by flow control, it does not count until it moves.
    Port()->RxAllowed = 0;
    Feed({'x'});
    EXPECT_EQ((ULONG)SERIAL_EV_RXCHAR, TakeEvents()) << "RXCHAR even though nothing moved";
    ReadSideAllows();
    hk::AdvanceMs(5);
    EXPECT_EQ((ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG), TakeEvents()) << "the retry moved it";
    EXPECT_EQ((Bytes{'a', 'b', 'c', 'a', 'x', 'x'}), Drain());
}

TEST_F(ReceivePump, AZeroEventCharacterIsFlaggedByAReceivedZero)
{
    Open();
    ASSERT_EQ(0, Port()->Chars.EventChar);
    Feed({1, 2});
    EXPECT_EQ(0u, TakeEvents() & SERIAL_EV_RXFLAG);
    Feed({1, 0});
    EXPECT_EQ((ULONG)SERIAL_EV_RXFLAG, TakeEvents() & SERIAL_EV_RXFLAG);
}

TEST_F(ReceivePump, Rx80FullLooksAtTheRingBeforeTheTransfersBytes)
{
    Open();
    ASSERT_EQ(4096u, Port()->RxRing.Size);
    Feed(Sequence(3264));  // 79.7 %
    TakeEvents();
    Feed(Sequence(64));  // 81 % after it, but 79 % before
    EXPECT_EQ(0u, TakeEvents() & SERIAL_EV_RX80FULL);
    Feed(Sequence(1));
    EXPECT_EQ((ULONG)SERIAL_EV_RX80FULL, TakeEvents() & SERIAL_EV_RX80FULL);
}

TEST_F(ReceivePump, ARingWithoutStorageNeitherDividesByZeroNorLosesTheBytes)
{
    Open();
    ASSERT_EQ(STATUS_SUCCESS, RxPumpStop(Port()));
    RingFree(&Port()->RxRing);
    ReadSideAllows();
    ASSERT_EQ(STATUS_PENDING, RxPumpStart(Port()));
    Feed(Sequence(10));
    EXPECT_EQ((ULONG)SERIAL_EV_RXCHAR, TakeEvents() & (SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL));
    EXPECT_EQ(10u, Port()->RxTransferLength - Port()->RxTransferOffset) << "kept in the transfer buffer";
    ASSERT_EQ(STATUS_SUCCESS, RxPumpStop(Port()));
    ASSERT_EQ(STATUS_SUCCESS, RingAllocate(&Port()->RxRing, 4096));
    ReadSideAllows();
    ASSERT_EQ(STATUS_SUCCESS, RxPumpStart(Port()));
    hk::RunDpcs();
    EXPECT_EQ(Sequence(10), Drain());
}

// ---- Receive flow control ---------------------------------------------------------------

TEST_F(ReceivePump, FlowControlStopsAtXoffLimitAndResumesWithNothingLostOrRepeated)
{
    Open({Dword(u"RxReqSize", 4096)});
    ASSERT_EQ(512, Port()->HandFlow.XoffLimit);
    ASSERT_EQ(2048, Port()->HandFlow.XonLimit);
    Bytes first = Sequence(1000), second = Sequence(4096, 1000), third = Sequence(300, 5096);
    Feed(first, false);
    EXPECT_TRUE(Port()->RxAllowed);
    Feed(second, false);  // the ring takes 3096 of it and is full
    EXPECT_FALSE(Port()->RxAllowed);
    EXPECT_EQ(4096u, Port()->RxRing.Count);
    EXPECT_EQ(1000u, Port()->RxTransferLength - Port()->RxTransferOffset);
    int reads = Reads();
    Feed(third, false);
    hk::AdvanceMs(100);
    EXPECT_EQ(reads, Reads()) << "no read while bytes wait for room";
    EXPECT_EQ(300u, sim->PendingInBytes());
    ExpectOneReadOrTheTimer();

    Bytes got = Drain(2048);  // the read side takes some, and finds Count at XonLimit
    ReadSideAllows();
    hk::AdvanceMs(10);
    EXPECT_EQ(0u, Port()->RxTransferLength - Port()->RxTransferOffset);
    EXPECT_EQ(0u, sim->PendingInBytes()) << "the next read took the rest";
    got = Concat(got, Drain());
    EXPECT_EQ(Concat(Concat(first, second), third), got);
    EXPECT_EQ(5396u, Port()->PerfStats.ReceivedCount);
}

TEST_F(ReceivePump, ThePutThatLeavesXoffLimitFreeStopsTheReads)
{
    Open();
    Feed(Sequence(4096 - 512 - 64));
    EXPECT_TRUE(Port()->RxAllowed) << "576 bytes free";
    Feed(Sequence(64));
    EXPECT_FALSE(Port()->RxAllowed) << "512 free";
    int reads = Reads();
    hk::AdvanceMs(50);
    EXPECT_EQ(reads, Reads());
    Feed(Sequence(64));
    EXPECT_EQ(64u, sim->PendingInBytes()) << "the adapter is simply not read";
    Drain();
    ReadSideAllows();
    hk::AdvanceMs(10);
    EXPECT_EQ(0u, sim->PendingInBytes());
}

// ---- When the next read goes out ---------------------------------------------------------

TEST_F(ReceivePump, WithoutPollingATransferThatFitsIsFollowedByTheNextReadAtOnce)
{
    Open();
    int reads = Reads();
    Feed(Sequence(10));
    EXPECT_EQ(reads + 1, Reads());
    EXPECT_EQ(0u, hk::ArmedTimerCount());
}

TEST_F(ReceivePump, WithoutPollingBytesLeftOverWaitFiveMilliseconds)
{
    Open();
    Port()->RxAllowed = 0;
    Feed(Sequence(10));
    int reads = Reads();
    ReadSideAllows();
    hk::AdvanceMs(4);
    EXPECT_EQ(reads, Reads());
    hk::AdvanceMs(1);
    EXPECT_EQ(reads + 1, Reads());
    EXPECT_EQ(Sequence(10), Drain());
}

TEST_F(ReceivePump, WithoutPollingAnEmptyTransferIsRetriedAtOnce)
{
    Open({}, [&] { sim->InjectFault(Pipe::DataIn, Kind::Read, {.zeroBytes = true, .times = 1}); });
    LONGLONG start = hk::Now();
    hk::RunDpcs();
    EXPECT_EQ(2, Reads());
    EXPECT_EQ(start, hk::Now());
    EXPECT_EQ(1u, sim->Outstanding(Pipe::DataIn));
}

TEST_F(ReceivePump, WithPollingDataWaitsThePeriodAndAnEmptyTransferTenMilliseconds)
{
    Open({Dword(u"RxPollPeriod", 20)});
    Feed(Sequence(10));
    int reads = Reads();
    hk::AdvanceMs(19);
    EXPECT_EQ(reads, Reads());
    hk::AdvanceMs(1);
    EXPECT_EQ(reads + 1, Reads());

    sim->InjectFault(Pipe::DataIn, Kind::Read, {.zeroBytes = true, .times = 1});
    Feed(Sequence(10));  // completes the waiting read; the next one comes back empty
    hk::AdvanceMs(20);
    EXPECT_EQ(reads + 2, Reads());
    hk::AdvanceMs(9);
    EXPECT_EQ(reads + 2, Reads());
    hk::AdvanceMs(1);
    EXPECT_EQ(reads + 3, Reads());
    ExpectOneReadOrTheTimer();
}

// ---- Deep completions inside the issuing call ---------------------------------------------

TEST_F(ReceivePump, ThousandsOfCompletionsInsideTheCallGoOnFromTheDpcWithoutPause)
{
    Open();
    ASSERT_EQ(STATUS_SUCCESS, RxPumpStop(Port()));
    ASSERT_EQ(STATUS_SUCCESS, RingResize(&Port()->RxRing, 512 * 1024));
    ASSERT_EQ(STATUS_PENDING, RxPumpStart(Port()));
    Bytes data = Sequence(3000 * 64);
    hk::DeferDpcs(true);
    sim->Feed(data);
    EXPECT_LT(Port()->RxRing.Count, 64u * 16) << "the nesting is bounded; the DPC goes on";
    EXPECT_GT(sim->PendingInBytes(), 0u);
    LONGLONG start = hk::Now();
    for (int i = 0; i < 10000 && sim->PendingInBytes(); ++i) hk::RunDpcs();
    hk::DeferDpcs(false);
    EXPECT_EQ(0u, sim->PendingInBytes());
    EXPECT_EQ(start, hk::Now()) << "no pause while data flows";
    EXPECT_EQ(data, Drain());
    EXPECT_EQ(data.size(), Port()->PerfStats.ReceivedCount);
}

// ---- Stop and start ------------------------------------------------------------------------

TEST_F(ReceivePump, AStopAbortsTheOutstandingReadAndResetsThePipe)
{
    Open();
    sim->ClearRecords();
    EXPECT_EQ(STATUS_SUCCESS, RxPumpStop(Port()));
    EXPECT_EQ(0u, sim->Outstanding(Pipe::DataIn));
    EXPECT_TRUE(Port()->RxStopped);
    EXPECT_TRUE(Idle());
    auto a = sim->Arrivals();
    ASSERT_EQ(2u, a.size());
    EXPECT_EQ(pipesim::kIoctlPipeAbort, a[0].code);
    EXPECT_EQ(pipesim::kIoctlPipeReset, a[1].code);
    EXPECT_EQ((int)Pipe::DataIn, a[1].pipe);
    Feed(Sequence(5));
    EXPECT_EQ(0, Reads());
    EXPECT_EQ(STATUS_SUCCESS, RxPumpStop(Port())) << "a second stop returns at once";
    EXPECT_EQ(2u, sim->Arrivals().size());

    EXPECT_TRUE(NT_SUCCESS(RxPumpStart(Port()))) << "the waiting bytes complete the read inside the call";
    EXPECT_FALSE(Idle());
    EXPECT_EQ(Sequence(5), Drain());
}

TEST_F(ReceivePump, AStopWhileTheTimerIsArmedReturnsAfterItsDpc)
{
    Open({Dword(u"RxPollPeriod", 20)});
    Feed(Sequence(3));
    int reads = Reads();
    LONGLONG start = hk::Now();
    EXPECT_EQ(STATUS_SUCCESS, RxPumpStop(Port()));
    EXPECT_EQ(start + 20 * 10000, hk::Now());
    EXPECT_EQ(reads, Reads()) << "the DPC ended the chain instead of reading";
    EXPECT_EQ(0u, hk::ArmedTimerCount());
}

TEST_F(ReceivePump, AStartWhileRunningOrWhileAStopWaitsBeginsNoSecondChain)
{
    Open();
    EXPECT_TRUE(NT_SUCCESS(RxPumpStart(Port())));
    EXPECT_EQ(1, Reads());

    // The stop's abort is held, so the stop is under way while another thread starts.
    sim->HoldNext(Kind::Abort);
    bool stopped = false;
    hk::Thread stopper([&] {
        RxPumpStop(Port());
        stopped = true;
    });
    hk::YieldToOthers();
    ASSERT_FALSE(stopped);
    EXPECT_TRUE(NT_SUCCESS(RxPumpStart(Port())));
    EXPECT_EQ(1, Reads());
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_TRUE(sim->CompleteHeld(Pipe::DataIn, STATUS_SUCCESS));
    KeLowerIrql(irql);
    stopper.Join();
    EXPECT_TRUE(stopped);
    EXPECT_EQ(0u, sim->Outstanding(Pipe::DataIn));
    EXPECT_EQ(1, Reads()) << "the start during the stop did nothing";
    EXPECT_EQ(STATUS_PENDING, RxPumpStart(Port()));
    EXPECT_EQ(2, Reads());
}

TEST_F(ReceivePump, AStartWithoutATransferBufferOrWhilePoweredDownIsRefused)
{
    Open();
    ASSERT_EQ(STATUS_SUCCESS, RxPumpStop(Port()));
    Port()->RunState = RUN_POWERED_DOWN;
    EXPECT_EQ(STATUS_POWER_STATE_INVALID, RxPumpStart(Port()));
    Port()->RunState = RUN_WORKING;
    PUCHAR buffer = Port()->RxTransferBuffer;
    Port()->RxTransferBuffer = nullptr;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, RxPumpStart(Port()));
    Port()->RxTransferBuffer = buffer;
    EXPECT_EQ(0u, sim->Outstanding(Pipe::DataIn));
    EXPECT_EQ(STATUS_PENDING, RxPumpStart(Port())) << "neither refusal left the pump half started";
}

TEST_F(ReceivePump, StopAndRestartKeepBytesThatWaitForRoom)
{
    Open({Dword(u"RxReqSize", 4096)});
    Bytes first = Sequence(1000), second = Sequence(4096, 1000);
    Feed(first, false);
    Feed(second, false);
    ASSERT_EQ(1000u, Port()->RxTransferLength - Port()->RxTransferOffset);
    ASSERT_EQ(STATUS_SUCCESS, RxPumpStop(Port()));
    Bytes got = Drain();
    ReadSideAllows();
    Bytes third = Sequence(50, 5096);
    Feed(third, false);
    int reads = Reads();
    ASSERT_EQ(STATUS_SUCCESS, RxPumpStart(Port()));
    EXPECT_EQ(reads, Reads()) << "the kept bytes go first";
    hk::RunDpcs();
    EXPECT_EQ(reads + 2, Reads());
    EXPECT_EQ(Concat(Concat(first, second), third), Concat(got, Drain()));
}

TEST_F(ReceivePump, DataOfATransferThatCompletesDuringTheStopIsKept)
{
    Open();
    ASSERT_EQ(STATUS_SUCCESS, RxPumpStop(Port()));
    sim->HoldNext(Kind::Read);
    ASSERT_EQ(STATUS_PENDING, RxPumpStart(Port()));
    Bytes data = Sequence(40);
    Feed(data);
    bool stopped = false;
    hk::Thread stopper([&] {
        RxPumpStop(Port());
        stopped = true;
    });
    hk::YieldToOthers();
    ASSERT_FALSE(stopped) << "the held read is not aborted";
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataIn, STATUS_SUCCESS, 40));
    KeLowerIrql(irql);
    stopper.Join();
    EXPECT_EQ(0u, Port()->RxRing.Count);
    EXPECT_EQ(40u, Port()->PerfStats.ReceivedCount);
    ASSERT_EQ(STATUS_SUCCESS, RxPumpStart(Port()));
    hk::RunDpcs();
    EXPECT_EQ(data, Drain());
    EXPECT_EQ(1u, sim->Outstanding(Pipe::DataIn));
}

TEST_F(ReceivePump, DiscardDropsTheKeptBytes)
{
    Open({Dword(u"RxReqSize", 4096)});
    Feed(Sequence(1000), false);
    Feed(Sequence(4096), false);
    ASSERT_EQ(STATUS_SUCCESS, RxPumpStop(Port()));
    RxPumpDiscard(Port());
    Drain();
    ReadSideAllows();
    int reads = Reads();
    EXPECT_EQ(STATUS_PENDING, RxPumpStart(Port()));
    EXPECT_EQ(reads + 1, Reads());
    EXPECT_EQ(0u, Port()->RxRing.Count);
}

// ---- How the chain ends ------------------------------------------------------------------

TEST_F(ReceivePump, ATransferErrorEndsTheChainUntilAStopAndStart)
{
    Open({}, [&] { sim->InjectFault(Pipe::DataIn, Kind::Read, {.status = STATUS_DEVICE_DATA_ERROR, .times = 1}); });
    EXPECT_EQ(1, Reads());
    EXPECT_EQ(0u, sim->Outstanding(Pipe::DataIn));
    EXPECT_EQ(0u, hk::ArmedTimerCount());
    EXPECT_TRUE(Idle());
    EXPECT_FALSE(Port()->RxStopped);
    EXPECT_TRUE(NT_SUCCESS(RxPumpStart(Port())));
    EXPECT_EQ(1, Reads()) << "a start alone does not revive it";
    EXPECT_EQ(STATUS_SUCCESS, RxPumpStop(Port()));
    EXPECT_EQ(STATUS_PENDING, RxPumpStart(Port()));
    Feed(Sequence(5));
    EXPECT_EQ(Sequence(5), Drain());
}

TEST_F(ReceivePump, ACancelledTransferWhileRunningIsAnEmptyOne)
{
    Open({}, [&] { sim->InjectFault(Pipe::DataIn, Kind::Read, {.status = STATUS_CANCELLED, .times = 1}); });
    hk::RunDpcs();
    EXPECT_EQ(2, Reads());
    EXPECT_FALSE(Idle());
}

TEST_F(ReceivePump, NoRequestForTheReadIsTriedAgainFromTheTimerAndAStopStillEndsTheChain)
{
    Open();
    ASSERT_EQ(STATUS_SUCCESS, RxPumpStop(Port()));
    hk::FailIrpAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, RxPumpStart(Port()));
    EXPECT_FALSE(Idle()) << "the chain waits on its timer";
    EXPECT_EQ(0u, sim->Outstanding(Pipe::DataIn));
    ExpectOneReadOrTheTimer();
    EXPECT_EQ(STATUS_SUCCESS, RxPumpStop(Port())) << "the timer's DPC sees the stop";
    EXPECT_EQ(0u, hk::ArmedTimerCount());
    EXPECT_EQ(STATUS_PENDING, RxPumpStart(Port()));

    // The same from within the chain: the completion's next read cannot be built; the
    // timer's try takes what came meanwhile.
    hk::FailIrpAllocation(1);
    Feed(Sequence(8));
    EXPECT_FALSE(Idle());
    EXPECT_EQ(0u, sim->Outstanding(Pipe::DataIn));
    ExpectOneReadOrTheTimer();
    Feed(Sequence(8, 8));
    hk::AdvanceMs(10);
    Settle();
    EXPECT_EQ(Sequence(16), Drain());
    EXPECT_EQ(1u, sim->Outstanding(Pipe::DataIn)) << "the next read waits for more";
}

TEST_F(ReceivePump, ARemovalFlagEndsTheChainAtItsNextStep)
{
    Open({Dword(u"RxPollPeriod", 20)});
    Feed(Sequence(3));
    int reads = Reads();
    Port()->SurpriseRemoved = 1;
    hk::AdvanceMs(20);
    EXPECT_EQ(reads, Reads());
    EXPECT_TRUE(Idle());
    Port()->SurpriseRemoved = 0;
}

// A stop that finds another stop under way waits for the pump to be idle, not for that
// stop's event: a start between the two may have begun a new chain and cleared it.
TEST_F(ReceivePump, AStopThatMeetsAnotherStopOutlastsAChainStartedBetweenThem)
{
    Open();
    ASSERT_EQ(1u, sim->Outstanding(Pipe::DataIn));
    sim->HoldNext(Kind::Abort);
    bool firstDone = false, secondDone = false;
    hk::Thread first([&] {
        RxPumpStop(Port());
        firstDone = true;
    });
    hk::YieldToOthers();  // the first stop now waits for its abort
    ASSERT_FALSE(firstDone);
    hk::Thread second([&] {
        RxPumpStop(Port());
        secondDone = true;
    });
    hk::YieldToOthers();
    EXPECT_FALSE(secondDone) << "the pump is still being stopped";
    ASSERT_TRUE(sim->CompleteHeld(Pipe::DataIn, STATUS_SUCCESS));
    first.Join();
    EXPECT_TRUE(NT_SUCCESS(RxPumpStart(Port())));  // a new chain before the second looks again
    second.Join();
    EXPECT_TRUE(secondDone);
    EXPECT_EQ(0u, sim->Outstanding(Pipe::DataIn)) << "the second stop stopped the new chain too";
    EXPECT_TRUE(NT_SUCCESS(RxPumpStart(Port())));
    EXPECT_EQ(1u, sim->Outstanding(Pipe::DataIn)) << "and the pump starts again";
}

// The read side may let bytes in again from inside the pump's own completion (the
// current read takes what the completion just put, with the ring at XoffLimit). The
// chain goes on from that completion; the resume must not arm the pump's timer beside
// it, which would put a second read on the pipe.
TEST_F(ReceivePump, AResumeInsideThePumpsOwnCompletionStartsNoSecondChain)
{
    Open({Dword(u"RxReqSize", 4096)});
    SERIAL_TIMEOUTS t{0, 0, 0, 0, 0};
    const UCHAR* p = (const UCHAR*)&t;
    ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(p, p + sizeof t), 0)->Status());
    auto read = file->StartRead(4000);
    ASSERT_FALSE(read->Done());
    sim->Feed(Sequence(3600), false);  // 496 bytes of room left: flow control stops, the read drains the ring
    for (int i = 0; i < 10 && !sim->Outstanding(Pipe::DataIn); ++i) hk::RunDpcs();
    ExpectOneReadOrTheTimer();
    hk::RunDpcs();
    EXPECT_EQ(1u, sim->Outstanding(Pipe::DataIn));
    sim->Feed(Sequence(400, 3600), false);
    hk::RunDpcs();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(Sequence(4000), read->Output());
}
