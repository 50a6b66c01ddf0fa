// The I/O manager on behalf of applications: handles and file objects, synchronous
// and overlapped requests with their buffers, CancelIo, CloseHandle.
#include <algorithm>
#include "hostkernel/frontend.h"
#include "internal.h"

namespace hk {
using namespace detail;

// ---- Applications -------------------------------------------------------------------------

// The file object behind a handle. Every outstanding request holds it, so that it
// lives until the last one completes, whatever the application did with the handle.
struct FileObject : std::enable_shared_from_this<FileObject> {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT opened = nullptr;  // the device the name resolved to
    PDEVICE_OBJECT target = nullptr;  // top of its stack, where requests go
    mutable std::recursive_mutex lock;
    std::vector<std::shared_ptr<Request>> outstanding;
    bool handleClosed = false;  // IRP_MJ_CLEANUP sent
    bool closeSent = false;
    bool cancelNext = false;
    KEVENT closed;
    NTSTATUS closeStatus = STATUS_PENDING;

    FileObject() { KeInitializeEvent(&closed, NotificationEvent, FALSE); }
    ~FileObject() { std::free(file); }

    std::shared_ptr<Request> Submit(UCHAR major, ULONG length, const void* in, ULONG inLength, ULONG outLength,
                                    const std::function<void(PIO_STACK_LOCATION)>& setup);
    void Finished(Request* request, PIRP irp);
    void SendClose();
    // The kernel is reset and these requests will never complete: forget them, which
    // also breaks the cycle between them and this object. Under `lock`.
    void DropOutstanding()
    {
        for (auto& r : outstanding) {
            r->irp_ = nullptr;
            std::free(r->systemBuffer_);
            r->systemBuffer_ = nullptr;
        }
        outstanding.clear();
    }
};

namespace {
// File objects whose handle is closed and whose close has not been sent yet.
std::mutex gFileObjectsLock;
std::vector<std::weak_ptr<FileObject>> gFileObjects;

void ForgetFileObject(const FileObject* object)
{
    std::lock_guard<std::mutex> g(gFileObjectsLock);
    auto& v = gFileObjects;
    v.erase(std::remove_if(v.begin(), v.end(),
                           [&](const std::weak_ptr<FileObject>& w) {
                               auto p = w.lock();
                               return !p || p.get() == object;
                           }),
            v.end());
}

bool InStack(PDEVICE_OBJECT device, PDEVICE_OBJECT pdo)
{
    for (PDEVICE_OBJECT d = pdo; d; d = d->AttachedDevice)
        if (d == device) return true;
    return false;
}

}  // namespace

namespace detail {
void CheckRequestsLeftAfterCleanup(PDEVICE_OBJECT pdo, const char* when, bool forget)
{
    std::vector<std::shared_ptr<FileObject>> objects;
    {
        std::lock_guard<std::mutex> g(gFileObjectsLock);
        for (auto& w : gFileObjects)
            if (auto p = w.lock()) objects.push_back(p);
        if (forget) gFileObjects.clear();
    }
    for (auto& f : objects) {
        std::lock_guard<std::recursive_mutex> g(f->lock);
        if (f->outstanding.empty() || (pdo && !InStack(f->target, pdo))) continue;
        Report("requests-left-after-cleanup", std::to_string(f->outstanding.size()) + " request(s) of a closed handle to " +
                                                  Hex((ULONG_PTR)f->target) + " still outstanding " + when);
        if (forget) f->DropOutstanding();
    }
}

void ResetFileObjects() { CheckRequestsLeftAfterCleanup(nullptr, "when the test ended", true); }
}  // namespace detail

Request::Request() { KeInitializeEvent(&done_, NotificationEvent, FALSE); }

Request::~Request() = default;

bool Request::Done() const { return KeReadStateEvent(const_cast<KEVENT*>(&done_)) != 0; }

NTSTATUS Request::Wait()
{
    if (!Done()) KeWaitForSingleObject(&done_, Executive, UserMode, FALSE, nullptr);
    return status_;
}

void Request::OnComplete(std::function<void(const Request&)> callback)
{
    {
        std::lock_guard<std::recursive_mutex> g(file_->lock);
        if (!finished_) {
            onComplete_ = std::move(callback);
            return;
        }
    }
    callback(*this);
}

bool Request::Cancel()
{
    std::shared_ptr<FileObject> f = file_;
    if (!f) return false;
    // The completion clears irp_ under the same lock before the IRP is freed, so a
    // cancel never reaches a freed request.
    std::lock_guard<std::recursive_mutex> g(f->lock);
    return irp_ ? IoCancelIrp(irp_) != FALSE : false;
}

NTSTATUS File::Open(const std::u16string& name, std::unique_ptr<File>* out)
{
    CurrentRec();
    PDEVICE_OBJECT opened = ResolveName(name);
    if (!opened) return STATUS_OBJECT_NAME_NOT_FOUND;
    PDEVICE_OBJECT target = IoGetAttachedDeviceReference(opened);
    bool found;
    DeviceRec rec = Snapshot(target, &found);
    if (!found) return STATUS_NO_SUCH_DEVICE;
    if (target->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
    // An exclusive device takes one file object at a time; the I/O manager refuses the
    // second open before the driver hears of it. The first one counts until its close.
    if ((target->Flags & DO_EXCLUSIVE) && rec.openHandles > 0) return STATUS_ACCESS_DENIED;

    std::unique_ptr<File> f(new File);
    f->object_ = std::make_shared<FileObject>();
    FileObject& o = *f->object_;
    o.file = (PFILE_OBJECT)std::calloc(1, sizeof(FILE_OBJECT));
    o.file->Type = 5;
    o.file->Size = sizeof(FILE_OBJECT);
    o.file->DeviceObject = opened;
    o.opened = opened;
    o.target = target;
    AdjustOpenHandles(target, +1);
    auto r = f->Start(IRP_MJ_CREATE, [](PIO_STACK_LOCATION s) { s->Parameters.Create.ShareAccess = 0; });
    NTSTATUS status = r->Wait();
    if (!NT_SUCCESS(status)) {
        // A failed create: the file object goes without cleanup or close.
        AdjustOpenHandles(target, -1);
        f->handleClosed_ = true;
        o.handleClosed = o.closeSent = true;
        return status;
    }
    *out = std::move(f);
    return status;
}

File::~File()
{
    if (!handleClosed_) Close();
}

PFILE_OBJECT File::Object() const { return object_->file; }
PDEVICE_OBJECT File::Target() const { return object_->target; }

std::shared_ptr<Request> File::Submit(UCHAR major, ULONG length, const void* in, ULONG inLength, ULONG outLength,
                                      const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    return object_->Submit(major, length, in, inLength, outLength, setup);
}

std::shared_ptr<Request> FileObject::Submit(UCHAR major, ULONG length, const void* in, ULONG inLength, ULONG outLength,
                                            const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    CurrentRec();
    std::shared_ptr<Request> req(new Request);
    req->file_ = shared_from_this();
    Request* raw = req.get();
    FileObject* self = this;
    PIRP irp = AllocateHostIrp(target->StackSize, [self, raw](PIRP irp) {
        raw->status_ = irp->IoStatus.Status;
        raw->information_ = irp->IoStatus.Information;
        raw->boost_ = CompletionBoost(irp);
        if (!NT_ERROR(raw->status_) && raw->information_ && raw->outputLength_) {
            ULONG_PTR n = raw->information_;
            if (n > raw->outputLength_) {
                Report("buffer-overrun", "request completed with Information " + std::to_string(n) + " for a buffer of " +
                                             std::to_string(raw->outputLength_) + " bytes");
                n = raw->outputLength_;
            }
            const UCHAR* src = raw->copyBack_ ? (const UCHAR*)raw->systemBuffer_ : raw->userBuffer_.data();
            raw->output_.assign(src, src + n);
        }
        if (raw->systemBuffer_) std::free(raw->systemBuffer_);
        raw->systemBuffer_ = nullptr;
        self->Finished(raw, irp);
    });
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = (PVOID)CurrentRec();
    irp->IoStatus.Status = STATUS_SUCCESS;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    req->irp_ = irp;

    bool buffered = target->Flags & DO_BUFFERED_IO;
    bool direct = target->Flags & DO_DIRECT_IO;
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        stack->Parameters.Read.Length = length;
        req->userBuffer_.assign(length, 0);
        if (major == IRP_MJ_WRITE && in) std::memcpy(req->userBuffer_.data(), in, length);
        if (major == IRP_MJ_READ) req->outputLength_ = length;
        if (buffered) {
            // As the I/O manager does, a zero-length transfer gets no system buffer.
            if (length) {
                req->systemBuffer_ = std::malloc(length);
                std::memset(req->systemBuffer_, 0xC5, length);
                if (major == IRP_MJ_WRITE) std::memcpy(req->systemBuffer_, in, length);
            }
            irp->AssociatedIrp.SystemBuffer = req->systemBuffer_;
            irp->Flags = IRP_BUFFERED_IO | (major == IRP_MJ_READ ? IRP_INPUT_OPERATION : 0);
            req->copyBack_ = major == IRP_MJ_READ;
        } else if (direct && length) {
            PMDL mdl = IoAllocateMdl(req->userBuffer_.data(), length, FALSE, FALSE, irp);
            MmProbeAndLockPages(mdl, UserMode, major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
        } else {
            irp->UserBuffer = req->userBuffer_.data();
        }
    } else if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode = length;
        stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        req->outputLength_ = outLength;
        switch (METHOD_FROM_CTL_CODE(code)) {
        case METHOD_BUFFERED: {
            ULONG n = std::max(inLength, outLength);
            req->systemBuffer_ = std::malloc(n ? n : 1);
            std::memset(req->systemBuffer_, 0xC5, n);
            if (inLength) std::memcpy(req->systemBuffer_, in, inLength);
            irp->AssociatedIrp.SystemBuffer = n ? req->systemBuffer_ : nullptr;
            irp->Flags = IRP_BUFFERED_IO | IRP_INPUT_OPERATION;
            req->copyBack_ = true;
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (inLength) {
                req->systemBuffer_ = std::malloc(inLength);
                std::memcpy(req->systemBuffer_, in, inLength);
                irp->AssociatedIrp.SystemBuffer = req->systemBuffer_;
            }
            req->userBuffer_.assign(outLength, 0);
            if (outLength) {
                PMDL mdl = IoAllocateMdl(req->userBuffer_.data(), outLength, FALSE, FALSE, irp);
                MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
            }
            break;
        default:
            req->userBuffer_.assign(outLength, 0);
            stack->Parameters.DeviceIoControl.Type3InputBuffer = (PVOID)in;
            irp->UserBuffer = req->userBuffer_.data();
            break;
        }
    }
    if (setup) setup(stack);
    {
        // The list keeps the request alive until it completes, whatever the caller does.
        std::lock_guard<std::recursive_mutex> g(lock);
        outstanding.push_back(req);
        if (cancelNext && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE) {
            irp->Cancel = TRUE;
            cancelNext = false;
        }
    }
    req->dispatchStatus_ = IofCallDriver(target, irp);
    return req;
}

// Where the I/O manager finishes a request of this file object: in the context that
// completed it, possibly at DISPATCH_LEVEL.
void FileObject::Finished(Request* request, PIRP irp)
{
    std::shared_ptr<Request> keep;
    std::function<void(const Request&)> callback;
    bool closeNow = false;
    {
        std::lock_guard<std::recursive_mutex> g(lock);
        request->finished_ = true;
        callback = std::move(request->onComplete_);
        request->irp_ = nullptr;
        FreeHostIrp(irp);
        for (auto it = outstanding.begin(); it != outstanding.end(); ++it)
            if (it->get() == request) {
                keep = *it;
                outstanding.erase(it);
                break;
            }
        if (handleClosed && !closeSent && outstanding.empty()) closeNow = closeSent = true;
    }
    if (closeNow) {
        // The last reference went here; the object manager deletes the file object at
        // PASSIVE_LEVEL from a system thread, which sends the close.
        auto me = shared_from_this();
        StartSystemThread("object manager", [me] { me->SendClose(); });
    }
    if (callback) callback(*request);
    KeSetEvent(&request->done_, IO_NO_INCREMENT, FALSE);
}

void FileObject::SendClose()
{
    auto r = Submit(IRP_MJ_CLOSE, 0, nullptr, 0, 0, {});
    NTSTATUS status = r->Wait();
    AdjustOpenHandles(target, -1);
    ForgetFileObject(this);
    closeStatus = status;
    KeSetEvent(&closed, IO_NO_INCREMENT, FALSE);
}

void File::SubmitNextCancelled()
{
    std::lock_guard<std::recursive_mutex> g(object_->lock);
    object_->cancelNext = true;
}

std::shared_ptr<Request> File::Start(UCHAR major, const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    return Submit(major, 0, nullptr, 0, 0, setup);
}

std::shared_ptr<Request> File::StartRead(ULONG length) { return Submit(IRP_MJ_READ, length, nullptr, 0, 0, {}); }

std::shared_ptr<Request> File::StartWrite(const std::vector<UCHAR>& bytes)
{
    return Submit(IRP_MJ_WRITE, (ULONG)bytes.size(), bytes.data(), 0, 0, {});
}

std::shared_ptr<Request> File::StartIoctl(ULONG code, const std::vector<UCHAR>& in, ULONG outLength)
{
    return Submit(IRP_MJ_DEVICE_CONTROL, code, in.data(), (ULONG)in.size(), outLength, {});
}

std::shared_ptr<Request> File::StartFlush() { return Submit(IRP_MJ_FLUSH_BUFFERS, 0, nullptr, 0, 0, {}); }

NTSTATUS File::Read(void* buffer, ULONG length, ULONG* transferred)
{
    auto r = StartRead(length);
    NTSTATUS status = r->Wait();
    if (!r->Output().empty()) std::memcpy(buffer, r->Output().data(), r->Output().size());
    if (transferred) *transferred = (ULONG)r->Information();
    return status;
}

NTSTATUS File::Write(const void* buffer, ULONG length, ULONG* transferred)
{
    auto r = StartWrite(std::vector<UCHAR>((const UCHAR*)buffer, (const UCHAR*)buffer + length));
    NTSTATUS status = r->Wait();
    if (transferred) *transferred = (ULONG)r->Information();
    return status;
}

NTSTATUS File::Ioctl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength, ULONG* returned)
{
    auto r = StartIoctl(code, std::vector<UCHAR>((const UCHAR*)in, (const UCHAR*)in + inLength), outLength);
    NTSTATUS status = r->Wait();
    if (out && !r->Output().empty()) std::memcpy(out, r->Output().data(), r->Output().size());
    if (returned) *returned = (ULONG)r->Information();
    return status;
}

NTSTATUS File::Flush() { return StartFlush()->Wait(); }

void File::CancelIo()
{
    std::lock_guard<std::recursive_mutex> g(object_->lock);
    std::vector<std::shared_ptr<Request>> copy = object_->outstanding;
    for (auto& r : copy)
        if (r->irp_) IoCancelIrp(r->irp_);  // cleared under this lock when it completes
}

size_t File::Outstanding() const
{
    std::lock_guard<std::recursive_mutex> g(object_->lock);
    return object_->outstanding.size();
}

NTSTATUS File::Close()
{
    if (handleClosed_) return object_->closeSent ? object_->closeStatus : STATUS_PENDING;
    handleClosed_ = true;
    Start(IRP_MJ_CLEANUP, {})->Wait();
    bool closeNow;
    {
        std::lock_guard<std::recursive_mutex> g(object_->lock);
        object_->handleClosed = true;
        closeNow = object_->outstanding.empty();
        if (closeNow) object_->closeSent = true;
    }
    if (closeNow) {
        // The handle held the last reference: the close is sent from CloseHandle itself.
        object_->SendClose();
        return object_->closeStatus;
    }
    {
        std::lock_guard<std::mutex> g(gFileObjectsLock);
        gFileObjects.push_back(object_);
    }
    return STATUS_PENDING;
}

bool File::Closed() const { return KeReadStateEvent(&object_->closed) != 0; }

NTSTATUS File::WaitClosed()
{
    if (!Closed()) KeWaitForSingleObject(&object_->closed, Executive, UserMode, FALSE, nullptr);
    return object_->closeStatus;
}

}  // namespace hk
