// Application reads: the four read modes with their timers on the virtual clock, the
// queue of reads behind the current one, cancellation, the timeouts and queue-size
// requests. Bytes reach the receive ring here as a pump step puts them there: into
// RxRing, then the read service.
#include <numeric>

#include "driver/sim_fixture.h"
#include "port/port.h"
#include "rx/read.h"
#include "rx/ring_buffer.h"

namespace {

Bytes TimeoutsBytes(ULONG ri, ULONG rm, ULONG rc, ULONG wm = 0, ULONG wc = 0)
{
    SERIAL_TIMEOUTS t{ri, rm, rc, wm, wc};
    const UCHAR* p = (const UCHAR*)&t;
    return Bytes(p, p + sizeof t);
}
}  // namespace

class Reads : public OpenPortTest {
protected:
    // What a pump step does with arriving bytes: into the ring, then serve the read.
    void Arrive(const Bytes& bytes)
    {
        ASSERT_EQ(bytes.size(), RingPut(&Port()->RxRing, bytes.data(), (ULONG)bytes.size()));
        ReadService(Port());
    }
    NTSTATUS SetTimeouts(ULONG ri, ULONG rm, ULONG rc)
    {
        return file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, TimeoutsBytes(ri, rm, rc), 0)->Status();
    }
};

// ---- The four read modes ------------------------------------------------------------

TEST_F(Reads, ByDefaultAReadReturnsAtOnceWithWhatTheRingHoldsEvenNothing)
{
    auto empty = file->StartRead(100);
    ASSERT_TRUE(empty->Done());
    EXPECT_EQ(STATUS_SUCCESS, empty->Status());
    EXPECT_EQ(0u, empty->Information());
    Arrive(Sequence(30));
    auto some = file->StartRead(100);
    ASSERT_TRUE(some->Done());
    EXPECT_EQ(STATUS_SUCCESS, some->Status());
    EXPECT_EQ(Sequence(30), some->Output());
    EXPECT_EQ(IO_SERIAL_INCREMENT, some->Boost());
}

TEST_F(Reads, FirstByteModeCompletesAtTheFirstBytesOrAfterItsConstantTime)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(MAXULONG, MAXULONG, 500));
    auto waiting = file->StartRead(10);
    EXPECT_FALSE(waiting->Done());
    Arrive(Sequence(3, 7));
    ASSERT_TRUE(waiting->Done());
    EXPECT_EQ(STATUS_SUCCESS, waiting->Status());
    EXPECT_EQ(Sequence(3, 7), waiting->Output());

    auto nothing = file->StartRead(10);
    hk::AdvanceMs(499);
    EXPECT_FALSE(nothing->Done());
    hk::AdvanceMs(1);
    ASSERT_TRUE(nothing->Done());
    EXPECT_EQ(STATUS_TIMEOUT, nothing->Status());
    EXPECT_EQ(0u, nothing->Information());
    EXPECT_EQ(IO_NO_INCREMENT, nothing->Boost());
}

TEST_F(Reads, ANegativeWholeReadTimeEndsAReadThatCannotBeSatisfiedAlmostAtOnce)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(MAXULONG, MAXULONG, 0));  // timed: -1 per byte
    Arrive(Sequence(2));
    auto read = file->StartRead(10);
    EXPECT_FALSE(read->Done());
    hk::RunDpcs();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(STATUS_TIMEOUT, read->Status());
    EXPECT_EQ(Sequence(2), read->Output()) << "the bytes it had";
}

TEST_F(Reads, WaitAllModeHasNoTimersAndCompletesOnlyWhenFull)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(0, 0, 0));
    auto read = file->StartRead(8);
    Arrive(Sequence(5));
    hk::AdvanceMs(3600 * 1000);
    EXPECT_FALSE(read->Done());
    Arrive(Sequence(5, 5));
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(Sequence(8), read->Output());
    EXPECT_EQ(2u, RingCount(&Port()->RxRing)) << "the rest stays for the next read";
}

TEST_F(Reads, TimedModeEndsAtTheBetweenBytesOrTheWholeReadTimeWhicheverComesFirst)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(20, 10, 100));  // 50 bytes: 600 ms whole, 20 ms between
    auto quiet = file->StartRead(50);
    hk::AdvanceMs(100);
    EXPECT_FALSE(quiet->Done()) << "no bytes yet: no between-bytes timer";
    Arrive(Sequence(10));
    hk::AdvanceMs(19);
    EXPECT_FALSE(quiet->Done());
    hk::AdvanceMs(1);
    ASSERT_TRUE(quiet->Done());
    EXPECT_EQ(STATUS_TIMEOUT, quiet->Status());
    EXPECT_EQ(Sequence(10), quiet->Output());

    auto trickle = file->StartRead(50);
    LONGLONG start = hk::Now();
    for (int i = 0; i < 60 && !trickle->Done(); ++i) {
        Arrive({(UCHAR)i});
        hk::AdvanceMs(15);
    }
    ASSERT_TRUE(trickle->Done());
    EXPECT_EQ(STATUS_TIMEOUT, trickle->Status());
    EXPECT_EQ(6000000, hk::Now() - start) << "the whole-read time, 600 ms from when it became current";
    EXPECT_EQ(40u, trickle->Information());
}

TEST_F(Reads, AReadOfExactlyWhatTheRingHoldsCompletesAtOnceInEveryMode)
{
    const ULONG modes[][3] = {{MAXULONG, 0, 0}, {MAXULONG, MAXULONG, 500}, {0, 0, 0}, {20, 10, 100}};
    for (auto& m : modes) {
        ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(m[0], m[1], m[2]));
        Arrive(Sequence(16));
        auto read = file->StartRead(16);
        ASSERT_TRUE(read->Done()) << m[0] << " " << m[1] << " " << m[2];
        EXPECT_EQ(STATUS_SUCCESS, read->Status());
        EXPECT_EQ(Sequence(16), read->Output());
    }
}

// ---- The queue of reads ---------------------------------------------------------------

TEST_F(Reads, ReadsBehindTheCurrentOneWaitAndTakeTheirBytesInOrder)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(0, 0, 0));
    auto first = file->StartRead(4);
    Arrive(Sequence(2));
    auto second = file->StartRead(2);
    EXPECT_FALSE(second->Done()) << "queued, though the ring could give it its bytes";
    auto third = file->StartRead(3);
    Arrive(Sequence(7, 2));
    ASSERT_TRUE(first->Done());
    ASSERT_TRUE(second->Done());
    ASSERT_TRUE(third->Done());
    EXPECT_EQ(Sequence(4), first->Output());
    EXPECT_EQ(Sequence(2, 4), second->Output());
    EXPECT_EQ(Sequence(3, 6), third->Output());
}

TEST_F(Reads, ManySmallQueuedReadsAreServedInOrderFromOneFullRing)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(0, 0, 0));
    std::vector<std::shared_ptr<hk::Request>> reads;
    for (int i = 0; i < 3000; ++i) reads.push_back(file->StartRead(1));
    Bytes stream(3000);
    for (size_t i = 0; i < stream.size(); ++i) stream[i] = (UCHAR)(i % 251);
    Arrive(stream);
    for (int i = 0; i < 3000; ++i) {
        ASSERT_TRUE(reads[i]->Done()) << i;
        ASSERT_EQ(1u, reads[i]->Output().size()) << i;
        EXPECT_EQ(stream[i], reads[i]->Output()[0]) << i;
    }
}

TEST_F(Reads, CancellingTheCurrentReadAfterPartialDataReportsNothingAndTheNextTakesOver)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(0, 0, 0));
    auto current = file->StartRead(20);
    auto next = file->StartRead(5);
    Arrive(Sequence(10));
    EXPECT_TRUE(current->Cancel());
    ASSERT_TRUE(current->Done());
    EXPECT_EQ(STATUS_CANCELLED, current->Status());
    EXPECT_EQ(0u, current->Information()) << "its ten bytes are gone with it";
    Arrive(Sequence(5, 50));
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(Sequence(5, 50), next->Output());
}

TEST_F(Reads, AQueuedReadCancelledLeavesTheOthersInPlace)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(0, 0, 0));
    auto current = file->StartRead(2);
    auto middle = file->StartRead(2);
    auto last = file->StartRead(2);
    EXPECT_TRUE(middle->Cancel());
    EXPECT_EQ(STATUS_CANCELLED, middle->Status());
    Arrive(Sequence(4));
    EXPECT_EQ(Sequence(2), current->Output());
    EXPECT_EQ(Sequence(2, 2), last->Output());
}

TEST_F(Reads, AReadThatArrivesCancelledIsEndedOnceAndNeverQueued)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(0, 0, 0));
    file->SubmitNextCancelled();
    auto read = file->StartRead(4);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(STATUS_CANCELLED, read->Status());
    EXPECT_EQ(nullptr, Port()->CurrentRead);
    auto after = file->StartRead(4);
    Arrive(Sequence(4));
    EXPECT_EQ(Sequence(4), after->Output());
}

TEST_F(Reads, ClosingTheHandleCancelsEveryPendingRead)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(0, 0, 0));
    auto current = file->StartRead(4);
    auto queued = file->StartRead(4);
    EXPECT_EQ(STATUS_SUCCESS, file->Close()) << "nothing left outstanding after cleanup";
    EXPECT_EQ(STATUS_CANCELLED, current->Status());
    EXPECT_EQ(STATUS_CANCELLED, queued->Status());
    file.reset();
}

TEST_F(Reads, ALateTimerOfAnEndedReadDoesNotEndItsSuccessor)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(MAXULONG, MAXULONG, 100));
    hk::DeferDpcs(true);
    auto first = file->StartRead(4);
    hk::AdvanceMs(100);  // its whole-read timer expires; the DPC waits
    Arrive(Sequence(1));
    ASSERT_TRUE(first->Done()) << "the bytes came first";
    EXPECT_EQ(STATUS_SUCCESS, first->Status());
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(0, 0, 0));
    auto second = file->StartRead(4);
    hk::RunDpcs();  // the first read's timer runs now
    EXPECT_FALSE(second->Done()) << "a timer of the first read must not end the second";
    hk::DeferDpcs(false);
    Arrive(Sequence(4));
    EXPECT_EQ(STATUS_SUCCESS, second->Status());
}

TEST_F(Reads, BadReadsAreRefused)
{
    auto zero = file->StartRead(0);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, zero->Status());
    Port()->SurpriseRemoved = 1;
    EXPECT_EQ(STATUS_DELETE_PENDING, file->StartRead(4)->Status());
    Port()->SurpriseRemoved = 0;
}

// ---- Timeouts and queue sizes ---------------------------------------------------------

TEST_F(Reads, TimeoutsAreStoredAndReadBackAndAllMaximaAreRefused)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(20, 10, 100));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetTimeouts(MAXULONG, MAXULONG, MAXULONG));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(19), 0)->Status());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, file->StartIoctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, 19)->Status());
    auto get = file->StartIoctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20);
    ASSERT_EQ(STATUS_SUCCESS, get->Status());
    EXPECT_EQ(20u, get->Information());
    EXPECT_EQ(TimeoutsBytes(20, 10, 100), get->Output()) << "the earlier timeouts stay in force";
    EXPECT_EQ((ULONG)ReadModeTimed, Port()->ReadMode);
    const struct {
        ULONG ri, rm, rc, mode;
    } modes[] = {{MAXULONG, 0, 0, ReadModeReturnNow},
                 {MAXULONG, MAXULONG, 1, ReadModeFirstByte},
                 {MAXULONG, MAXULONG, MAXULONG - 1, ReadModeFirstByte},
                 {0, 0, 0, ReadModeWaitAll},
                 {MAXULONG, MAXULONG, 0, ReadModeTimed},
                 {MAXULONG, 1, 0, ReadModeTimed},
                 {0, 0, 1, ReadModeTimed}};
    for (auto& m : modes) {
        ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(m.ri, m.rm, m.rc));
        EXPECT_EQ(m.mode, Port()->ReadMode) << m.ri << " " << m.rm << " " << m.rc;
    }
}

TEST_F(Reads, AGrowingQueueSizeKeepsWrappedDataInOrderAndOthersChangeNothing)
{
    // Wrap the ring: fill most of it, drain, fill past the end.
    Bytes sink(4096);
    ASSERT_EQ(4000u, RingPut(&Port()->RxRing, sink.data(), 4000));
    ASSERT_EQ(4000u, RingGet(sink.data(), &Port()->RxRing, 4000));
    for (int i = 0; i < 16; ++i) RingPut(&Port()->RxRing, Sequence(240, (UCHAR)i).data(), 240);
    ULONG held = RingCount(&Port()->RxRing);
    SERIAL_QUEUE_SIZE bigger{8192, 100};
    auto grow = file->StartIoctl(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes((UCHAR*)&bigger, (UCHAR*)&bigger + 8), 0);
    EXPECT_EQ(STATUS_SUCCESS, grow->Status());
    EXPECT_EQ(8192u, Port()->InSize);
    EXPECT_EQ(8192u, Port()->RxRing.Size);
    EXPECT_EQ(100u, Port()->OutSize);
    ASSERT_EQ(held, RingCount(&Port()->RxRing));
    for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(240u, RingGet(sink.data(), &Port()->RxRing, 240));
        EXPECT_EQ(Sequence(240, (UCHAR)i), Bytes(sink.begin(), sink.begin() + 240)) << i;
    }
    SERIAL_QUEUE_SIZE smaller{1024, 1024};
    EXPECT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes((UCHAR*)&smaller, (UCHAR*)&smaller + 8), 0)->Status());
    EXPECT_EQ(8192u, Port()->RxRing.Size) << "a smaller input queue is accepted and ignored";
    EXPECT_EQ(STATUS_INVALID_PARAMETER, file->StartIoctl(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(7), 0)->Status());
    file->Close();
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
    EXPECT_EQ(4096u, Port()->RxRing.Size) << "every open starts again from 4096";
}

TEST_F(Reads, AQueueThatCannotGrowStaysAsItWas)
{
    Arrive(Sequence(100));
    hk::FailPoolAllocation(1, TAG_CIRC);
    SERIAL_QUEUE_SIZE bigger{8192, 8192};
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              file->StartIoctl(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes((UCHAR*)&bigger, (UCHAR*)&bigger + 8), 0)->Status());
    EXPECT_EQ(4096u, Port()->InSize);
    EXPECT_EQ(100u, RingCount(&Port()->RxRing));
}

TEST_F(Reads, NewBytesRestartTheBetweenBytesTimerEvenWhenItsLastExpiryIsStillQueued)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(20, 0, 0));  // between-bytes time only
    auto read = file->StartRead(10);
    Arrive(Sequence(1));
    hk::DeferDpcs(true);
    hk::AdvanceMs(20);  // the timer expires; its DPC waits
    Arrive(Sequence(1, 1));  // a byte came first: the timer starts again
    hk::RunDpcs();
    EXPECT_FALSE(read->Done()) << "the expiry before the byte does not count";
    hk::DeferDpcs(false);
    hk::AdvanceMs(20);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(STATUS_TIMEOUT, read->Status());
    EXPECT_EQ(Sequence(2), read->Output());
}

TEST_F(Reads, NewTimeoutsRestartTheCurrentReadsWholeReadTimer)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(MAXULONG, MAXULONG, 100));
    auto read = file->StartRead(10);
    hk::AdvanceMs(60);
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(MAXULONG, MAXULONG, 100));
    hk::AdvanceMs(60);
    EXPECT_FALSE(read->Done()) << "100 ms from the new timeouts, not from the start of the read";
    hk::AdvanceMs(40);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(STATUS_TIMEOUT, read->Status());
}

// ---- Receive flow control seen from the read side --------------------------------------

// The adapter has more than the ring can take: the pump stops with room for XoffLimit
// bytes left. A read that drains the ring below XonLimit lets the pump go on at once,
// so the rest arrives with no time passing; a pump that waited for its next look would
// hold the reader up by its 5 ms pause. With RxPollPeriod the pump keeps its pace.
TEST_F(Reads, AReadThatMakesRoomLetsTheHeldBackBytesInAtOnce)
{
    ASSERT_EQ(STATUS_SUCCESS, SetTimeouts(0, 0, 0));  // each read waits for all its bytes
    const Bytes stream = Sequence(6000);
    sim->Feed(stream);
    ASSERT_TRUE(hk::RunUntil([&] { return Port()->RxAllowed == 0; }, 10000000))
        << "the pump stops when only XoffLimit bytes of room are left";
    ASSERT_GT(sim->PendingInBytes(), 0u);
    const LONGLONG start = hk::Now();

    auto first = file->StartRead(3000);
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 3000), first->Output());
    auto rest = file->StartRead(3000);
    ASSERT_TRUE(hk::RunUntil([&] { return rest->Done(); }, 10000)) << "the bytes the pump held back are still waiting";
    EXPECT_EQ(Bytes(stream.begin() + 3000, stream.end()), rest->Output());
    EXPECT_EQ(start, hk::Now());
}

TEST_F(Reads, WithPollingAReadThatMakesRoomLeavesThePumpItsPace)
{
    Port()->RxPollPeriod = 20;
    sim->Feed(Sequence(6000));
    ASSERT_TRUE(hk::RunUntil([&] { return Port()->RxAllowed == 0; }, 100000000));
    auto first = file->StartRead(3000);
    ASSERT_TRUE(first->Done());
    const size_t waiting = sim->PendingInBytes();
    hk::AdvanceMs(1);
    EXPECT_EQ(waiting, sim->PendingInBytes()) << "no read before the period is up";
}
