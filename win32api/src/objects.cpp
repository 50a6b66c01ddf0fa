// Handles, the last error, events, threads and waits. Waits go through the emulation's
// own wait (each waiter blocks on a kernel event of its own that the objects it waits
// for set), so that they behave alike on the real clock and on the virtual one, where
// time moves while every thread waits.
#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <unordered_map>

#include "internal.h"

namespace w32 {

namespace {

std::mutex gTableLock;
std::unordered_map<uintptr_t, std::shared_ptr<Object>> gTable;
// Handle values are never reused, so that a stale handle is refused rather than
// reaching an object opened since.
uintptr_t gNextHandle = 0x100;

thread_local DWORD tLastError = 0;
thread_local DWORD tThreadId = 0;
std::atomic<DWORD> gNextThreadId{0x1000};

// Named events, by name (weak: the event goes with its last handle).
std::mutex gNamesLock;
std::map<std::u16string, std::weak_ptr<EventObject>> gNamedEvents;

// The application's threads until they have ended and been joined.
std::mutex gThreadsLock;
std::vector<std::shared_ptr<ThreadObject>> gThreads;

}  // namespace

struct Waiter {
    KEVENT wake;
};

// ---- Handles ---------------------------------------------------------------------------

HANDLE Insert(std::shared_ptr<Object> object)
{
    std::lock_guard<std::mutex> g(gTableLock);
    uintptr_t value = gNextHandle;
    gNextHandle += 4;
    gTable.emplace(value, std::move(object));
    return (HANDLE)value;
}

std::shared_ptr<Object> Lookup(HANDLE handle)
{
    std::lock_guard<std::mutex> g(gTableLock);
    auto it = gTable.find((uintptr_t)handle);
    return it == gTable.end() ? nullptr : it->second;
}

std::shared_ptr<Object> LookupKind(HANDLE handle, Object::Kind kind)
{
    auto object = Lookup(handle);
    if (!object || object->kind != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

std::shared_ptr<Object> Take(HANDLE handle)
{
    std::lock_guard<std::mutex> g(gTableLock);
    auto it = gTable.find((uintptr_t)handle);
    if (it == gTable.end()) return nullptr;
    auto object = std::move(it->second);
    gTable.erase(it);
    return object;
}

std::vector<std::pair<HANDLE, std::shared_ptr<Object>>> TakeAll()
{
    std::lock_guard<std::mutex> g(gTableLock);
    std::vector<std::pair<HANDLE, std::shared_ptr<Object>>> all;
    for (auto& [value, object] : gTable) all.emplace_back((HANDLE)value, std::move(object));
    gTable.clear();
    std::sort(all.begin(), all.end(), [](auto& a, auto& b) { return (uintptr_t)a.first < (uintptr_t)b.first; });
    return all;
}

DWORD CurrentThreadId()
{
    if (!tThreadId) tThreadId = gNextThreadId.fetch_add(4);
    return tThreadId;
}

std::u16string Widen(LPCSTR text)
{
    std::u16string out;
    for (; text && *text; ++text) out += (char16_t)(unsigned char)*text;
    return out;
}

std::u16string Widen(LPCWSTR text)
{
    std::u16string out;
    for (; text && *text; ++text) {
        auto c = (uint32_t)*text;
        if (c < 0x10000) {
            out += (char16_t)c;
        } else {
            c -= 0x10000;
            out += (char16_t)(0xD800 + (c >> 10));
            out += (char16_t)(0xDC00 + (c & 0x3FF));
        }
    }
    return out;
}

// ---- Waits -----------------------------------------------------------------------------

std::mutex& DispatchLock()
{
    static std::mutex* lock = new std::mutex;  // completions may run while statics go
    return *lock;
}

void SignalLocked(Object& object)
{
    object.signalled = true;
    for (Waiter* w : object.waiters) KeSetEvent(&w->wake, IO_NO_INCREMENT, FALSE);
}

void Signal(Object& object)
{
    std::lock_guard<std::mutex> g(DispatchLock());
    SignalLocked(object);
}

void Unsignal(Object& object)
{
    std::lock_guard<std::mutex> g(DispatchLock());
    object.signalled = false;
}

namespace {
// Under DispatchLock: the index satisfied (all: 0) with its signal taken as a
// satisfied wait takes it, or -1.
int Satisfy(const std::vector<std::shared_ptr<Object>>& objects, bool all)
{
    auto take = [](Object& o) {
        if (!o.manualReset) o.signalled = false;
    };
    if (all) {
        for (auto& o : objects)
            if (!o->signalled) return -1;
        for (auto& o : objects) take(*o);
        return 0;
    }
    for (size_t i = 0; i < objects.size(); ++i)
        if (objects[i]->signalled) {
            take(*objects[i]);
            return (int)i;
        }
    return -1;
}

void Unregister(const std::vector<std::shared_ptr<Object>>& objects, Waiter* w)
{
    for (auto& o : objects) {
        auto& v = o->waiters;
        v.erase(std::remove(v.begin(), v.end(), w), v.end());
    }
}
}  // namespace

DWORD WaitObjects(const std::vector<std::shared_ptr<Object>>& objects, bool all, DWORD milliseconds)
{
    LONGLONG deadline = milliseconds == INFINITE ? -1 : hk::Now() + (LONGLONG)milliseconds * 10000;
    Waiter w;
    KeInitializeEvent(&w.wake, SynchronizationEvent, FALSE);
    bool registered = false;
    for (;;) {
        LONGLONG now = deadline < 0 ? 0 : hk::Now();
        {
            std::lock_guard<std::mutex> g(DispatchLock());
            int index = Satisfy(objects, all);
            if (index >= 0 || (deadline >= 0 && now >= deadline)) {
                if (registered) Unregister(objects, &w);
                return index >= 0 ? WAIT_OBJECT_0 + (DWORD)index : WAIT_TIMEOUT;
            }
            if (!registered) {
                for (auto& o : objects) o->waiters.push_back(&w);
                registered = true;
            }
        }
        LARGE_INTEGER until;
        until.QuadPart = deadline;
        NTSTATUS status = KeWaitForSingleObject(&w.wake, Executive, UserMode, FALSE, deadline < 0 ? nullptr : &until);
        if (status == STATUS_TIMEOUT && deadline < 0) {
            // Only the emulation's hang detection ends an endless wait with a timeout
            // (virtual clock: nothing could ever set these objects).
            std::lock_guard<std::mutex> g(DispatchLock());
            Unregister(objects, &w);
            SetLastError(ERROR_POSSIBLE_DEADLOCK);
            return WAIT_FAILED;
        }
    }
}

// ---- The simulation's shutdown ---------------------------------------------------------

std::vector<std::string> JoinThreads()
{
    std::vector<std::shared_ptr<ThreadObject>> threads;
    {
        std::lock_guard<std::mutex> g(gThreadsLock);
        threads.swap(gThreads);
    }
    std::vector<std::string> stuck;
    for (auto& t : threads) {
        if (hk::Mode() == hk::ClockMode::Virtual) {
            hk::RunUntil([&] { return t->thread->Finished(); }, 60LL * 10000000);
        } else {
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!t->thread->Finished() && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (t->thread->Finished()) {
            t->thread->Join();
            continue;
        }
        // It cannot be stopped, nor joined without waiting for ever: it is left to run,
        // and keeps the object its body writes its exit code to.
        (void)t->thread.release();
        (void)new std::shared_ptr<ThreadObject>(t);
        stuck.push_back("thread " + std::to_string(t->id) + " still running");
    }
    return stuck;
}

}  // namespace w32

using namespace w32;

// ---- The last error --------------------------------------------------------------------

extern "C" DWORD WINAPI GetLastError(void) { return tLastError; }

extern "C" void WINAPI SetLastError(DWORD dwErrCode) { tLastError = dwErrCode; }

// ---- Events ----------------------------------------------------------------------------

namespace {
HANDLE CreateEventCommon(BOOL manual, BOOL initial, const std::u16string& name, bool named)
{
    std::shared_ptr<EventObject> event;
    bool existed = false;
    if (named) {
        std::lock_guard<std::mutex> g(gNamesLock);
        auto& slot = gNamedEvents[name];
        event = slot.lock();
        existed = event != nullptr;
        if (!event) {
            event = std::make_shared<EventObject>(manual != FALSE);
            event->name = name;
            slot = event;
        }
    } else {
        event = std::make_shared<EventObject>(manual != FALSE);
    }
    if (!existed && initial) Signal(*event);
    HANDLE h = Insert(event);
    // The last error says whether the name was taken, success or not.
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}
}  // namespace

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName)
{
    return CreateEventCommon(bManualReset, bInitialState, Widen(lpName), lpName != nullptr);
}

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    return CreateEventCommon(bManualReset, bInitialState, Widen(lpName), lpName != nullptr);
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent)
{
    auto event = LookupKind(hEvent, Object::Kind::Event);
    if (!event) return FALSE;
    Signal(*event);
    return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    auto event = LookupKind(hEvent, Object::Kind::Event);
    if (!event) return FALSE;
    Unsignal(*event);
    return TRUE;
}

// ---- Waits -----------------------------------------------------------------------------

extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Object>> objects;
    for (DWORD i = 0; i < nCount; ++i) {
        auto object = Lookup(lpHandles[i]);
        if (!object) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        // A wait for all of them cannot name one object twice.
        if (bWaitAll && std::find(objects.begin(), objects.end(), object) != objects.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        objects.push_back(std::move(object));
    }
    return WaitObjects(objects, bWaitAll != FALSE, dwMilliseconds);
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

extern "C" void WINAPI Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        hk::YieldToOthers();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        Waiter w;
        KeInitializeEvent(&w.wake, SynchronizationEvent, FALSE);
        for (;;) KeWaitForSingleObject(&w.wake, Executive, UserMode, FALSE, nullptr);
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)dwMilliseconds * 10000;
    KeDelayExecutionThread(UserMode, FALSE, &interval);
}

extern "C" ULONGLONG WINAPI GetTickCount64(void) { return KeQueryInterruptTime() / 10000; }

extern "C" DWORD WINAPI GetTickCount(void) { return (DWORD)GetTickCount64(); }

// ---- Threads ---------------------------------------------------------------------------

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                                      LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    if (!lpStartAddress || (dwCreationFlags & CREATE_SUSPENDED)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto t = std::make_shared<ThreadObject>();
    t->id = gNextThreadId.fetch_add(4);
    {
        // Threads that have ended are joined here, so that they do not pile up.
        std::lock_guard<std::mutex> g(gThreadsLock);
        for (auto it = gThreads.begin(); it != gThreads.end();) {
            if ((*it)->thread && (*it)->thread->Finished()) {
                (*it)->thread->Join();
                it = gThreads.erase(it);
            } else {
                ++it;
            }
        }
        gThreads.push_back(t);
    }
    ThreadObject* raw = t.get();  // gThreads keeps it until it is joined
    HANDLE h = Insert(t);
    if (lpThreadId) *lpThreadId = t->id;
    auto thread = std::make_unique<hk::Thread>(
        [raw, lpStartAddress, lpParameter] {
            tThreadId = raw->id;
            DWORD code = lpStartAddress(lpParameter);
            raw->exitCode = code;
            Signal(*raw);
        },
        "win32 thread " + std::to_string(t->id));
    std::lock_guard<std::mutex> g(gThreadsLock);
    t->thread = std::move(thread);
    return h;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    auto object = LookupKind(hThread, Object::Kind::Thread);
    if (!object) return FALSE;
    if (!lpExitCode) return Fail(ERROR_INVALID_PARAMETER);
    *lpExitCode = static_cast<ThreadObject&>(*object).exitCode;
    return TRUE;
}

extern "C" DWORD WINAPI GetCurrentThreadId(void) { return CurrentThreadId(); }
