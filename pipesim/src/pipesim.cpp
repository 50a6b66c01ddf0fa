// The simulated pipe driver: request handling at the bottom of the port's stack.
//
// Requests are completed outside the simulator's lock. Requests it holds (reads
// waiting for data, stalled requests) carry a cancel routine and are released
// cancel-safely; requests it pends on purpose are completed by a timer DPC at
// DISPATCH_LEVEL.
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "adapter.h"
#include "pipesim/pipesim.h"

namespace pipesim {
namespace {

const char16_t* const kPipeNames[3] = {u"\\PIPE00", u"\\PIPE01", u"\\PIPE02"};

struct PipeRec {
    Pipe id;
    bool exists = true;
    bool open = false;
    bool halted = false;  // aborted: refuses requests until reset
    ULONG maxPacket = 64;
};

struct Chunk {
    std::vector<UCHAR> bytes;
    bool endsTransfer;  // a short packet, or a whole unpacketized transfer
};

struct Held {
    PIRP irp;
    Pipe pipe;
    Kind kind;
    bool stalled;  // held by a fault, not waiting for data
};

struct Scheduled {
    LONGLONG due;
    unsigned long long seq;
    PIRP irp;
    Pipe pipe;
    NTSTATUS status;
    ULONG_PTR information;
    std::function<void()> effect;  // runs just before the completion
};

struct Mode {
    bool later = false;
    LONGLONG delay = 0;
};

}  // namespace

struct PipeSim::Impl {
    Options options;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    mutable std::mutex lock;
    PipeRec pipes[4];
    Mode modes[8];
    std::map<std::pair<Pipe, Kind>, Fault> faults;
    std::deque<Chunk> in;
    std::vector<std::vector<UCHAR>> out;
    UCHAR freeLines = 0;
    bool loopback = false;
    bool pacing = false;
    LONGLONG wireFreeAt = 0;
    AdapterState adapter;
    std::vector<ControlRecord> controls;
    std::vector<std::vector<UCHAR>> commands;
    std::vector<UCHAR> controlInData;
    std::vector<Arrival> arrivals;
    std::vector<Held> held;
    std::vector<Scheduled> scheduled;
    unsigned long long seq = 0;
    KTIMER timer;
    KDPC timerDpc;
    KDPC deliverDpc;

    static Impl* Of(PDEVICE_OBJECT device) { return *(Impl**)device->DeviceExtension; }

    PipeRec* PipeOf(PFILE_OBJECT file)
    {
        if (!file || !file->FsContext) return nullptr;
        for (auto& p : pipes)
            if (file->FsContext == &p) return &p;
        return nullptr;
    }

    Fault TakeFault(Pipe pipe, Kind kind)
    {
        std::lock_guard<std::mutex> g(lock);
        auto it = faults.find({pipe, kind});
        if (it == faults.end()) return {};
        Fault f = it->second;
        if (it->second.times > 0 && --it->second.times == 0) faults.erase(it);
        return f;
    }

    // Under `lock`: arms the timer for the earliest scheduled completion.
    void ArmLocked()
    {
        if (scheduled.empty()) return;
        LONGLONG due = scheduled.front().due;
        for (auto& s : scheduled) due = std::min(due, s.due);
        LARGE_INTEGER t;
        t.QuadPart = -std::max<LONGLONG>(0, due - hk::Now());
        KeSetTimer(&timer, t, &timerDpc);
    }

    static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
    {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    // Completes now, or pends and completes from the timer DPC, as the kind's mode and
    // the extra delay say.
    NTSTATUS Finish(PIRP irp, Pipe pipe, Kind kind, NTSTATUS status, ULONG_PTR information,
                    std::function<void()> effect = {}, LONGLONG extraDelay = 0)
    {
        Mode mode;
        {
            std::lock_guard<std::mutex> g(lock);
            mode = modes[(int)kind];
        }
        if (!mode.later && extraDelay <= 0) {
            if (effect) effect();
            return Complete(irp, status, information);
        }
        IoMarkIrpPending(irp);
        std::lock_guard<std::mutex> g(lock);
        scheduled.push_back({hk::Now() + (mode.later ? mode.delay : 0) + std::max<LONGLONG>(0, extraDelay), seq++, irp, pipe,
                             status, information, std::move(effect)});
        ArmLocked();
        return STATUS_PENDING;
    }

    static VOID NTAPI CancelHeld(PDEVICE_OBJECT device, PIRP irp)
    {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        Impl* impl = Of(device);
        {
            std::lock_guard<std::mutex> g(impl->lock);
            auto& h = impl->held;
            h.erase(std::remove_if(h.begin(), h.end(), [&](const Held& x) { return x.irp == irp; }), h.end());
        }
        Complete(irp, STATUS_CANCELLED, 0);
    }

    NTSTATUS Hold(PIRP irp, Pipe pipe, Kind kind, bool stalled)
    {
        IoMarkIrpPending(irp);
        std::unique_lock<std::mutex> g(lock);
        held.push_back({irp, pipe, kind, stalled});
        IoSetCancelRoutine(irp, CancelHeld);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
            held.pop_back();
            g.unlock();
            Complete(irp, STATUS_CANCELLED, 0);
        }
        return STATUS_PENDING;
    }

    // Copies bulk IN data into a read's buffer, under `lock`; a short packet ends the transfer.
    ULONG TakeInLocked(PUCHAR buffer, ULONG length)
    {
        ULONG total = 0;
        while (total < length && !in.empty()) {
            Chunk& c = in.front();
            ULONG n = std::min<ULONG>(length - total, (ULONG)c.bytes.size());
            std::memcpy(buffer + total, c.bytes.data(), n);
            total += n;
            if (n < c.bytes.size()) {
                c.bytes.erase(c.bytes.begin(), c.bytes.begin() + n);
                break;
            }
            bool ends = c.endsTransfer;
            in.pop_front();
            if (ends) break;
        }
        return total;
    }

    void FeedLocked(const std::vector<UCHAR>& bytes, bool packetized)
    {
        ULONG packet = pipes[(int)Pipe::DataIn].maxPacket;
        if (!packetized || packet == 0) {
            in.push_back({bytes, true});
            return;
        }
        for (size_t i = 0; i < bytes.size(); i += packet) {
            size_t n = std::min<size_t>(packet, bytes.size() - i);
            in.push_back({std::vector<UCHAR>(bytes.begin() + i, bytes.begin() + i + n), n < packet});
        }
    }

    // DISPATCH_LEVEL: serves reads waiting for bulk IN data.
    void DeliverIn()
    {
        for (;;) {
            PIRP irp = nullptr;
            ULONG n = 0;
            std::vector<UCHAR> taken;
            {
                std::lock_guard<std::mutex> g(lock);
                if (in.empty()) return;
                auto it = std::find_if(held.begin(), held.end(),
                                       [](const Held& h) { return h.pipe == Pipe::DataIn && h.kind == Kind::Read && !h.stalled; });
                if (it == held.end()) return;
                irp = it->irp;
                held.erase(it);
                PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
                auto* buffer = (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
                n = TakeInLocked(buffer, s->Parameters.Read.Length);
                taken.assign(buffer, buffer + n);
            }
            if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
                // Its cancel routine is running and completes it: the bytes go back.
                std::lock_guard<std::mutex> g(lock);
                in.push_front({taken, false});
                continue;
            }
            Complete(irp, STATUS_SUCCESS, n);
        }
    }

    static VOID NTAPI TimerDpcRoutine(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* impl = (Impl*)context;
        std::vector<Scheduled> due;
        {
            std::lock_guard<std::mutex> g(impl->lock);
            LONGLONG now = hk::Now();
            auto& s = impl->scheduled;
            std::stable_sort(s.begin(), s.end(), [](const Scheduled& a, const Scheduled& b) {
                return a.due != b.due ? a.due < b.due : a.seq < b.seq;
            });
            auto split = std::find_if(s.begin(), s.end(), [&](const Scheduled& x) { return x.due > now; });
            due.assign(std::make_move_iterator(s.begin()), std::make_move_iterator(split));
            s.erase(s.begin(), split);
            impl->ArmLocked();
        }
        for (auto& d : due) {
            if (d.effect) d.effect();
            Complete(d.irp, d.status, d.information);
        }
        impl->DeliverIn();
    }

    static VOID NTAPI DeliverDpcRoutine(PKDPC, PVOID context, PVOID, PVOID) { ((Impl*)context)->DeliverIn(); }

    // Completes every request the simulator holds or has pended on a pipe.
    void Flush(Pipe pipe, NTSTATUS status)
    {
        std::vector<PIRP> release, now;
        {
            std::lock_guard<std::mutex> g(lock);
            for (auto it = held.begin(); it != held.end();) {
                if (it->pipe != pipe) {
                    ++it;
                    continue;
                }
                release.push_back(it->irp);
                it = held.erase(it);
            }
            for (auto it = scheduled.begin(); it != scheduled.end();) {
                if (it->pipe != pipe) {
                    ++it;
                    continue;
                }
                now.push_back(it->irp);
                it = scheduled.erase(it);
            }
        }
        for (PIRP irp : release)
            if (IoSetCancelRoutine(irp, nullptr)) Complete(irp, status, 0);
        for (PIRP irp : now) Complete(irp, status, 0);
    }

    NTSTATUS Create(PIRP irp, PFILE_OBJECT file)
    {
        int id = -1;
        std::u16string name = file && file->FileName.Buffer
                                  ? std::u16string(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR))
                                  : std::u16string();
        for (int i = 0; i < 3; ++i)
            if (name == kPipeNames[i]) id = i;
        if (id < 0) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND, 0);
        if (!pipes[id].exists) return Complete(irp, STATUS_INVALID_HANDLE, 0);
        Fault f = TakeFault((Pipe)id, Kind::Open);
        if (f.stall) return Hold(irp, (Pipe)id, Kind::Open, true);
        if (!NT_SUCCESS(f.status)) return Finish(irp, (Pipe)id, Kind::Open, f.status, 0);
        {
            std::lock_guard<std::mutex> g(lock);
            pipes[id].open = true;
            pipes[id].halted = false;
        }
        file->FsContext = &pipes[id];
        return Finish(irp, (Pipe)id, Kind::Open, STATUS_SUCCESS, 0);
    }

    NTSTATUS Close(PIRP irp, PFILE_OBJECT file)
    {
        PipeRec* p = PipeOf(file);
        if (!p) return Complete(irp, STATUS_INVALID_HANDLE, 0);
        Fault f = TakeFault(p->id, Kind::Close);
        Flush(p->id, STATUS_CANCELLED);
        {
            std::lock_guard<std::mutex> g(lock);
            p->open = false;
        }
        file->FsContext = nullptr;
        return Finish(irp, p->id, Kind::Close, NT_SUCCESS(f.status) ? STATUS_SUCCESS : f.status, 0);
    }

    NTSTATUS Read(PIRP irp, PIO_STACK_LOCATION stack)
    {
        PipeRec* p = PipeOf(stack->FileObject);
        if (!p) return Complete(irp, STATUS_INVALID_HANDLE, 0);
        if (p->id != Pipe::DataIn && p->id != Pipe::Status) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        if (!irp->MdlAddress) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        if (p->halted) return Complete(irp, STATUS_PIPE_BROKEN, 0);
        Fault f = TakeFault(p->id, Kind::Read);
        if (f.stall) return Hold(irp, p->id, Kind::Read, true);
        if (!NT_SUCCESS(f.status)) return Finish(irp, p->id, Kind::Read, f.status, 0);
        if (f.zeroBytes) return Finish(irp, p->id, Kind::Read, STATUS_SUCCESS, 0);
        auto* buffer = (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
        ULONG length = stack->Parameters.Read.Length;
        if (p->id == Pipe::Status) {
            ULONG n = 0;
            if (length) {
                std::lock_guard<std::mutex> g(lock);
                buffer[0] = LineByte(adapter, freeLines, loopback);
                n = 1;
            }
            return Finish(irp, p->id, Kind::Read, STATUS_SUCCESS, n);
        }
        std::unique_lock<std::mutex> g(lock);
        bool waiting = std::any_of(held.begin(), held.end(), [](const Held& h) { return h.pipe == Pipe::DataIn && !h.stalled; });
        if (in.empty() || waiting) {
            g.unlock();
            return Hold(irp, p->id, Kind::Read, false);
        }
        ULONG n = TakeInLocked(buffer, length);
        g.unlock();
        return Finish(irp, p->id, Kind::Read, STATUS_SUCCESS, n);
    }

    NTSTATUS DeviceControl(PIRP irp, PIO_STACK_LOCATION stack)
    {
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        auto* buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
        if (code == kIoctlPipeControlTransfer) return ControlTransfer(irp, buffer, inLength, outLength);
        PipeRec* p = PipeOf(stack->FileObject);
        if (code != kIoctlPipeReset && code != kIoctlPipeAbort && code != kIoctlPipeGetMaxPacketSize && code != kIoctlPipeWrite)
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        if (!p) return Complete(irp, STATUS_INVALID_HANDLE, 0);
        switch (code) {
        case kIoctlPipeAbort: {
            Fault f = TakeFault(p->id, Kind::Abort);
            Flush(p->id, STATUS_CANCELLED);
            {
                std::lock_guard<std::mutex> g(lock);
                p->halted = true;
            }
            return Finish(irp, p->id, Kind::Abort, NT_SUCCESS(f.status) ? STATUS_SUCCESS : f.status, 0);
        }
        case kIoctlPipeReset: {
            Fault f = TakeFault(p->id, Kind::Reset);
            if (!NT_SUCCESS(f.status)) return Finish(irp, p->id, Kind::Reset, f.status, 0);
            {
                std::lock_guard<std::mutex> g(lock);
                p->halted = false;
            }
            return Finish(irp, p->id, Kind::Reset, STATUS_SUCCESS, 0);
        }
        case kIoctlPipeGetMaxPacketSize: {
            Fault f = TakeFault(p->id, Kind::MaxPacket);
            if (!NT_SUCCESS(f.status)) return Finish(irp, p->id, Kind::MaxPacket, f.status, 0);
            if (outLength < sizeof(ULONG) || !buffer) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            ULONG size;
            {
                std::lock_guard<std::mutex> g(lock);
                size = p->maxPacket;
            }
            std::memcpy(buffer, &size, sizeof size);
            return Finish(irp, p->id, Kind::MaxPacket, STATUS_SUCCESS, sizeof(ULONG));
        }
        default:
            return Write(irp, p, buffer, inLength);
        }
    }

    NTSTATUS Write(PIRP irp, PipeRec* p, PUCHAR buffer, ULONG length)
    {
        if (p->id != Pipe::DataOut) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        if (p->halted) return Complete(irp, STATUS_PIPE_BROKEN, 0);
        if (length && !buffer) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        Fault f = TakeFault(Pipe::DataOut, Kind::Write);
        if (f.stall) return Hold(irp, Pipe::DataOut, Kind::Write, true);
        if (!NT_SUCCESS(f.status)) return Finish(irp, Pipe::DataOut, Kind::Write, f.status, 0);
        std::vector<UCHAR> bytes(buffer, buffer + length);
        ULONG sent = f.zeroBytes ? 0 : std::min(length, f.shortWrite);
        LONGLONG delay = 0;
        bool loop;
        {
            std::lock_guard<std::mutex> g(lock);
            out.push_back(bytes);
            loop = loopback;
            if (pacing) {
                LONGLONG now = hk::Now();
                LONGLONG start = std::max(now, wireFreeAt);
                wireFreeAt = start + WireTime(adapter, sent);
                delay = wireFreeAt - now;
            }
        }
        std::function<void()> effect;
        if (loop && sent) {
            std::vector<UCHAR> looped(bytes.begin(), bytes.begin() + sent);
            effect = [this, looped] {
                {
                    std::lock_guard<std::mutex> g(lock);
                    FeedLocked(looped, true);
                }
                KeInsertQueueDpc(&deliverDpc, nullptr, nullptr);
            };
        }
        return Finish(irp, Pipe::DataOut, Kind::Write, STATUS_SUCCESS, sent, std::move(effect), delay);
    }

    NTSTATUS ControlTransfer(PIRP irp, PUCHAR buffer, ULONG inLength, ULONG outLength)
    {
        if (!buffer || inLength < 8) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        ControlRecord r;
        r.requestType = buffer[0];
        r.request = buffer[1];
        r.value = (USHORT)(buffer[2] | buffer[3] << 8);
        r.index = (USHORT)(buffer[4] | buffer[5] << 8);
        r.length = (USHORT)(buffer[6] | buffer[7] << 8);
        r.inputLength = inLength;
        r.outputLength = outLength;
        bool in = r.requestType & 0x80;
        UCHAR type = r.requestType & 0x60;
        if (type == 0x00 || type == 0x60 || (r.requestType & 0x1F) >= 4) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        if (in ? outLength < r.length : inLength != 8u + r.length) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        if (!in) r.data.assign(buffer + 8, buffer + 8 + r.length);
        Fault f = TakeFault(Pipe::Control, Kind::ControlTransfer);
        ULONG_PTR information = 0;
        {
            std::lock_guard<std::mutex> g(lock);
            r.portCommand = r.requestType == 0x40 && r.request == 0x0B;
            if (r.portCommand && NT_SUCCESS(f.status) && !f.stall) {
                commands.push_back(r.data);
                r.unknownCommand = !ApplyPortCommand(adapter, r.data);
            }
            controls.push_back(r);
            if (in && r.length && NT_SUCCESS(f.status)) {
                for (ULONG i = 0; i < r.length; ++i) buffer[i] = i < controlInData.size() ? controlInData[i] : 0;
                information = r.length;
            }
        }
        if (f.stall) return Hold(irp, Pipe::Control, Kind::ControlTransfer, true);
        return Finish(irp, Pipe::Control, Kind::ControlTransfer, f.status, information);
    }

    // The bus driver's part, as the emulation's bus drivers do it.
    static NTSTATUS BusRequest(PIRP irp)
    {
        NTSTATUS status = hk::BusDriverStatus(irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        Impl* impl = Of(device);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        {
            std::lock_guard<std::mutex> g(impl->lock);
            Arrival a;
            a.major = stack->MajorFunction;
            a.minor = stack->MinorFunction;
            if (a.major == IRP_MJ_DEVICE_CONTROL) a.code = stack->Parameters.DeviceIoControl.IoControlCode;
            if (PipeRec* p = impl->PipeOf(stack->FileObject)) a.pipe = (int)p->id;
            impl->arrivals.push_back(a);
        }
        switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            return impl->Create(irp, stack->FileObject);
        case IRP_MJ_CLOSE:
            return impl->Close(irp, stack->FileObject);
        case IRP_MJ_READ:
            return impl->Read(irp, stack);
        case IRP_MJ_DEVICE_CONTROL:
            return impl->DeviceControl(irp, stack);
        case IRP_MJ_PNP:
        case IRP_MJ_POWER:
        case IRP_MJ_SYSTEM_CONTROL:
            return BusRequest(irp);
        default:
            return Complete(irp, STATUS_SUCCESS, 0);
        }
    }
};

PipeSim::PipeSim(Options options) : impl_(std::make_unique<Impl>())
{
    Impl& m = *impl_;
    m.options = std::move(options);
    for (int i = 0; i < 4; ++i) m.pipes[i].id = (Pipe)i;
    m.pipes[(int)Pipe::DataOut].maxPacket = m.options.maxPacketOut;
    m.pipes[(int)Pipe::DataIn].maxPacket = m.options.maxPacketIn;
    m.pipes[(int)Pipe::Status].maxPacket = m.options.maxPacketStatus;
    m.pipes[(int)Pipe::Status].exists = m.options.statusEndpoint;
    KeInitializeTimer(&m.timer);
    KeInitializeDpc(&m.timerDpc, Impl::TimerDpcRoutine, &m);
    KeInitializeDpc(&m.deliverDpc, Impl::DeliverDpcRoutine, &m);

    m.driver = (PDRIVER_OBJECT)std::calloc(1, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION));
    m.driver->DriverExtension = (PDRIVER_EXTENSION)(m.driver + 1);
    for (auto& f : m.driver->MajorFunction) f = Impl::Dispatch;
    hk::FaultsSuspended quiet;
    if (!NT_SUCCESS(IoCreateDevice(m.driver, sizeof(Impl*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &m.device))) return;
    *(Impl**)m.device->DeviceExtension = &m;
    m.device->Flags |= DO_DIRECT_IO | m.options.deviceFlags;
    m.device->Flags &= ~DO_DEVICE_INITIALIZING;
    hk::MakePhysicalDevice(m.device, m.options.instanceId, m.options.registry);
}

PipeSim::~PipeSim()
{
    KeCancelTimer(&impl_->timer);
    KeRemoveQueueDpc(&impl_->timerDpc);
    KeRemoveQueueDpc(&impl_->deliverDpc);
    if (impl_->device && hk::IsLiveDevice(impl_->device) && !impl_->device->AttachedDevice) IoDeleteDevice(impl_->device);
    std::free(impl_->driver);
}

PDEVICE_OBJECT PipeSim::Device() const { return impl_->device; }

void PipeSim::CompleteSynchronously(Kind kind)
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->modes[(int)kind] = Mode{};
}

void PipeSim::CompleteLater(Kind kind, LONGLONG delay)
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->modes[(int)kind] = Mode{true, delay};
}

void PipeSim::InjectFault(Pipe pipe, Kind kind, Fault fault)
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->faults[{pipe, kind}] = fault;
}

void PipeSim::ClearFaults()
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->faults.clear();
}

void PipeSim::SetMaxPacketSize(Pipe pipe, ULONG size)
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->pipes[(int)pipe].maxPacket = size;
}

void PipeSim::Feed(const std::vector<UCHAR>& bytes, bool packetized)
{
    {
        std::lock_guard<std::mutex> g(impl_->lock);
        impl_->FeedLocked(bytes, packetized);
    }
    KeInsertQueueDpc(&impl_->deliverDpc, nullptr, nullptr);
}

size_t PipeSim::PendingInBytes() const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    size_t n = 0;
    for (auto& c : impl_->in) n += c.bytes.size();
    return n;
}

std::vector<std::vector<UCHAR>> PipeSim::OutTransfers() const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->out;
}

std::vector<UCHAR> PipeSim::OutBytes() const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    std::vector<UCHAR> all;
    for (auto& t : impl_->out) all.insert(all.end(), t.begin(), t.end());
    return all;
}

void PipeSim::SetLines(UCHAR lines)
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->freeLines = lines;
}

UCHAR PipeSim::StatusByte() const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    return LineByte(impl_->adapter, impl_->freeLines, impl_->loopback);
}

void PipeSim::SetLoopback(bool on)
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->loopback = on;
}

void PipeSim::SetPacing(bool on)
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->pacing = on;
}

std::vector<ControlRecord> PipeSim::ControlTransfers() const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->controls;
}

std::vector<std::vector<UCHAR>> PipeSim::Commands() const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->commands;
}

AdapterState PipeSim::Adapter() const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->adapter;
}

void PipeSim::SetControlInData(std::vector<UCHAR> data)
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->controlInData = std::move(data);
}

std::vector<Arrival> PipeSim::Arrivals() const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->arrivals;
}

int PipeSim::Count(UCHAR major, int minor) const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    int n = 0;
    for (auto& a : impl_->arrivals) n += a.major == major && (minor < 0 || a.minor == minor);
    return n;
}

bool PipeSim::IsOpen(Pipe pipe) const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->pipes[(int)pipe].open;
}

size_t PipeSim::Outstanding(Pipe pipe) const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    size_t n = 0;
    for (auto& h : impl_->held) n += h.pipe == pipe;
    for (auto& s : impl_->scheduled) n += s.pipe == pipe;
    return n;
}

void PipeSim::ClearRecords()
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->arrivals.clear();
    impl_->controls.clear();
    impl_->commands.clear();
    impl_->out.clear();
}

}  // namespace pipesim
