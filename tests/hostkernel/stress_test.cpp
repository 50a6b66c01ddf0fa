// Real threads on the real clock: spin locks, events and DPCs under contention.
// These run under ThreadSanitizer in CI, which is the point of them.
#include <atomic>

#include "support/kernel_test.h"

class RealThreads : public KernelTest {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
};

namespace {
struct Shared {
    KSPIN_LOCK lock;
    ULONG counter = 0;
    ULONG dpcRuns = 0;
    KTIMER timer;
    KDPC dpc;
    KEVENT stop;
};

VOID NTAPI CountingDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* s = (Shared*)context;
    KeAcquireSpinLockAtDpcLevel(&s->lock);
    s->counter++;
    s->dpcRuns++;
    KeReleaseSpinLockFromDpcLevel(&s->lock);
}
VOID NTAPI SignalDpc(PKDPC, PVOID context, PVOID, PVOID) { KeSetEvent((PKEVENT)context, 0, FALSE); }
}  // namespace

TEST_F(RealThreads, SpinLocksSerialiseThreadsAndDpcs)
{
    Shared s;
    KeInitializeSpinLock(&s.lock);
    KeInitializeTimer(&s.timer);
    KeInitializeDpc(&s.dpc, CountingDpc, &s);
    LARGE_INTEGER due;
    due.QuadPart = -1000;  // 100 us
    KeSetTimerEx(&s.timer, due, 1, &s.dpc);

    constexpr int kThreads = 4, kRounds = 5000;
    std::vector<std::unique_ptr<hk::Thread>> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.push_back(std::make_unique<hk::Thread>([&] {
            for (int i = 0; i < kRounds; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&s.lock, &old);
                s.counter++;
                KeReleaseSpinLock(&s.lock, old);
            }
        }));
    for (auto& t : threads) t->Join();
    KeCancelTimer(&s.timer);
    KeRemoveQueueDpc(&s.dpc);
    // A counting DPC may still be running: DPCs run one after another on the DPC
    // thread, so once a DPC queued now has run, it has finished.
    KEVENT flushed;
    KeInitializeEvent(&flushed, NotificationEvent, FALSE);
    KDPC flush;
    KeInitializeDpc(&flush, SignalDpc, &flushed);
    KeInsertQueueDpc(&flush, nullptr, nullptr);
    KeWaitForSingleObject(&flushed, Executive, KernelMode, FALSE, nullptr);
    KIRQL old;
    KeAcquireSpinLock(&s.lock, &old);
    ULONG counter = s.counter, dpcRuns = s.dpcRuns;
    KeReleaseSpinLock(&s.lock, old);
    EXPECT_EQ((ULONG)(kThreads * kRounds) + dpcRuns, counter);
}

TEST_F(RealThreads, EventsHandOffBetweenThreadsWithoutLosingASignal)
{
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    constexpr int kRounds = 2000;
    int seen = 0;
    hk::Thread responder([&] {
        for (int i = 0; i < kRounds; ++i) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            seen++;
            KeSetEvent(&pong, 0, FALSE);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        KeSetEvent(&ping, 0, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    responder.Join();
    EXPECT_EQ(kRounds, seen);
}
