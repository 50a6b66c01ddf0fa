// The Win32 library's own records: the objects behind handles, the handle table, the
// waits, and the requests it sends through the emulation's I/O front end. The
// kernel's headers come first, then windows.h (which leaves the kernel's WCHAR alone).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hostkernel/frontend.h"
#include "hostkernel/ntddser.h"
#include "vcomsim.h"

#include <windows.h>

namespace w32 {

struct Waiter;

// An object behind a handle. Every one can be waited on: an event while set, a thread
// once it has ended, a file while no request started on it is outstanding (the
// file object's own event).
struct Object {
    enum class Kind { File, Event, Thread };
    explicit Object(Kind k, bool manual = true) : kind(k), manualReset(manual) {}
    virtual ~Object() = default;
    const Kind kind;
    // Under DispatchLock().
    bool signalled = false;
    const bool manualReset;
    std::vector<Waiter*> waiters;
};

std::mutex& DispatchLock();
void Signal(Object& object);
void SignalLocked(Object& object);  // under DispatchLock()
void Unsignal(Object& object);
// WaitForMultipleObjects on objects: WAIT_OBJECT_0 + i, WAIT_TIMEOUT, or WAIT_FAILED
// (the emulation found the wait could never end).
DWORD WaitObjects(const std::vector<std::shared_ptr<Object>>& objects, bool all, DWORD milliseconds);

struct EventObject : Object {
    explicit EventObject(bool manual) : Object(Kind::Event, manual) {}
    std::u16string name;
};

struct ThreadObject : Object {
    ThreadObject() : Object(Kind::Thread) {}
    DWORD id = 0;
    std::atomic<DWORD> exitCode{STILL_ACTIVE};
    std::unique_ptr<hk::Thread> thread;
};

struct FileObject : Object {
    FileObject() : Object(Kind::File) { KeInitializeEvent(&serial, SynchronizationEvent, TRUE); }
    std::unique_ptr<hk::File> file;
    std::u16string name;
    bool overlapped = false;
    // Held while a request of a synchronous handle runs: the I/O manager runs them one
    // at a time per file object.
    KEVENT serial;
    // Overlapped requests started on this handle, for CancelIo and CancelIoEx.
    struct Started {
        std::shared_ptr<hk::Request> request;
        DWORD thread;
        LPOVERLAPPED overlapped;
    };
    std::mutex lock;
    std::vector<Started> started;  // under lock
};

// ---- Handles ---------------------------------------------------------------------------
HANDLE Insert(std::shared_ptr<Object> object);
std::shared_ptr<Object> Lookup(HANDLE handle);
std::shared_ptr<Object> LookupKind(HANDLE handle, Object::Kind kind);  // sets ERROR_INVALID_HANDLE when not one
std::shared_ptr<Object> Take(HANDLE handle);                            // removes it from the table
// Every handle still open, removed from the table (the simulation's shutdown).
std::vector<std::pair<HANDLE, std::shared_ptr<Object>>> TakeAll();
DWORD CurrentThreadId();

// ---- Errors ----------------------------------------------------------------------------
inline BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}
// A request's final status as the Win32 call's result: TRUE for success (informational
// statuses such as STATUS_TIMEOUT included), else FALSE with the mapped error.
inline BOOL Result(NTSTATUS status)
{
    if (NT_SUCCESS(status)) return TRUE;
    return Fail(vcomsim::Win32ErrorFromStatus(status));
}

// ---- Requests --------------------------------------------------------------------------
void Observe(HANDLE handle, UCHAR major, ULONG ioctl, const void* in, ULONG inLength, ULONG outLength);

// One I/O call: the request, its buffers, and how the caller sees the result.
struct Call {
    UCHAR major;  // IRP_MJ_READ, IRP_MJ_WRITE or IRP_MJ_DEVICE_CONTROL
    ULONG ioctl;
    const void* in;
    ULONG inLength;
    void* out;
    ULONG outLength;
};
// ReadFile, WriteFile and DeviceIoControl: synchronous on a synchronous handle or
// without an OVERLAPPED, else overlapped.
BOOL Issue(HANDLE handle, const Call& call, LPDWORD transferred, LPOVERLAPPED overlapped);
// A device control request the comm functions send and wait for, whatever the
// handle's mode. The status is the request's; `returned` gets its Information.
NTSTATUS Control(HANDLE handle, ULONG ioctl, const void* in, ULONG inLength, void* out, ULONG outLength,
                 ULONG_PTR* returned = nullptr);
// Control's result as the comm function's: TRUE, or FALSE with the last error set
// (ERROR_INVALID_HANDLE for a handle that is not a file).
BOOL ControlResult(HANDLE handle, ULONG ioctl, const void* in, ULONG inLength, void* out, ULONG outLength,
                   ULONG_PTR* returned = nullptr);

// ---- The simulation's shutdown ---------------------------------------------------------
// Closes what the application left open; returns a line for each.
std::vector<std::string> CloseLeftovers();
// Waits for the application's threads (at most a while each); returns a line for each
// thread that did not end.
std::vector<std::string> JoinThreads();

std::u16string Widen(LPCSTR text);
std::u16string Widen(LPCWSTR text);

}  // namespace w32
