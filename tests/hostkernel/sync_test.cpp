// IRQL, spin locks and lock order, DPCs, timers, waits and the two clocks.
#include <atomic>

#include "support/kernel_test.h"

namespace {
struct DpcProbe {
    int runs = 0;
    KIRQL irql = 0;
    LONGLONG at = 0;
    PKEVENT signal = nullptr;
};

VOID NTAPI ProbeDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* p = (DpcProbe*)context;
    p->runs++;
    p->irql = KeGetCurrentIrql();
    p->at = hk::Now();
    if (p->signal) KeSetEvent(p->signal, 0, FALSE);
}

// A DPC probe with a timer and DPC of its own.
struct TimedProbe : DpcProbe {
    KDPC dpc;
    KTIMER timer;
    TimedProbe()
    {
        KeInitializeDpc(&dpc, ProbeDpc, static_cast<DpcProbe*>(this));
        KeInitializeTimer(&timer);
    }
};

LARGE_INTEGER Relative(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}
}  // namespace

class Locks : public KernelTest {};

TEST_F(Locks, SpinLockRaisesToDispatchAndReleaseRestores)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    EXPECT_EQ(PASSIVE_LEVEL, old);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(Locks, ReleasingOutOfOrderIsReported)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL oa, ob;
    KeAcquireSpinLock(&a, &oa);
    KeAcquireSpinLock(&b, &ob);
    KeReleaseSpinLock(&a, ob);
    KeReleaseSpinLock(&b, oa);
    ExpectViolation("lock-release-order");
}

TEST_F(Locks, ReacquiringAHeldLockIsReportedInsteadOfSpinningForEver)
{
    KSPIN_LOCK a;
    KeInitializeSpinLock(&a);
    KIRQL o1, o2;
    KeAcquireSpinLock(&a, &o1);
    KeAcquireSpinLock(&a, &o2);
    ExpectViolation("lock-reacquired");
    KeReleaseSpinLock(&a, o1);
}

TEST_F(Locks, TakingTwoLocksInBothOrdersIsReportedOnce)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL o;
    KeAcquireSpinLock(&a, &o);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, o);
    ExpectClean();
    for (int i = 0; i < 2; ++i) {
        KeAcquireSpinLock(&b, &o);
        KeAcquireSpinLockAtDpcLevel(&a);
        KeReleaseSpinLockFromDpcLevel(&a);
        KeReleaseSpinLock(&b, o);
    }
    EXPECT_EQ(1u, ExpectViolation("lock-order").size());
}

TEST_F(Locks, TheCancelSpinLockTakesPartInTheLockOrder)
{
    KSPIN_LOCK queue;
    KeInitializeSpinLock(&queue);
    KIRQL o, c;
    IoAcquireCancelSpinLock(&c);
    KeAcquireSpinLockAtDpcLevel(&queue);
    KeReleaseSpinLockFromDpcLevel(&queue);
    IoReleaseCancelSpinLock(c);
    KeAcquireSpinLock(&queue, &o);
    IoAcquireCancelSpinLock(&c);
    IoReleaseCancelSpinLock(c);
    KeReleaseSpinLock(&queue, o);
    ExpectViolation("lock-order");
}

class Dpcs : public KernelTest {};

TEST_F(Dpcs, ADpcQueuedAtPassiveRunsAtOnceAtDispatchLevel)
{
    DpcProbe probe;
    KDPC dpc;
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_EQ(1, probe.runs);
    EXPECT_EQ(DISPATCH_LEVEL, probe.irql);
}

TEST_F(Dpcs, ADpcQueuedAtDispatchWaitsUntilTheIrqlDrops)
{
    DpcProbe probe;
    KDPC dpc;
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "a queued DPC is queued once";
    EXPECT_EQ(0, probe.runs);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(1, probe.runs);
}

class VirtualClock : public KernelTest {};

TEST_F(VirtualClock, TimersFireOnlyWhenTimeIsAdvancedToThem)
{
    TimedProbe probe;
    LONGLONG start = hk::Now();
    EXPECT_FALSE(KeSetTimer(&probe.timer, Relative(10), &probe.dpc));
    hk::AdvanceMs(9);
    EXPECT_EQ(0, probe.runs);
    hk::AdvanceMs(1);
    EXPECT_EQ(1, probe.runs);
    EXPECT_EQ(DISPATCH_LEVEL, probe.irql);
    EXPECT_EQ(start + 100000, probe.at) << "it fires at its due time exactly";
    EXPECT_TRUE(KeReadStateTimer(&probe.timer));
}

TEST_F(VirtualClock, ANegativeStepIsAViolationAndLeavesTheClockAndTimersAlone)
{
    TimedProbe probe;
    KeSetTimer(&probe.timer, Relative(10), &probe.dpc);
    hk::AdvanceMs(5);
    LONGLONG before = hk::Now();
    hk::AdvanceMs(-3);
    ExpectViolation("clock-backwards");
    EXPECT_EQ(before, hk::Now());
    hk::AdvanceMs(4);
    EXPECT_EQ(0, probe.runs) << "the timer is still 1 ms from its due time";
    hk::AdvanceMs(1);
    EXPECT_EQ(1, probe.runs);
}

TEST_F(VirtualClock, APeriodicTimerFiresOnEveryPeriodAndCancelStopsIt)
{
    TimedProbe probe;
    KeSetTimerEx(&probe.timer, Relative(5), 5, &probe.dpc);
    hk::AdvanceMs(26);
    EXPECT_EQ(5, probe.runs);
    EXPECT_TRUE(KeCancelTimer(&probe.timer));
    EXPECT_FALSE(KeCancelTimer(&probe.timer));
    hk::AdvanceMs(100);
    EXPECT_EQ(5, probe.runs);
}

TEST_F(VirtualClock, ResettingATimerReplacesItsDueTime)
{
    TimedProbe probe;
    KeSetTimer(&probe.timer, Relative(10), &probe.dpc);
    EXPECT_TRUE(KeSetTimer(&probe.timer, Relative(30), &probe.dpc));
    hk::AdvanceMs(20);
    EXPECT_EQ(0, probe.runs);
    hk::AdvanceMs(10);
    EXPECT_EQ(1, probe.runs);
}

TEST_F(VirtualClock, AWaitWithATimeoutMovesTheClockWhenNothingElseCanRun)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LONGLONG start = hk::Now();
    LARGE_INTEGER timeout = Relative(30000);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    EXPECT_EQ(start + 30000LL * 10000, hk::Now());
}

TEST_F(VirtualClock, AWaitIsSatisfiedByATimerDpcAtItsDueTime)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    TimedProbe probe;
    probe.signal = &event;
    KeSetTimer(&probe.timer, Relative(250), &probe.dpc);
    LONGLONG start = hk::Now();
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(start + 250 * 10000, hk::Now());
    EXPECT_EQ(0, KeReadStateEvent(&event)) << "a synchronization event resets when it satisfies a wait";
}

TEST_F(VirtualClock, AWaitThatNothingCanSatisfyIsReportedAsAHang)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    ExpectViolation("hang");
}

TEST_F(VirtualClock, RunUntilLetsTimeRunUntilTheConditionHoldsOrTheLimitPasses)
{
    TimedProbe probe;
    LONGLONG start = hk::Now();
    KeSetTimerEx(&probe.timer, Relative(10), 10, &probe.dpc);
    EXPECT_TRUE(hk::RunUntil([&] { return probe.runs >= 3; }));
    EXPECT_EQ(start + 30 * 10000, hk::Now());
    KeCancelTimer(&probe.timer);
    EXPECT_FALSE(hk::RunUntil([] { return false; }, 5 * 10000)) << "nothing is due: gives up without waiting";
    ExpectClean();
}

TEST_F(VirtualClock, AWaitThatOnlyTimersKeepAliveIsReportedAsAHangAtTheHorizon)
{
    TimedProbe probe;
    KeSetTimerEx(&probe.timer, Relative(10), 10, &probe.dpc);  // a poll that never ends
    hk::SetHangHorizon(60LL * 10000000);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LONGLONG start = hk::Now();
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr));
    ExpectViolation("hang");
    EXPECT_LE(hk::Now() - start, 60LL * 10000000);
    EXPECT_EQ(6000, probe.runs) << "the timers ran meanwhile";
    KeCancelTimer(&probe.timer);
}

TEST_F(VirtualClock, KeDelayExecutionThreadTakesExactlyItsInterval)
{
    LONGLONG start = hk::Now();
    LARGE_INTEGER interval = Relative(7);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_EQ(start + 70000, hk::Now());
}

TEST_F(VirtualClock, WaitingAtDispatchLevelIsReported)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero = {};
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    ExpectClean();  // polling with a zero timeout is allowed
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    ExpectViolation("wait-at-dispatch");
    LARGE_INTEGER interval = Relative(1);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    ExpectViolation("wait-at-dispatch");
    KeLowerIrql(old);
}

TEST_F(VirtualClock, ThreadsTakeTurnsAtWaitsAndEventsWakeTheRightNumber)
{
    KEVENT gate, sync;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
    int passedGate = 0, passedSync = 0;
    std::vector<std::unique_ptr<hk::Thread>> threads;
    for (int i = 0; i < 3; ++i)
        threads.push_back(std::make_unique<hk::Thread>([&] {
            KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
            passedGate++;
            KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, nullptr);
            passedSync++;
        }));
    hk::YieldToOthers();
    EXPECT_EQ(0, passedGate);
    KeSetEvent(&gate, 0, FALSE);
    hk::YieldToOthers();
    EXPECT_EQ(3, passedGate) << "a notification event releases every waiter";
    KeSetEvent(&sync, 0, FALSE);
    hk::YieldToOthers();
    EXPECT_EQ(1, passedSync) << "a synchronization event releases one";
    KeSetEvent(&sync, 0, FALSE);
    KeSetEvent(&sync, 0, FALSE);
    for (auto& t : threads) t->Join();
    EXPECT_EQ(3, passedSync);
}

class DeviceQueues : public KernelTest {};

TEST_F(DeviceQueues, TheFirstEntryFindsTheQueueIdleAndTheRestWaitInOrder)
{
    KDEVICE_QUEUE q;
    KeInitializeDeviceQueue(&q);
    KDEVICE_QUEUE_ENTRY e[3];
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_FALSE(KeInsertDeviceQueue(&q, &e[0])) << "idle: the caller starts the work itself";
    EXPECT_TRUE(q.Busy);
    EXPECT_TRUE(KeInsertDeviceQueue(&q, &e[1]));
    EXPECT_TRUE(KeInsertDeviceQueue(&q, &e[2]));
    EXPECT_TRUE(KeRemoveEntryDeviceQueue(&q, &e[2]));
    EXPECT_EQ(&e[1], KeRemoveDeviceQueue(&q));
    EXPECT_EQ(nullptr, KeRemoveDeviceQueue(&q));
    EXPECT_FALSE(q.Busy) << "an empty remove makes the queue idle again";
    KeLowerIrql(old);
    KeInsertDeviceQueue(&q, &e[0]);
    ExpectViolation("irql");
}

TEST_F(Dpcs, AFlushRunsEveryQueuedDpcEvenOneATestHoldsBack)
{
    DpcProbe probe;
    KDPC dpc;
    KeInitializeDpc(&dpc, ProbeDpc, &probe);
    hk::DeferDpcs(true);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_EQ(0, probe.runs);
    KeFlushQueuedDpcs();
    EXPECT_EQ(1, probe.runs) << "the flush returns once the queued DPC has run";
    hk::DeferDpcs(false);
}

class RealClock : public KernelTest {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
};

TEST_F(RealClock, TheDpcThreadFiresTimersAndRealWaitsReturn)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    TimedProbe probe;
    probe.signal = &event;
    KeSetTimer(&probe.timer, Relative(2), &probe.dpc);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(1, probe.runs);
    EXPECT_EQ(DISPATCH_LEVEL, probe.irql);
    KeCancelTimer(&probe.timer);
}
