// Threads, IRQL, the clock, dispatcher objects (events and timers), waits and DPCs.
//
// Virtual clock: the emulation behaves like a uniprocessor with a deterministic
// scheduler. Exactly one emulated thread holds the processor; control passes only
// when that thread waits. When nobody can run, the waiting thread itself plays the
// idle loop: it runs queued DPCs, then moves the clock to the next timer or wait
// deadline. When nothing at all can ever wake anybody, every waiter is released
// with a "hang" violation instead of blocking the test forever. DPCs also run, as on
// a uniprocessor, whenever the running thread's IRQL drops below DISPATCH_LEVEL.
//
// Real clock: threads run freely, waits block for real, and one DPC thread expires
// timers and runs DPCs.
#include <algorithm>
#include <chrono>

#include "internal.h"

namespace hk {
namespace detail {
namespace {

constexpr LONGLONG kEpoch = 0x01DB000000000000LL;  // some day in 2024, in 100 ns since 1601

struct Sched {
    std::mutex lock;
    ClockMode mode = ClockMode::Virtual;
    LONGLONG now = kEpoch;
    std::chrono::steady_clock::time_point realStart;
    KThreadRec* running = nullptr;
    std::deque<KThreadRec*> ready;
    std::vector<KThreadRec*> blocked;
    std::multimap<LONGLONG, PKTIMER> timers;
    std::deque<PKDPC> dpcs;
    int liveEmulatedThreads = 0;
    std::unordered_map<const void*, PDRIVER_OBJECT> owners;
    bool deferDpcs = false;  // a test holds queued DPCs back until it runs them  // timers and DPCs: the driver that set or queued them
    LONGLONG hangHorizon = 10LL * 60 * 10000000;  // virtual time a wait may run for without being satisfied
    // Real clock only.
    std::thread dpcThread;
    std::condition_variable dpcCv;
    bool stopDpcThread = false;
    // DPC routines running now, with the driver each belongs to (either clock).
    std::multimap<PKDPC, PDRIVER_OBJECT> runningDpcs;
    std::condition_variable dpcDone;
};

Sched& S()
{
    static Sched* s = new Sched;  // never destroyed: emulated threads may outlive main
    return *s;
}

thread_local ThreadState tSelf;
thread_local std::unique_ptr<KThreadRec> tOwnRec;

// The driver on whose behalf the caller sets a timer or queues a DPC: the one whose
// code runs, else the one whose DPC runs, else the one whose device holds the object.
PDRIVER_OBJECT OwnerOfKernelObject(const void* object)
{
    if (PDRIVER_OBJECT d = CurrentOwner().driver) return d;
    if (tSelf.dpcDriver) return tSelf.dpcDriver;
    PDEVICE_OBJECT device = DeviceContaining(object);
    return device ? device->DriverObject : nullptr;
}

LONGLONG RealNow()
{
    auto d = std::chrono::steady_clock::now() - S().realStart;
    return kEpoch + std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
}

bool Consume(PVOID object)
{
    auto* header = (DISPATCHER_HEADER*)object;
    if (!__atomic_load_n(&header->SignalState, __ATOMIC_SEQ_CST)) return false;
    if (header->Type == EventSynchronizationObject || header->Type == TimerSynchronizationObject)
        __atomic_store_n(&header->SignalState, 0, __ATOMIC_SEQ_CST);
    return true;
}

// Wakes waiters of a signalled object, FIFO; a synchronization object wakes one.
void WakeWaiters(PVOID object)
{
    auto* header = (DISPATCHER_HEADER*)object;
    for (KThreadRec* rec : S().blocked) {
        if (!__atomic_load_n(&header->SignalState, __ATOMIC_SEQ_CST)) break;
        if (rec->waitObject != object || rec->satisfied || rec->timedOut || rec->hang) continue;
        Consume(object);
        rec->satisfied = true;
        MakeReady(rec);
    }
}

void QueueDpcLocked(PKDPC dpc, PVOID a1, PVOID a2, bool* queued)
{
    *queued = false;
    if (dpc->DpcData) return;
    dpc->SystemArgument1 = a1;
    dpc->SystemArgument2 = a2;
    dpc->DpcData = (PVOID)1;
    S().dpcs.push_back(dpc);
    *queued = true;
}

void InsertTimerLocked(PKTIMER timer, LONGLONG due)
{
    timer->DueTime.QuadPart = (ULONGLONG)due;
    timer->Header.Inserted = 1;
    S().timers.emplace(due, timer);
}

bool RemoveTimerLocked(PKTIMER timer)
{
    if (!timer->Header.Inserted) return false;
    auto range = S().timers.equal_range((LONGLONG)timer->DueTime.QuadPart);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second == timer) {
            S().timers.erase(it);
            break;
        }
    timer->Header.Inserted = 0;
    return true;
}

constexpr LONGLONG kTickLength = 156250;  // 15.625 ms, in 100 ns

// Publishes the tick count for readers that hold no lock (the image reads the
// variable itself): High2Time first, then the low part, then High1Time.
void PublishTicksLocked(LONGLONG now)
{
    ULONGLONG ticks = (ULONGLONG)(now - kEpoch) / kTickLength;
    __atomic_store_n(&KeTickCount.High2Time, (LONG)(ticks >> 32), __ATOMIC_RELEASE);
    __atomic_store_n(&KeTickCount.LowPart, (ULONG)ticks, __ATOMIC_RELEASE);
    __atomic_store_n(&KeTickCount.High1Time, (LONG)(ticks >> 32), __ATOMIC_RELEASE);
}

// Expires every timer and wait deadline due at the current time.
void ExpireDueLocked()
{
    LONGLONG now = NowLocked();
    PublishTicksLocked(now);
    while (!S().timers.empty() && S().timers.begin()->first <= now) {
        auto it = S().timers.begin();
        PKTIMER timer = it->second;
        LONGLONG due = it->first;
        S().timers.erase(it);
        timer->Header.Inserted = 0;
        __atomic_store_n(&timer->Header.SignalState, 1, __ATOMIC_SEQ_CST);
        WakeWaiters(timer);
        if (timer->Period > 0) InsertTimerLocked(timer, due + (LONGLONG)timer->Period * 10000);
        if (timer->Dpc) {
            bool queued;
            QueueDpcLocked(timer->Dpc, (PVOID)(ULONG_PTR)(ULONG)due, (PVOID)(ULONG_PTR)(ULONG)(due >> 32), &queued);
            if (queued) Bump(Tally::TimerDpc);
            auto owner = S().owners.find(timer);
            if (queued && owner != S().owners.end()) S().owners[timer->Dpc] = owner->second;
        }
    }
    for (KThreadRec* rec : S().blocked)
        if (rec->deadline >= 0 && rec->deadline <= now && !rec->satisfied && !rec->hang && !rec->timedOut) {
            rec->timedOut = true;
            MakeReady(rec);
        }
    if (S().mode == ClockMode::Real) S().dpcCv.notify_all();
}

// The earliest time at which a timer or a wait deadline falls due, or -1.
LONGLONG NextEventLocked()
{
    LONGLONG next = -1;
    if (!S().timers.empty()) next = S().timers.begin()->first;
    for (KThreadRec* rec : S().blocked)
        if (rec->deadline >= 0 && !rec->satisfied && !rec->timedOut && !rec->hang &&
            (next < 0 || rec->deadline < next))
            next = rec->deadline;
    return next;
}

// Runs one queued DPC at DISPATCH_LEVEL on the calling thread; drops the lock meanwhile.
void RunOneDpcLocked(std::unique_lock<std::mutex>& lk)
{
    PKDPC dpc = S().dpcs.front();
    S().dpcs.pop_front();
    dpc->DpcData = nullptr;
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
    auto owner = S().owners.find(dpc);
    PDRIVER_OBJECT dpcDriver = owner == S().owners.end() ? nullptr : owner->second;
    auto running = S().runningDpcs.emplace(dpc, dpcDriver);
    lk.unlock();
    Bump(Tally::Dpc);

    ThreadState& self = tSelf;
    KIRQL saved = self.irql;
    PDEVICE_OBJECT savedDevice = self.device;
    PDRIVER_OBJECT savedDpcDriver = self.dpcDriver;
    self.dpcDriver = dpcDriver;
    size_t heldBefore = self.held.size();
    self.irql = DISPATCH_LEVEL;
    self.drainingDpcs++;
    self.device = DeviceContaining(dpc);
    if (IsPageableCode((const void*)routine)) Report("pageable-dpc", "DPC routine " + Hex((ULONG_PTR)routine) + " lies in pageable code");
    CallDriver("DPC routine", routine, dpc, context, a1, a2);
    if (self.irql != DISPATCH_LEVEL)
        Report("dpc-irql", "DPC routine " + Hex((ULONG_PTR)routine) + " returned at IRQL " + std::to_string(self.irql));
    if (self.held.size() != heldBefore)
        Report("dpc-lock-held", "DPC routine " + Hex((ULONG_PTR)routine) + " returned holding a spin lock");
    self.device = savedDevice;
    self.dpcDriver = savedDpcDriver;
    self.drainingDpcs--;
    self.irql = saved;
    lk.lock();
    S().runningDpcs.erase(running);
    S().dpcDone.notify_all();
}

// Whether a queued DPC may run now: not while a test defers them.
bool DpcsRunnable() { return !S().dpcs.empty() && !S().deferDpcs; }

void RunAllDpcsLocked(std::unique_lock<std::mutex>& lk, bool evenDeferred = false)
{
    while (evenDeferred ? !S().dpcs.empty() : DpcsRunnable()) RunOneDpcLocked(lk);
}

// Gives the processor away until this thread has been handed it back with its wait
// over (virtual clock). While nobody else can run, plays the idle loop.
void HandOffVirtual(std::unique_lock<std::mutex>& lk, KThreadRec* self)
{
    LONGLONG began = S().now;
    for (;;) {
        if (self->satisfied || self->timedOut || self->hang) {
            auto& r = S().ready;
            r.erase(std::remove(r.begin(), r.end(), self), r.end());
            S().running = self;
            return;
        }
        if (!S().ready.empty()) {
            KThreadRec* next = S().ready.front();
            S().ready.pop_front();
            S().running = next;
            next->cv.notify_all();
            while (S().running != self) self->cv.wait(lk);
            continue;
        }
        if (DpcsRunnable()) {
            RunOneDpcLocked(lk);
            continue;
        }
        LONGLONG next = NextEventLocked();
        LONGLONG horizon = began + S().hangHorizon;
        if (next >= 0 && next > horizon && (self->deadline < 0 || self->deadline > horizon)) {
            // Timers keep firing, but nothing satisfies this wait: on Windows the thread
            // would wait for ever.
            Report("hang", self->name + " waited " + std::to_string(S().hangHorizon / 10000000) +
                               " s of virtual time while only timers ran");
            self->hang = true;
            continue;
        }
        if (next >= 0) {
            if (next > S().now) S().now = next;
            ExpireDueLocked();
            continue;
        }
        std::string who;
        for (KThreadRec* rec : S().blocked) {
            who += (who.empty() ? "" : ", ") + rec->name;
            rec->hang = true;
            if (rec != self) MakeReady(rec);
        }
        Report("hang", "every thread waits and nothing can wake any of them: " + who +
                           (S().dpcs.empty() ? "" : " (queued DPCs are deferred by the test)"));
    }
}

void DpcThreadMain()
{
    tSelf.rec = nullptr;
    std::unique_lock<std::mutex> lk(S().lock);
    while (!S().stopDpcThread) {
        ExpireDueLocked();
        if (DpcsRunnable()) {
            RunAllDpcsLocked(lk);
            continue;
        }
        // Wake at least once a tick, as the clock interrupt does, to move the tick count.
        LONGLONG wait = kTickLength;
        if (!S().timers.empty()) wait = std::min(wait, S().timers.begin()->first - RealNow());
        if (wait > 0) S().dpcCv.wait_for(lk, std::chrono::nanoseconds(wait * 100));
    }
}

}  // namespace

ThreadState& Self() { return tSelf; }

std::mutex& DispatcherLock() { return S().lock; }

LONGLONG NowLocked() { return S().mode == ClockMode::Virtual ? S().now : RealNow(); }

KThreadRec* CurrentRec()
{
    if (tSelf.rec) return tSelf.rec;
    tOwnRec = std::make_unique<KThreadRec>();
    tOwnRec->name = "caller";
    tSelf.rec = tOwnRec.get();
    std::unique_lock<std::mutex> lk(S().lock);
    if (S().mode == ClockMode::Virtual) {
        if (!S().running) {
            S().running = tSelf.rec;
        } else if (S().running != tSelf.rec) {
            S().ready.push_back(tSelf.rec);
            while (S().running != tSelf.rec) tSelf.rec->cv.wait(lk);
        }
    }
    return tSelf.rec;
}

void MakeReady(KThreadRec* rec)
{
    if (S().mode == ClockMode::Virtual) {
        if (std::find(S().ready.begin(), S().ready.end(), rec) == S().ready.end()) S().ready.push_back(rec);
    } else {
        rec->cv.notify_all();
    }
}

void BlockCurrent(std::unique_lock<std::mutex>& lk, KThreadRec* self)
{
    self->blocked = true;
    S().blocked.push_back(self);
    if (S().mode == ClockMode::Virtual) {
        HandOffVirtual(lk, self);
    } else {
        while (!self->satisfied && !self->timedOut) {
            if (self->deadline >= 0) {
                LONGLONG left = self->deadline - RealNow();
                if (left <= 0) {
                    self->timedOut = true;
                    break;
                }
                self->cv.wait_for(lk, std::chrono::nanoseconds(left * 100));
            } else {
                self->cv.wait(lk);
            }
        }
    }
    auto& b = S().blocked;
    b.erase(std::remove(b.begin(), b.end(), self), b.end());
    self->blocked = false;
}

void DrainDpcsIfDue()
{
    if (S().mode != ClockMode::Virtual) return;
    if (tSelf.irql >= DISPATCH_LEVEL || tSelf.drainingDpcs) return;
    std::unique_lock<std::mutex> lk(S().lock);
    RunAllDpcsLocked(lk);
}

bool CheckNoLiveKernelObjects(const void* base, size_t size, const char* what)
{
    auto inside = [&](const void* p) { return (const char*)p >= (const char*)base && (const char*)p < (const char*)base + size; };
    std::lock_guard<std::mutex> g(S().lock);
    bool clean = true;
    // Reported, then unlinked, so that the kernel does not go on to use freed memory.
    for (auto it = S().timers.begin(); it != S().timers.end();) {
        if (!inside(it->second)) {
            ++it;
            continue;
        }
        Report("freed-armed-timer", std::string(what) + " freed while its timer " + Hex((ULONG_PTR)it->second) + " is armed");
        it = S().timers.erase(it);
        clean = false;
    }
    for (auto it = S().dpcs.begin(); it != S().dpcs.end();) {
        if (!inside(*it)) {
            ++it;
            continue;
        }
        Report("freed-queued-dpc", std::string(what) + " freed while its DPC " + Hex((ULONG_PTR)*it) + " is queued");
        it = S().dpcs.erase(it);
        clean = false;
    }
    for (KThreadRec* rec : S().blocked)
        if (inside(rec->waitObject)) {
            Report("freed-waited-object", std::string(what) + " freed while a thread waits on an object inside it");
            clean = false;
        }
    return clean;
}

void CheckNoDriverTimersOrDpcs(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> g(S().lock);
    auto owned = [&](const void* object) {
        auto it = S().owners.find(object);
        return it != S().owners.end() && it->second == driver;
    };
    // Reported, then unlinked: on Windows the timer or DPC would run in unloaded code
    // (bug checks 0xC7 and 0xCE).
    for (auto it = S().timers.begin(); it != S().timers.end();) {
        PKTIMER timer = it->second;
        if (!owned(timer)) {
            ++it;
            continue;
        }
        std::string routine = timer->Dpc ? " with DPC routine " + Hex((ULONG_PTR)timer->Dpc->DeferredRoutine) : "";
        Report("unload-timer-armed", "driver " + Hex((ULONG_PTR)driver) + " unloaded while its timer " + Hex((ULONG_PTR)timer) +
                                         routine + " is still armed");
        timer->Header.Inserted = 0;
        it = S().timers.erase(it);
    }
    for (auto it = S().dpcs.begin(); it != S().dpcs.end();) {
        PKDPC dpc = *it;
        if (!owned(dpc)) {
            ++it;
            continue;
        }
        Report("unload-dpc-queued", "driver " + Hex((ULONG_PTR)driver) + " unloaded while its DPC " + Hex((ULONG_PTR)dpc) +
                                        " (routine " + Hex((ULONG_PTR)dpc->DeferredRoutine) + ") is still queued");
        dpc->DpcData = nullptr;
        it = S().dpcs.erase(it);
    }
    for (auto it = S().owners.begin(); it != S().owners.end();) it = it->second == driver ? S().owners.erase(it) : std::next(it);
}

void CheckNoDriverDpcRunning(PDRIVER_OBJECT driver)
{
    std::unique_lock<std::mutex> lk(S().lock);
    auto runs = [&] {
        for (auto& r : S().runningDpcs)
            if (r.second == driver) return true;
        return false;
    };
    if (!runs()) return;
    // On Windows the routine would go on in unmapped code; here it is let finish first.
    Report("unload-dpc-running", "driver " + Hex((ULONG_PTR)driver) +
                                     " unloaded while one of its DPC routines still runs on another processor"
                                     " (KeFlushQueuedDpcs at removal waits for them)");
    S().dpcDone.wait(lk, [&] { return !runs(); });
}

void ResetScheduler(ClockMode mode)
{
    StopScheduler();
    KThreadRec* self = CurrentRec();
    std::lock_guard<std::mutex> g(S().lock);
    if (S().liveEmulatedThreads) Report("thread-leak", std::to_string(S().liveEmulatedThreads) + " emulated thread(s) still running at reset");
    S().mode = mode;
    S().now = kEpoch;
    PublishTicksLocked(kEpoch);
    S().hangHorizon = 10LL * 60 * 10000000;
    S().realStart = std::chrono::steady_clock::now();
    S().timers.clear();
    for (PKDPC d : S().dpcs) d->DpcData = nullptr;
    S().dpcs.clear();
    S().owners.clear();
    S().deferDpcs = false;
    S().ready.clear();
    S().blocked.clear();
    S().running = self;
    tSelf.irql = PASSIVE_LEVEL;
    tSelf.held.clear();
    tSelf.device = nullptr;
    tSelf.pagedFrames.clear();
    if (mode == ClockMode::Real) {
        S().stopDpcThread = false;
        S().dpcThread = std::thread(DpcThreadMain);
    }
}

void StopScheduler()
{
    std::thread t;
    {
        std::lock_guard<std::mutex> g(S().lock);
        if (!S().dpcThread.joinable()) return;
        S().stopDpcThread = true;
        S().dpcCv.notify_all();
        t = std::move(S().dpcThread);
    }
    t.join();
}

}  // namespace detail

using namespace detail;

// ---- Host API -----------------------------------------------------------------------------

ClockMode Mode() { return S().mode; }

LONGLONG Now()
{
    std::lock_guard<std::mutex> g(S().lock);
    return NowLocked();
}

void RunDpcs()
{
    CurrentRec();
    std::unique_lock<std::mutex> lk(S().lock);
    if (S().mode != ClockMode::Virtual && !S().deferDpcs) return;
    if (S().mode == ClockMode::Virtual) ExpireDueLocked();
    // At DISPATCH_LEVEL on the caller, as a DPC drain on that processor would run them.
    RunAllDpcsLocked(lk, true);
}

void DeferDpcs(bool on)
{
    CurrentRec();
    std::unique_lock<std::mutex> lk(S().lock);
    S().deferDpcs = on;
    if (on) return;
    if (S().mode == ClockMode::Real) {
        S().dpcCv.notify_all();
        return;
    }
    if (Self().irql < DISPATCH_LEVEL && !Self().drainingDpcs) RunAllDpcsLocked(lk);
}

void AdvanceTime(LONGLONG hundredNs)
{
    CurrentRec();
    // Interrupt time never runs backwards; a driver that saw it do so could compute
    // negative intervals no Windows machine produces. A caller asking for that is at fault.
    if (hundredNs < 0) {
        Report("clock-backwards", "time advanced by " + std::to_string(hundredNs) + " x 100 ns");
        return;
    }
    if (S().mode == ClockMode::Real) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(hundredNs * 100));
        return;
    }
    std::unique_lock<std::mutex> lk(S().lock);
    LONGLONG target = S().now + hundredNs;
    for (;;) {
        ExpireDueLocked();
        RunAllDpcsLocked(lk);
        LONGLONG next = NextEventLocked();
        if (next < 0 || next > target) break;
        if (next > S().now) S().now = next;
    }
    S().now = target;
    ExpireDueLocked();
    RunAllDpcsLocked(lk);
}

void YieldToOthers()
{
    KThreadRec* self = CurrentRec();
    std::unique_lock<std::mutex> lk(S().lock);
    if (S().mode != ClockMode::Virtual) return;
    while (!S().ready.empty()) {
        KThreadRec* next = S().ready.front();
        S().ready.pop_front();
        if (next == self) continue;
        S().ready.push_back(self);
        S().running = next;
        next->cv.notify_all();
        while (S().running != self) self->cv.wait(lk);
    }
}

bool RunUntil(const std::function<bool()>& condition, LONGLONG limit)
{
    LONGLONG deadline = Now() + limit;
    for (;;) {
        if (condition()) return true;
        RunDpcs();
        YieldToOthers();
        if (condition()) return true;
        if (S().mode == ClockMode::Real) {
            if (Now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        LONGLONG next;
        {
            std::lock_guard<std::mutex> g(S().lock);
            next = NextEventLocked();
            if (S().ready.size() || DpcsRunnable()) continue;
        }
        if (next < 0 || next > deadline) return condition();
        AdvanceTime(std::max<LONGLONG>(0, next - Now()));
    }
}

void SetHangHorizon(LONGLONG hundredNs)
{
    std::lock_guard<std::mutex> g(S().lock);
    S().hangHorizon = hundredNs;
}

size_t ArmedTimerCount()
{
    std::lock_guard<std::mutex> g(S().lock);
    return S().timers.size();
}

size_t QueuedDpcCount()
{
    std::lock_guard<std::mutex> g(S().lock);
    return S().dpcs.size();
}

// ---- Threads ------------------------------------------------------------------------------

namespace {
// The life of an emulated thread: it waits to be handed the processor (virtual
// clock), runs its body at PASSIVE_LEVEL, signals `done` and passes the processor on.
void RunEmulated(KThreadRec* rec, const std::function<void()>& body, PKEVENT done)
{
    tSelf.rec = rec;
    {
        std::unique_lock<std::mutex> lk(S().lock);
        if (S().mode == ClockMode::Virtual)
            while (S().running != rec) rec->cv.wait(lk);
    }
    body();
    if (tSelf.irql != PASSIVE_LEVEL || !tSelf.held.empty())
        Report("thread-exit-irql", "thread " + rec->name + " ended above PASSIVE_LEVEL or holding a spin lock");
    KeSetEvent(done, 0, FALSE);
    std::unique_lock<std::mutex> lk(S().lock);
    S().liveEmulatedThreads--;
    if (S().mode == ClockMode::Virtual) {
        // Pass the processor on; with nobody ready, the idle loop continues in
        // whichever thread waits next, so hand it to any blocked thread.
        KThreadRec* next = nullptr;
        if (!S().ready.empty()) {
            next = S().ready.front();
            S().ready.pop_front();
        } else if (!S().blocked.empty()) {
            next = S().blocked.front();
        }
        S().running = next;
        if (next) next->cv.notify_all();
    }
    tSelf.rec = nullptr;
}

// Registers a new emulated thread; on the virtual clock it is ready to run at the
// caller's next wait.
void AdmitEmulated(KThreadRec* rec)
{
    std::lock_guard<std::mutex> g(S().lock);
    S().liveEmulatedThreads++;
    if (S().mode == ClockMode::Virtual) S().ready.push_back(rec);
}

// System worker threads: started by the kernel itself (work items), joined at reset.
struct SystemThread {
    KThreadRec rec;
    KEVENT done;
    std::thread thread;
};
std::mutex gSystemThreadsLock;
std::vector<std::unique_ptr<SystemThread>> gSystemThreads;
}  // namespace

namespace detail {
void StartSystemThread(std::string name, std::function<void()> body)
{
    CurrentRec();
    auto t = std::make_unique<SystemThread>();
    KeInitializeEvent(&t->done, NotificationEvent, FALSE);
    t->rec.name = std::move(name);
    t->rec.emulated = true;
    AdmitEmulated(&t->rec);
    SystemThread* raw = t.get();
    t->thread = std::thread([raw, body = std::move(body)] { RunEmulated(&raw->rec, body, &raw->done); });
    std::lock_guard<std::mutex> g(gSystemThreadsLock);
    gSystemThreads.push_back(std::move(t));
}

void JoinSystemThreads()
{
    for (;;) {
        std::unique_ptr<SystemThread> t;
        {
            std::lock_guard<std::mutex> g(gSystemThreadsLock);
            if (gSystemThreads.empty()) return;
            t = std::move(gSystemThreads.front());
            gSystemThreads.erase(gSystemThreads.begin());
        }
        if (!KeReadStateEvent(&t->done)) KeWaitForSingleObject(&t->done, Executive, KernelMode, FALSE, nullptr);
        t->thread.join();
    }
}
}  // namespace detail

struct Thread::Impl {
    KThreadRec rec;
    KEVENT done;
    std::thread thread;
    bool joined = false;
};

Thread::Thread(std::function<void()> body, std::string name) : impl_(std::make_unique<Impl>())
{
    CurrentRec();
    KeInitializeEvent(&impl_->done, NotificationEvent, FALSE);
    impl_->rec.name = std::move(name);
    impl_->rec.emulated = true;
    AdmitEmulated(&impl_->rec);
    Impl* impl = impl_.get();
    impl_->thread = std::thread([impl, body = std::move(body)] { RunEmulated(&impl->rec, body, &impl->done); });
}

void Thread::Join()
{
    if (impl_->joined) return;
    KeWaitForSingleObject(&impl_->done, Executive, KernelMode, FALSE, nullptr);
    impl_->thread.join();
    impl_->joined = true;
}

bool Thread::Finished() const { return KeReadStateEvent(&impl_->done) != 0; }

Thread::~Thread()
{
    if (!impl_->joined) Join();
}

}  // namespace hk

// ---- Kernel routines ----------------------------------------------------------------------

using namespace hk;
using namespace hk::detail;

KIRQL KeGetCurrentIrql() { return Self().irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    if (NewIrql < Self().irql) Report("irql", "KeRaiseIrql to " + std::to_string(NewIrql) + " below the current IRQL");
    *OldIrql = Self().irql;
    Self().irql = NewIrql;
    CheckPageableCaller(__builtin_return_address(0), NewIrql, "KeRaiseIrql");
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    CheckPageableCaller(__builtin_return_address(0), Self().irql, "KeLowerIrql");
    if (NewIrql > Self().irql) Report("irql", "KeLowerIrql to " + std::to_string(NewIrql) + " above the current IRQL");
    Self().irql = NewIrql;
    DrainDpcsIfDue();
}

KIRQL KeRaiseIrqlToDpcLevel()
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    CheckPageableCaller(__builtin_return_address(0), DISPATCH_LEVEL, "KeRaiseIrqlToDpcLevel");
    return old;
}

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    __atomic_store_n(&Event->Header.SignalState, State ? 1 : 0, __ATOMIC_SEQ_CST);
    Event->Header.Inserted = 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN)
{
    if (Self().irql > DISPATCH_LEVEL) Report("irql", "KeSetEvent above DISPATCH_LEVEL");
    std::lock_guard<std::mutex> g(S().lock);
    LONG previous = __atomic_load_n(&Event->Header.SignalState, __ATOMIC_SEQ_CST);
    __atomic_store_n(&Event->Header.SignalState, 1, __ATOMIC_SEQ_CST);
    WakeWaiters(Event);
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) { __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_SEQ_CST); }

LONG KeResetEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> g(S().lock);
    LONG previous = __atomic_load_n(&Event->Header.SignalState, __ATOMIC_SEQ_CST);
    __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_SEQ_CST);
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) { return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_SEQ_CST); }

static NTSTATUS WaitCommon(PVOID Object, PLARGE_INTEGER Timeout, const char* who)
{
    ThreadState& self = Self();
    bool zeroTimeout = Timeout && Timeout->QuadPart == 0;
    if (self.irql > DISPATCH_LEVEL || (self.irql == DISPATCH_LEVEL && !zeroTimeout)) {
        Report("wait-at-dispatch", std::string(who) + " that can block, called at IRQL " + std::to_string(self.irql));
        zeroTimeout = true;  // do not block: Windows would have stopped here
    }
    KThreadRec* rec = CurrentRec();
    std::unique_lock<std::mutex> lk(S().lock);
    if (Object && Consume(Object)) return STATUS_SUCCESS;
    if (zeroTimeout) return STATUS_TIMEOUT;
    LONGLONG now = NowLocked();
    rec->deadline = !Timeout ? -1 : Timeout->QuadPart < 0 ? now - Timeout->QuadPart : Timeout->QuadPart;
    rec->waitObject = Object;
    rec->satisfied = rec->timedOut = rec->hang = false;
    BlockCurrent(lk, rec);
    rec->waitObject = nullptr;
    rec->deadline = -1;
    return rec->satisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout)
{
    return WaitCommon(Object, Timeout, "KeWaitForSingleObject");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval)
{
    if (Self().irql > APC_LEVEL) {
        Report("wait-at-dispatch", "KeDelayExecutionThread called at IRQL " + std::to_string(Self().irql));
        return STATUS_SUCCESS;
    }
    LARGE_INTEGER t = *Interval;
    if (t.QuadPart == 0) return STATUS_SUCCESS;
    WaitCommon(nullptr, &t, "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    std::memset(Timer, 0, sizeof *Timer);
    Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    InitializeListHead(&Timer->Header.WaitListHead);
    InitializeListHead(&Timer->TimerListEntry);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    if (Self().irql > DISPATCH_LEVEL) Report("irql", "KeSetTimer above DISPATCH_LEVEL");
    PDRIVER_OBJECT owner = OwnerOfKernelObject(Timer);  // before the dispatcher lock: it takes the table lock
    std::lock_guard<std::mutex> g(S().lock);
    bool wasSet = RemoveTimerLocked(Timer);
    LONGLONG now = NowLocked();
    LONGLONG due = DueTime.QuadPart < 0 ? now - DueTime.QuadPart : DueTime.QuadPart;
    __atomic_store_n(&Timer->Header.SignalState, 0, __ATOMIC_SEQ_CST);
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    InsertTimerLocked(Timer, due);
    if (owner) S().owners[Timer] = owner;
    else S().owners.erase(Timer);
    if (S().mode == ClockMode::Real) S().dpcCv.notify_all();
    return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    std::lock_guard<std::mutex> g(S().lock);
    return RemoveTimerLocked(Timer);
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) { return __atomic_load_n(&Timer->Header.SignalState, __ATOMIC_SEQ_CST) != 0; }

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    std::memset(Dpc, 0, sizeof *Dpc);
    Dpc->Type = 0x13;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    bool queued;
    PDRIVER_OBJECT owner = OwnerOfKernelObject(Dpc);
    {
        std::lock_guard<std::mutex> g(S().lock);
        QueueDpcLocked(Dpc, SystemArgument1, SystemArgument2, &queued);
        if (queued) {
            if (owner) S().owners[Dpc] = owner;
            else S().owners.erase(Dpc);
        }
        if (S().mode == ClockMode::Real) S().dpcCv.notify_all();
    }
    DrainDpcsIfDue();
    return queued;
}

VOID KeEnterCriticalRegion() { tSelf.criticalRegions++; }

VOID KeLeaveCriticalRegion()
{
    if (tSelf.criticalRegions == 0) {
        Report("critical-region", "KeLeaveCriticalRegion without KeEnterCriticalRegion");
        return;
    }
    tSelf.criticalRegions--;
}

// Runs what is queued (a test's deferral does not hold a flush back), then waits for
// the DPC routines that other threads are running.
VOID KeFlushQueuedDpcs()
{
    if (tSelf.irql != PASSIVE_LEVEL) Report("irql", "KeFlushQueuedDpcs at IRQL " + std::to_string(tSelf.irql));
    std::unique_lock<std::mutex> lk(S().lock);
    RunAllDpcsLocked(lk, true);
    S().dpcDone.wait(lk, [] { return S().runningDpcs.empty(); });
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
{
    std::lock_guard<std::mutex> g(S().lock);
    if (!Dpc->DpcData) return FALSE;
    auto& q = S().dpcs;
    q.erase(std::remove(q.begin(), q.end(), Dpc), q.end());
    Dpc->DpcData = nullptr;
    return TRUE;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = hk::Now(); }

volatile KSYSTEM_TIME KeTickCount;

VOID KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    for (;;) {
        LONG high = __atomic_load_n(&KeTickCount.High1Time, __ATOMIC_ACQUIRE);
        ULONG low = __atomic_load_n(&KeTickCount.LowPart, __ATOMIC_ACQUIRE);
        if (high == __atomic_load_n(&KeTickCount.High2Time, __ATOMIC_ACQUIRE)) {
            TickCount->LowPart = low;
            TickCount->HighPart = high;
            return;
        }
    }
}

ULONGLONG KeQueryInterruptTime() { return (ULONGLONG)(hk::Now() - kEpoch); }

// A busy wait: the processor stays with the caller, but the clock goes on. On the
// virtual clock the stall moves time forward at once; timers due on the way expire
// and their DPCs run as soon as the caller's IRQL allows, as the clock interrupt
// would have them.
VOID KeStallExecutionProcessor(ULONG MicroSeconds)
{
    if (S().mode == ClockMode::Real) {
        LONGLONG until = RealNow() + (LONGLONG)MicroSeconds * 10;
        while (RealNow() < until) {
        }
        return;
    }
    {
        std::lock_guard<std::mutex> g(S().lock);
        S().now += (LONGLONG)MicroSeconds * 10;
        ExpireDueLocked();
    }
    DrainDpcsIfDue();
}
