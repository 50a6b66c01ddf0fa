// Files: CreateFile on the ports' DOS names, the three I/O calls in their synchronous
// and overlapped forms, GetOverlappedResult, CancelIo, FlushFileBuffers and
// CloseHandle, on the emulation's I/O front end (hk::File) as the I/O manager and
// kernel32 do them.
#include <algorithm>
#include <cstring>

#include "internal.h"

namespace w32 {

namespace {

std::mutex gObserverLock;
std::function<void(const vcomsim::SentRequest&)> gObserver;

// Internal and InternalHigh are written by the completing context and read by
// GetOverlappedResult on another thread.
void StoreResult(LPOVERLAPPED ov, NTSTATUS status, ULONG_PTR information)
{
    __atomic_store_n(&ov->InternalHigh, information, __ATOMIC_RELAXED);
    __atomic_store_n(&ov->Internal, (ULONG_PTR)(ULONG)status, __ATOMIC_RELEASE);
}

NTSTATUS LoadStatus(LPOVERLAPPED ov) { return (NTSTATUS)(ULONG)__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE); }

// The event an OVERLAPPED names. Its low bit only tells Windows to keep the completion
// off a completion port.
std::shared_ptr<Object> EventOf(LPOVERLAPPED ov, bool* invalid)
{
    *invalid = false;
    if (!ov->hEvent) return nullptr;
    auto event = Lookup((HANDLE)((uintptr_t)ov->hEvent & ~(uintptr_t)1));
    if (!event || event->kind != Object::Kind::Event) {
        *invalid = true;
        return nullptr;
    }
    return event;
}

std::shared_ptr<hk::Request> Start(FileObject& f, const Call& c)
{
    switch (c.major) {
    case IRP_MJ_READ: return f.file->StartRead(c.outLength);
    case IRP_MJ_WRITE:
        return f.file->StartWrite(std::vector<UCHAR>((const UCHAR*)c.in, (const UCHAR*)c.in + c.inLength));
    case IRP_MJ_FLUSH_BUFFERS: return f.file->StartFlush();
    default:
        return f.file->StartIoctl(c.ioctl, std::vector<UCHAR>((const UCHAR*)c.in, (const UCHAR*)c.in + c.inLength),
                                  c.outLength);
    }
}

void CopyOut(const hk::Request& r, void* out, ULONG outLength)
{
    size_t n = std::min<size_t>(r.Output().size(), outLength);
    if (n && out) std::memcpy(out, r.Output().data(), n);
}

// The I/O manager runs the requests of a synchronous file object one at a time.
struct Serialised {
    explicit Serialised(FileObject& f) : f_(f.overlapped ? nullptr : &f)
    {
        if (f_) KeWaitForSingleObject(&f_->serial, Executive, UserMode, FALSE, nullptr);
    }
    ~Serialised()
    {
        if (f_) KeSetEvent(&f_->serial, IO_NO_INCREMENT, FALSE);
    }
    FileObject* f_;
};

// Sends a request and waits for it. While it waits, CancelIoEx from another thread
// can cancel it, as on Windows.
std::shared_ptr<hk::Request> SendAndWait(HANDLE h, FileObject& f, const Call& c, LPOVERLAPPED ov = nullptr)
{
    Observe(h, c.major, c.ioctl, c.in, c.inLength, c.outLength);
    Serialised one(f);
    auto r = Start(f, c);
    {
        std::lock_guard<std::mutex> g(f.lock);
        f.started.push_back({r, CurrentThreadId(), ov});
    }
    r->Wait();
    std::lock_guard<std::mutex> g(f.lock);
    auto& v = f.started;
    v.erase(std::remove_if(v.begin(), v.end(), [&](const FileObject::Started& s) { return s.request == r; }), v.end());
    return r;
}

std::shared_ptr<FileObject> FileOf(HANDLE h)
{
    auto object = LookupKind(h, Object::Kind::File);
    return std::static_pointer_cast<FileObject>(object);
}

// A DOS device name as Windows resolves it: "COM5", "COM5:" and "\\.\COM5" all name
// \DosDevices\COM5. Empty for names that are not devices (paths).
std::u16string DeviceName(std::u16string name)
{
    if (name.rfind(u"\\\\.\\", 0) == 0 || name.rfind(u"\\\\?\\", 0) == 0) name = name.substr(4);
    if (name.empty() || name.find_first_of(u"\\/") != std::u16string::npos) return {};
    if (name.back() == u':') name.pop_back();
    if (name.empty() || name.find(u':') != std::u16string::npos) return {};
    return u"\\DosDevices\\" + name;
}

HANDLE Open(const std::u16string& path, DWORD flags)
{
    std::u16string name = DeviceName(path);
    if (name.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Observe(nullptr, IRP_MJ_CREATE, 0, nullptr, 0, 0);
    std::unique_ptr<hk::File> file;
    NTSTATUS status = hk::File::Open(name, &file);
    if (!NT_SUCCESS(status)) {
        SetLastError(vcomsim::Win32ErrorFromStatus(status));
        return INVALID_HANDLE_VALUE;
    }
    auto f = std::make_shared<FileObject>();
    f->file = std::move(file);
    f->name = path;
    f->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    HANDLE h = Insert(f);
    SetLastError(ERROR_SUCCESS);
    return h;
}

}  // namespace

void Observe(HANDLE handle, UCHAR major, ULONG ioctl, const void* in, ULONG inLength, ULONG outLength)
{
    std::function<void(const vcomsim::SentRequest&)> observer;
    {
        std::lock_guard<std::mutex> g(gObserverLock);
        observer = gObserver;
    }
    if (!observer) return;
    vcomsim::SentRequest r;
    r.handle = handle;
    r.major = major;
    r.ioctl = ioctl;
    if (in && inLength) r.input.assign((const UCHAR*)in, (const UCHAR*)in + inLength);
    r.outputLength = outLength;
    observer(r);
}

BOOL Issue(HANDLE h, const Call& c, LPDWORD transferred, LPOVERLAPPED ov)
{
    auto f = FileOf(h);
    if (!f) return FALSE;
    if (transferred) *transferred = 0;
    if ((c.inLength && !c.in) || (c.outLength && !c.out)) return Fail(ERROR_NOACCESS);

    if (!f->overlapped || !ov) {
        // Synchronous. Without an OVERLAPPED on an overlapped handle kernel32 waits
        // for the request as well.
        auto r = SendAndWait(h, *f, c, ov);
        CopyOut(*r, c.out, c.outLength);
        if (transferred && !NT_ERROR(r->Status())) *transferred = (DWORD)r->Information();
        if (ov) {
            StoreResult(ov, r->Status(), r->Information());
            bool invalid;
            if (auto event = EventOf(ov, &invalid)) Signal(*event);
        }
        return Result(r->Status());
    }

    bool invalid;
    auto event = EventOf(ov, &invalid);
    if (invalid) return Fail(ERROR_INVALID_HANDLE);
    {
        // As one step against a completion of the handle's earlier request, whose
        // signal must not land on this one.
        std::lock_guard<std::mutex> g(DispatchLock());
        StoreResult(ov, STATUS_PENDING, 0);
        if (event) event->signalled = false;
        f->signalled = false;
    }
    Observe(h, c.major, c.ioctl, c.in, c.inLength, c.outLength);
    auto r = Start(*f, c);
    {
        std::lock_guard<std::mutex> g(f->lock);
        auto& v = f->started;
        v.erase(std::remove_if(v.begin(), v.end(), [](const FileObject::Started& s) { return s.request->Done(); }),
                v.end());
        v.push_back({r, CurrentThreadId(), ov});
    }
    std::weak_ptr<FileObject> weak = f;
    void* out = c.out;
    ULONG outLength = c.outLength;
    r->OnComplete([ov, event, weak, out, outLength](const hk::Request& done) {
        // A request the driver failed at once (without marking it pending) leaves the
        // OVERLAPPED and the event alone: the caller has the status from the call.
        if (NT_ERROR(done.Status()) && done.DispatchStatus() != STATUS_PENDING) return;
        CopyOut(done, out, outLength);
        auto file = weak.lock();
        std::lock_guard<std::mutex> g(DispatchLock());
        StoreResult(ov, done.Status(), done.Information());
        if (event) SignalLocked(*event);
        if (file) SignalLocked(*file);
    });
    if (r->DispatchStatus() == STATUS_PENDING) return Fail(ERROR_IO_PENDING);
    // Completed in the dispatch routine: the callback has run.
    if (transferred && !NT_ERROR(r->Status())) *transferred = (DWORD)r->Information();
    return Result(r->Status());
}

NTSTATUS Control(HANDLE h, ULONG ioctl, const void* in, ULONG inLength, void* out, ULONG outLength, ULONG_PTR* returned)
{
    auto f = FileOf(h);
    if (!f) return STATUS_INVALID_HANDLE;
    auto r = SendAndWait(h, *f, {IRP_MJ_DEVICE_CONTROL, ioctl, in, inLength, out, outLength});
    CopyOut(*r, out, outLength);
    if (returned) *returned = r->Information();
    return r->Status();
}

BOOL ControlResult(HANDLE h, ULONG ioctl, const void* in, ULONG inLength, void* out, ULONG outLength, ULONG_PTR* returned)
{
    NTSTATUS status = Control(h, ioctl, in, inLength, out, outLength, returned);
    return Result(status);
}

std::vector<std::string> CloseLeftovers()
{
    std::vector<std::string> lines;
    for (auto& [h, object] : TakeAll()) {
        char value[32];
        std::snprintf(value, sizeof value, "%#lx", (unsigned long)(uintptr_t)h);
        switch (object->kind) {
        case Object::Kind::File: {
            auto& f = static_cast<FileObject&>(*object);
            lines.push_back(std::string("file handle ") + value + " (" + std::string(f.name.begin(), f.name.end()) +
                            ") left open");
            f.file->Close();
            break;
        }
        case Object::Kind::Event: lines.push_back(std::string("event handle ") + value + " left open"); break;
        case Object::Kind::Thread: lines.push_back(std::string("thread handle ") + value + " left open"); break;
        }
    }
    return lines;
}

}  // namespace w32

using namespace w32;

namespace vcomsim {
void ObserveRequests(std::function<void(const SentRequest&)> observer)
{
    std::lock_guard<std::mutex> g(gObserverLock);
    gObserver = std::move(observer);
}
}  // namespace vcomsim

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                     DWORD dwFlagsAndAttributes, HANDLE)
{
    if (!lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return Open(Widen(lpFileName), dwFlagsAndAttributes);
}

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                     DWORD dwFlagsAndAttributes, HANDLE)
{
    if (!lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return Open(Widen(lpFileName), dwFlagsAndAttributes);
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    auto object = Take(hObject);
    if (!object) return Fail(ERROR_INVALID_HANDLE);
    if (object->kind == Object::Kind::File) {
        // IRP_MJ_CLEANUP, waited for; the close follows once every request of the
        // handle has completed. Requests still running go on to complete.
        Observe(hObject, IRP_MJ_CLEANUP, 0, nullptr, 0, 0);
        static_cast<FileObject&>(*object).file->Close();
    }
    return TRUE;
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                                LPOVERLAPPED lpOverlapped)
{
    return Issue(hFile, {IRP_MJ_READ, 0, nullptr, 0, lpBuffer, nNumberOfBytesToRead}, lpNumberOfBytesRead, lpOverlapped);
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    return Issue(hFile, {IRP_MJ_WRITE, 0, lpBuffer, nNumberOfBytesToWrite, nullptr, 0}, lpNumberOfBytesWritten,
                 lpOverlapped);
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                       LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped)
{
    return Issue(hDevice, {IRP_MJ_DEVICE_CONTROL, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize},
                 lpBytesReturned, lpOverlapped);
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    auto f = FileOf(hFile);
    if (!f) return FALSE;
    return Result(SendAndWait(hFile, *f, {IRP_MJ_FLUSH_BUFFERS, 0, nullptr, 0, nullptr, 0})->Status());
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                           BOOL bWait)
{
    auto f = FileOf(hFile);
    if (!f) return FALSE;
    if (!lpOverlapped) return Fail(ERROR_INVALID_PARAMETER);
    for (;;) {
        // The OVERLAPPED's event, or without one the file object's own.
        bool invalid;
        std::shared_ptr<Object> event = EventOf(lpOverlapped, &invalid);
        if (invalid) return Fail(ERROR_INVALID_HANDLE);
        {
            std::lock_guard<std::mutex> g(DispatchLock());
            if (LoadStatus(lpOverlapped) != STATUS_PENDING) break;
            // The file object may still be signalled by another of its requests: only
            // a completion from now on wakes this wait.
            if (bWait && !event) f->signalled = false;
        }
        if (!bWait) return Fail(ERROR_IO_INCOMPLETE);
        if (WaitObjects({event ? event : std::static_pointer_cast<Object>(f)}, false, INFINITE) == WAIT_FAILED)
            return FALSE;
    }
    if (lpNumberOfBytesTransferred)
        *lpNumberOfBytesTransferred = (DWORD)__atomic_load_n(&lpOverlapped->InternalHigh, __ATOMIC_RELAXED);
    return Result(LoadStatus(lpOverlapped));
}

namespace {
// Cancels the overlapped requests of a handle that `which` picks; how many were still
// outstanding.
template <class Pick>
int CancelStarted(FileObject& f, Pick which)
{
    std::vector<std::shared_ptr<hk::Request>> picked;
    {
        std::lock_guard<std::mutex> g(f.lock);
        for (auto& s : f.started)
            if (!s.request->Done() && which(s)) picked.push_back(s.request);
    }
    for (auto& r : picked) r->Cancel();
    return (int)picked.size();
}
}  // namespace

extern "C" BOOL WINAPI CancelIo(HANDLE hFile)
{
    auto f = FileOf(hFile);
    if (!f) return FALSE;
    // Only the calling thread's requests on this handle.
    DWORD me = CurrentThreadId();
    CancelStarted(*f, [me](const FileObject::Started& s) { return s.thread == me; });
    return TRUE;
}

extern "C" BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    auto f = FileOf(hFile);
    if (!f) return FALSE;
    int n = CancelStarted(*f, [lpOverlapped](const FileObject::Started& s) {
        return !lpOverlapped || s.overlapped == lpOverlapped;
    });
    return n ? TRUE : Fail(ERROR_NOT_FOUND);
}
