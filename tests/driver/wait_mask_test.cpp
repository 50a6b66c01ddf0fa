// Wait-on-mask events: how posted events meet the mask and the one pending wait, the
// four ways a pending wait ends, what is refused, and that a wait raced by its cancel
// is completed exactly once.
#include <atomic>
#include <thread>

#include "driver/sim_fixture.h"
#include "lines/wait_mask.h"

namespace {

Bytes Dword(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }
}  // namespace

class WaitOnMask : public OpenPortTest {
protected:

    NTSTATUS SetMask(ULONG mask)
    {
        auto r = file->StartIoctl(IOCTL_SERIAL_SET_WAIT_MASK, Dword(mask), 0);
        EXPECT_TRUE(r->Done());
        EXPECT_EQ(0u, r->Information());
        return r->Status();
    }
    std::shared_ptr<hk::Request> Wait(ULONG outLength = sizeof(ULONG))
    {
        return file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, outLength);
    }
    // What an event source does: post what it saw, then check the wait.
    void Post(ULONG events, KIRQL irql = PASSIVE_LEVEL)
    {
        KIRQL old = PASSIVE_LEVEL;
        if (irql != PASSIVE_LEVEL) KeRaiseIrql(irql, &old);
        PostEvents(port, events);
        CheckWait(port);
        if (irql != PASSIVE_LEVEL) KeLowerIrql(old);
    }
    static ULONG Result(const hk::Request& r)
    {
        const Bytes& out = r.Output();
        if (out.size() != sizeof(ULONG)) {
            ADD_FAILURE() << "returned " << out.size() << " bytes";
            return 0xDEADBEEF;
        }
        return out[0] | (out[1] << 8) | (out[2] << 16) | ((ULONG)out[3] << 24);
    }
    // A wait that met an event: the matching bits, with the serial boost.
    static void ExpectSatisfied(const hk::Request& r, ULONG events)
    {
        ASSERT_TRUE(r.Done());
        EXPECT_EQ(STATUS_SUCCESS, r.Status());
        EXPECT_EQ(sizeof(ULONG), r.Information());
        EXPECT_EQ(events, Result(r));
        EXPECT_EQ(IO_SERIAL_INCREMENT, r.Boost());
    }
    static void ExpectCancelled(const hk::Request& r)
    {
        ASSERT_TRUE(r.Done());
        EXPECT_EQ(STATUS_CANCELLED, r.Status());
        EXPECT_EQ(0u, r.Information());
        EXPECT_EQ(IO_NO_INCREMENT, r.Boost());
    }
};

// ---- Events and the mask -------------------------------------------------------------

TEST_F(WaitOnMask, EventsPostedBeforeTheWaitAnswerItAtOnceWithOnlyTheMaskedBits)
{
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_CTS));
    Post(SERIAL_EV_RXCHAR | SERIAL_EV_DSR);  // no wait pending: accumulated, whatever the mask
    // A mask set afterwards still matches them, and so do two bits at once.
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY));
    Post(SERIAL_EV_TXEMPTY);
    auto first = Wait();
    ExpectSatisfied(*first, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
    EXPECT_EQ(0u, Port()->PendingEvents) << "the bits outside the mask go with the answer";
    EXPECT_EQ(nullptr, Port()->PendingWait);

    // Nothing is left to answer the next wait with.
    auto second = Wait();
    EXPECT_FALSE(second->Done());
    EXPECT_EQ(STATUS_PENDING, second->Status());
    Post(SERIAL_EV_RXCHAR);
    ExpectSatisfied(*second, SERIAL_EV_RXCHAR);
}

TEST_F(WaitOnMask, APendingWaitMeetsEventsPostedAtPassiveAndAtDispatchLevel)
{
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS | SERIAL_EV_RING));
    for (KIRQL irql : {(KIRQL)PASSIVE_LEVEL, (KIRQL)DISPATCH_LEVEL}) {
        SCOPED_TRACE(irql);
        auto wait = Wait();
        ASSERT_FALSE(wait->Done());

        // An event outside the mask leaves the wait pending and stays accumulated.
        Post(SERIAL_EV_DSR, irql);
        EXPECT_FALSE(wait->Done());
        EXPECT_EQ((ULONG)SERIAL_EV_DSR, Port()->PendingEvents);
        // A check with nothing new posted changes nothing either.
        KIRQL old = PASSIVE_LEVEL;
        if (irql != PASSIVE_LEVEL) KeRaiseIrql(irql, &old);
        CheckWait(port);
        if (irql != PASSIVE_LEVEL) KeLowerIrql(old);
        EXPECT_FALSE(wait->Done());

        // Two sources post before one check: one completion with both bits.
        PostEvents(port, SERIAL_EV_CTS);
        Post(SERIAL_EV_RING, irql);
        ExpectSatisfied(*wait, SERIAL_EV_CTS | SERIAL_EV_RING);
        EXPECT_EQ(0u, Port()->PendingEvents);
        EXPECT_EQ(nullptr, Port()->PendingWait);
    }
}

TEST_F(WaitOnMask, ANewMaskEndsThePendingWaitEmptyAndKeepsTheAccumulatedEvents)
{
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR));
    Post(SERIAL_EV_RING);
    auto wait = Wait();
    ASSERT_FALSE(wait->Done());

    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RING));
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(STATUS_SUCCESS, wait->Status());
    EXPECT_EQ(sizeof(ULONG), wait->Information());
    EXPECT_EQ(0u, Result(*wait));
    EXPECT_EQ(IO_NO_INCREMENT, wait->Boost());
    EXPECT_EQ(nullptr, Port()->PendingWait);

    ULONG mask = 0, returned = 0;
    EXPECT_EQ(STATUS_SUCCESS, file->Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask, &returned));
    EXPECT_EQ(sizeof mask, returned);
    EXPECT_EQ((ULONG)SERIAL_EV_RING, mask);
    // The ring posted under the old mask answers a wait under the new one.
    ExpectSatisfied(*Wait(), SERIAL_EV_RING);
}

// ---- Cancellation --------------------------------------------------------------------

TEST_F(WaitOnMask, ACancelledWaitEndsAloneAndTheNextWaitIsAccepted)
{
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR));
    auto first = Wait();
    ASSERT_FALSE(first->Done());
    EXPECT_TRUE(first->Cancel());
    ExpectCancelled(*first);
    EXPECT_EQ(nullptr, Port()->PendingWait);

    auto second = Wait();
    EXPECT_FALSE(second->Done()) << "the cancelled wait no longer holds the slot";
    file->CancelIo();
    ExpectCancelled(*second);
    EXPECT_NE(STATUS_INVALID_PARAMETER, Wait()->Status());
    file->CancelIo();
}

TEST_F(WaitOnMask, AWaitCancelledOnArrivalCompletesOnceAndIsNotKept)
{
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR));
    file->SubmitNextCancelled();
    auto cancelled = Wait();
    ExpectCancelled(*cancelled);
    EXPECT_EQ(nullptr, Port()->PendingWait);
    EXPECT_EQ(0u, file->Outstanding());

    // A new mask finds nothing to complete a second time, and the slot is free.
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR));
    auto next = Wait();
    EXPECT_FALSE(next->Done());
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR));
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(STATUS_SUCCESS, next->Status());
}

// ---- Refusals ------------------------------------------------------------------------

TEST_F(WaitOnMask, ASecondWaitIsRefusedAndTheFirstIsUndisturbed)
{
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_TXEMPTY));
    auto first = Wait();
    ASSERT_FALSE(first->Done());
    auto second = Wait();
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, second->Status());
    EXPECT_EQ(0u, second->Information());
    EXPECT_FALSE(first->Done());
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_TXEMPTY));
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(sizeof(ULONG), first->Information()) << "it was still the recorded wait";
}

TEST_F(WaitOnMask, AWaitWithAnEmptyMaskIsRefusedEvenWithEventsAccumulated)
{
    Post(SERIAL_EV_RXCHAR);
    auto never = Wait();  // the mask has been 0 since the device was created
    ASSERT_TRUE(never->Done());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, never->Status());
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR));
    ASSERT_EQ(STATUS_SUCCESS, SetMask(0));
    auto cleared = Wait();
    ASSERT_TRUE(cleared->Done());
    EXPECT_EQ(STATUS_INVALID_PARAMETER, cleared->Status());
    EXPECT_EQ(nullptr, Port()->PendingWait);
    EXPECT_EQ((ULONG)SERIAL_EV_RXCHAR, Port()->PendingEvents);
}

TEST_F(WaitOnMask, ShortBuffersAreRefusedForAllThreeRequestsAndChangeNothing)
{
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_DSR));
    auto set = file->StartIoctl(IOCTL_SERIAL_SET_WAIT_MASK, {0x01, 0x00, 0x00}, 0);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, set->Status());
    EXPECT_EQ((ULONG)SERIAL_EV_DSR, Port()->WaitMask);

    auto get = file->StartIoctl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 3);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, get->Status());
    EXPECT_EQ(0u, get->Information());

    // A short wait is refused before it could answer at once, so the event it would
    // have taken is still there for the next wait.
    Post(SERIAL_EV_DSR);
    for (ULONG length : {0u, 3u}) {
        auto wait = Wait(length);
        ASSERT_TRUE(wait->Done()) << length;
        EXPECT_EQ(STATUS_INVALID_PARAMETER, wait->Status()) << length;
        EXPECT_EQ(0u, wait->Information()) << length;
    }
    EXPECT_EQ((ULONG)SERIAL_EV_DSR, Port()->PendingEvents);
    ExpectSatisfied(*Wait(), SERIAL_EV_DSR);
    // And a short wait with nothing to answer is not kept either.
    auto shortWait = Wait(2);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, shortWait->Status());
    EXPECT_EQ(nullptr, Port()->PendingWait);
}

TEST_F(WaitOnMask, ARemovedDeviceRefusesWaitsButStillAnswersTheMaskRequests)
{
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR));
    Post(SERIAL_EV_RXCHAR);
    for (UCHAR PortExtension::*flag : {&PortExtension::DeviceRemoved, &PortExtension::SurpriseRemoved}) {
        Port()->*flag = 1;
        auto wait = Wait();
        ASSERT_TRUE(wait->Done());
        EXPECT_EQ(STATUS_DELETE_PENDING, wait->Status());
        EXPECT_EQ(0u, wait->Information());
        EXPECT_EQ((ULONG)SERIAL_EV_RXCHAR, Port()->PendingEvents) << "the refused wait took nothing";
        EXPECT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR));
        ULONG mask = 0;
        EXPECT_EQ(STATUS_SUCCESS, file->Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, sizeof mask, nullptr));
        EXPECT_EQ((ULONG)SERIAL_EV_RXCHAR, mask);
        Port()->*flag = 0;  // the removal itself is the fixture's to do
    }
}

// ---- Cleanup and removal -------------------------------------------------------------

TEST_F(WaitOnMask, CompletingThePendingWaitReturnsNothing)
{
    CompletePendingWait(Port());  // none pending: nothing happens
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR));
    auto wait = Wait();
    ASSERT_FALSE(wait->Done());
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CompletePendingWait(Port());
    KeLowerIrql(old);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(STATUS_SUCCESS, wait->Status());
    EXPECT_EQ(0u, wait->Information());
    EXPECT_TRUE(wait->Output().empty());
    EXPECT_EQ(IO_NO_INCREMENT, wait->Boost());
    EXPECT_EQ(nullptr, Port()->PendingWait);
    EXPECT_FALSE(wait->Cancel()) << "its cancel routine was taken back";
}

// ---- Real threads --------------------------------------------------------------------

class WaitOnMaskRealThreads : public WaitOnMask {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
};

// Waits are issued and cancelled on one thread while another posts events, sets the
// mask and completes the pending wait, and a third cancels whatever is outstanding. Every wait must end exactly once (the verifier
// reports a second completion or one with a cancel routine still set), in one of the
// four ways, and must have left the slot free: a wait refused as a second one means
// an ended wait was still recorded.
TEST_F(WaitOnMaskRealThreads, EveryWaitEndsExactlyOnceWhileEventsAndCancelsRace)
{
    ASSERT_EQ(STATUS_SUCCESS, SetMask(SERIAL_EV_RXCHAR));
    std::atomic<bool> stop{false};
    hk::Thread sources([&] {
        for (ULONG i = 0; !stop.load(); ++i) {
            KIRQL old = PASSIVE_LEVEL;
            if (i & 1) KeRaiseIrql(DISPATCH_LEVEL, &old);
            PostEvents(port, SERIAL_EV_RXCHAR);
            CheckWait(port);
            if (i % 7 == 0) CompletePendingWait(Port());
            if (i & 1) KeLowerIrql(old);
            if (i % 11 == 0) file->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Dword(SERIAL_EV_RXCHAR).data(), 4, nullptr, 0, nullptr);
            std::this_thread::yield();
        }
    });

    // CancelIo from a third thread reaches waits while the handler is still arming them.
    hk::Thread canceller([&] {
        while (!stop.load()) {
            file->CancelIo();
            std::this_thread::yield();
        }
    });

    // A failed round stops the loop rather than the test, so the threads are stopped
    // and joined whatever happened.
    constexpr int kRounds = 3000;
    int satisfied = 0, cancelled = 0, emptied = 0, remasked = 0;
    for (int i = 0; i < kRounds; ++i) {
        if (i % 5 == 0) file->SubmitNextCancelled();
        auto wait = Wait();
        for (int spin = 0; spin < i % 4; ++spin) std::this_thread::yield();
        // Every wait is cancelled in the end, so none can outlive the loop.
        if (i % 2) wait->Cancel();
        else file->CancelIo();
        NTSTATUS status = wait->Wait();
        ULONG_PTR information = wait->Information();
        if (status == STATUS_CANCELLED && information == 0) {
            ++cancelled;
        } else if (status == STATUS_SUCCESS && information == 0) {
            ++emptied;
        } else if (status == STATUS_SUCCESS && information == sizeof(ULONG) && Result(*wait) == SERIAL_EV_RXCHAR) {
            ++satisfied;
        } else if (status == STATUS_SUCCESS && information == sizeof(ULONG) && Result(*wait) == 0) {
            ++remasked;
        } else {
            // STATUS_INVALID_PARAMETER here means an ended wait was still recorded.
            ADD_FAILURE() << "round " << i << ": status " << std::hex << status << ", information " << information;
            break;
        }
    }
    stop = true;
    sources.Join();
    canceller.Join();
    EXPECT_EQ(nullptr, Port()->PendingWait);
    EXPECT_EQ(kRounds, satisfied + cancelled + emptied + remasked);
    EXPECT_EQ(0u, hk::ViolationCount()) << hk::Describe(hk::TakeViolations());
}
