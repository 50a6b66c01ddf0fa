// The simulated pipe driver: request handling in the pipe driver's device, which
// stands on a PDO of its own bus driver.
//
// Requests are completed outside the simulator's lock. Requests it holds carry a
// cancel routine and are released cancel-safely (reads waiting for data, stalled
// requests), or carry none and wait for the test (HoldNext); requests it pends on
// purpose are completed by a timer DPC at DISPATCH_LEVEL, which also puts paced bytes
// onto the serial line as the wire carries them.
//
// A null-modem cable joins two simulators through a Link. Its lock is taken before
// either end's and never while an end's lock is held; an end is reached only through
// the Link under its lock, and leaves it (under that lock) before it goes away, so
// neither simulator ever holds a pointer to the other.
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

enum class HeldBy {
    Data,   // a read waiting for bulk IN data; cancellable
    Stall,  // a stall fault; cancellable
    Test,   // HoldNext; no cancel routine
};

struct Held {
    PIRP irp;
    Pipe pipe;
    Kind kind;
    HeldBy by;
    unsigned long long controlId;  // a control transfer's record
};

struct Scheduled {
    LONGLONG due;
    unsigned long long seq;
    PIRP irp;
    Pipe pipe;
    Kind kind;
    NTSTATUS status;
    ULONG_PTR information;
    std::function<void()> effect;  // runs just before the completion
};

struct Mode {
    bool later = false;
    LONGLONG delay = 0;
};

// Bytes of the paced writes scheduled for the line, in place of a request.
constexpr PIRP kLineDelivery = nullptr;

// Abort and close end the transfers on a pipe, not requests about the pipe.
bool IsTransfer(Kind kind) { return kind == Kind::Read || kind == Kind::Write; }

}  // namespace

struct NullModem::Link {
    std::mutex lock;
    PipeSim::Impl* end[2] = {};  // null once that end has left
};

struct PipeSim::Impl {
    Options options;
    std::unique_ptr<hk::StubBus> bus;
    PDEVICE_OBJECT pdo = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;  // what the device is attached to; null once removed
    mutable std::mutex lock;
    bool removed = false;
    PipeRec pipes[4];
    Mode modes[8];
    int holdNext[8] = {};
    std::map<std::pair<Pipe, Kind>, Fault> faults;
    std::deque<Chunk> in;
    std::function<void(UCHAR*, ULONG)> stream;  // the endless bulk IN source, if any
    PipeSim::Traffic traffic;
    std::vector<std::vector<UCHAR>> out;
    UCHAR freeLines = 0;
    bool loopback = false;
    bool pacing = false;
    LONGLONG wireFreeAt = 0;
    bool record = true;
    size_t lost = 0;  // bytes from the line beyond lineBufferLimit
    // The cable this adapter is plugged into, which end it is, and the other end's
    // outputs as they reach this adapter's inputs.
    std::shared_ptr<NullModem::Link> link;
    int linkEnd = 0;
    bool peerRts = false;
    bool peerDtr = false;
    AdapterState adapter;
    std::vector<ControlRecord> controls;
    std::vector<unsigned long long> controlIds;  // one per record, to find it again
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
        if (it->second.skip > 0) {
            it->second.skip--;
            return {};
        }
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
                             kind, status, information, std::move(effect)});
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

    NTSTATUS Hold(PIRP irp, Pipe pipe, Kind kind, HeldBy by, unsigned long long controlId = 0)
    {
        IoMarkIrpPending(irp);
        std::unique_lock<std::mutex> g(lock);
        held.push_back({irp, pipe, kind, by, controlId});
        if (by == HeldBy::Test) return STATUS_PENDING;
        IoSetCancelRoutine(irp, CancelHeld);
        // IoCancelIrp may be setting the flag on another thread.
        if (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && IoSetCancelRoutine(irp, nullptr)) {
            held.pop_back();
            g.unlock();
            Complete(irp, STATUS_CANCELLED, 0);
        }
        return STATUS_PENDING;
    }

    // For a request the pipe driver has accepted: true when it is held, for the test
    // (HoldNext) or by a stall fault, with *result what the dispatch routine returns;
    // otherwise *fault is the fault (if any) to serve it with.
    bool Intercept(PIRP irp, Pipe pipe, Kind kind, Fault* fault, NTSTATUS* result, unsigned long long controlId = 0)
    {
        bool forTest = false;
        {
            std::lock_guard<std::mutex> g(lock);
            if (holdNext[(int)kind] > 0) {
                holdNext[(int)kind]--;
                forTest = true;
            }
        }
        if (forTest) {
            *result = Hold(irp, pipe, kind, HeldBy::Test, controlId);
            return true;
        }
        *fault = TakeFault(pipe, kind);
        if (!fault->stall) return false;
        *result = Hold(irp, pipe, kind, HeldBy::Stall, controlId);
        return true;
    }

    // Copies bulk IN data into a read's buffer, under `lock`; a short packet ends the
    // transfer unless `exact`, which takes `length` bytes whatever the packets.
    ULONG TakeInLocked(PUCHAR buffer, ULONG length, bool exact = false)
    {
        if (in.empty() && stream && length) {
            stream(buffer, length);
            traffic.inBytes += length;
            return length;
        }
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
            if (ends && !exact) break;
        }
        traffic.inBytes += total;
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
                if (in.empty() && !stream) return;
                auto it = std::find_if(held.begin(), held.end(),
                                       [](const Held& h) { return h.pipe == Pipe::DataIn && h.by == HeldBy::Data; });
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
                traffic.inBytes -= taken.size();
                in.push_front({taken, false});  // a stream's too: its source has moved on
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
            if (d.irp != kLineDelivery) Complete(d.irp, d.status, d.information);
        }
        impl->DeliverIn();
    }

    static VOID NTAPI DeliverDpcRoutine(PKDPC, PVOID context, PVOID, PVOID) { ((Impl*)context)->DeliverIn(); }

    // Completes the requests the simulator holds (but not those held for the test) or
    // has pended that `which` selects.
    void Flush(NTSTATUS status, const std::function<bool(Pipe, Kind)>& which)
    {
        std::vector<PIRP> release, now;
        {
            std::lock_guard<std::mutex> g(lock);
            for (auto it = held.begin(); it != held.end();) {
                if (it->by == HeldBy::Test || !which(it->pipe, it->kind)) {
                    ++it;
                    continue;
                }
                release.push_back(it->irp);
                it = held.erase(it);
            }
            for (auto it = scheduled.begin(); it != scheduled.end();) {
                if (!which(it->pipe, it->kind)) {
                    ++it;
                    continue;
                }
                if (it->irp != kLineDelivery) now.push_back(it->irp);
                it = scheduled.erase(it);
            }
            // The bytes of ended writes not yet on the wire went with them: it is free.
            if (which(Pipe::DataOut, Kind::Write)) wireFreeAt = std::min(wireFreeAt, hk::Now());
        }
        for (PIRP irp : release)
            if (IoSetCancelRoutine(irp, nullptr)) Complete(irp, status, 0);
        for (PIRP irp : now) Complete(irp, status, 0);
    }

    // What an abort or close does to the transfers on its pipe.
    void EndTransfers(Pipe pipe)
    {
        Flush(STATUS_CANCELLED, [pipe](Pipe p, Kind k) { return p == pipe && IsTransfer(k); });
    }

    // ---- The effects of requests, served at once or released later ----

    void OpenPipe(PFILE_OBJECT file, Pipe id)
    {
        {
            std::lock_guard<std::mutex> g(lock);
            pipes[(int)id].open = true;
            pipes[(int)id].halted = false;
        }
        file->FsContext = &pipes[(int)id];
    }

    void ClosePipe(PFILE_OBJECT file, PipeRec* p)
    {
        EndTransfers(p->id);
        {
            std::lock_guard<std::mutex> g(lock);
            p->open = false;
        }
        file->FsContext = nullptr;
    }

    void AbortPipe(PipeRec* p)
    {
        EndTransfers(p->id);
        std::lock_guard<std::mutex> g(lock);
        p->halted = true;
    }

    // Aborts come from other threads than the transfers they race.
    bool Halted(PipeRec* p)
    {
        std::lock_guard<std::mutex> g(lock);
        return p->halted;
    }

    void ResetPipe(PipeRec* p)
    {
        std::lock_guard<std::mutex> g(lock);
        p->halted = false;
    }

    ULONG_PTR WriteMaxPacket(PipeRec* p, PUCHAR buffer)
    {
        ULONG size;
        {
            std::lock_guard<std::mutex> g(lock);
            size = p->maxPacket;
        }
        std::memcpy(buffer, &size, sizeof size);
        return sizeof size;
    }

    // Records a pipe write and returns what is left to do as it completes: put the
    // `sent` bytes onto the line. With `pacedDelay` and pacing on, the write takes its
    // turn on the wire instead: its bytes are scheduled for the line piece by piece,
    // and *pacedDelay is how long the write takes.
    std::function<void()> RecordWrite(PUCHAR buffer, ULONG length, ULONG sent, LONGLONG* pacedDelay = nullptr)
    {
        std::vector<UCHAR> bytes(buffer, buffer + sent);
        std::lock_guard<std::mutex> g(lock);
        if (record) out.emplace_back(buffer, buffer + length);
        if (length) {
            traffic.outTransfers++;
        } else {
            traffic.zeroLength++;
        }
        traffic.outBytes += sent;
        if (pacedDelay && pacing) {
            LONGLONG now = hk::Now();
            LONGLONG start = std::max(now, wireFreeAt);
            wireFreeAt = start + WireTime(adapter, sent);
            *pacedDelay = wireFreeAt - now;
            for (size_t at = 0; at < sent; at += PipeSim::kWirePiece) {
                size_t end = std::min<size_t>(sent, at + PipeSim::kWirePiece);
                std::vector<UCHAR> piece(bytes.begin() + at, bytes.begin() + end);
                scheduled.push_back({start + WireTime(adapter, end), seq++, kLineDelivery, Pipe::DataOut, Kind::Write,
                                     STATUS_SUCCESS, 0, [this, piece] { ToLine(piece); }});
            }
            ArmLocked();
            return {};
        }
        if (!sent) return {};
        return [this, bytes] { ToLine(bytes); };
    }

    // ---- The serial line: the loopback plug or a null-modem cable ----

    // What the status endpoint reports, under `lock`.
    UCHAR LineByteLocked() const
    {
        if (link) return LineByte(freeLines, true, peerRts, peerDtr);
        return LineByte(freeLines, loopback, adapter.rts, adapter.dtr);
    }

    // Bytes arriving from the line wait for bulk IN reads, up to the line buffer's limit.
    void FromLine(std::vector<UCHAR> bytes)
    {
        {
            std::lock_guard<std::mutex> g(lock);
            if (options.lineBufferLimit) {
                size_t held = 0;
                for (auto& c : in) held += c.bytes.size();
                size_t room = options.lineBufferLimit > held ? options.lineBufferLimit - held : 0;
                if (bytes.size() > room) {
                    lost += bytes.size() - room;
                    bytes.resize(room);
                }
            }
            if (bytes.empty()) return;
            FeedLocked(bytes, true);
        }
        KeInsertQueueDpc(&deliverDpc, nullptr, nullptr);
    }

    // Bytes that left the adapter's transmitter: back through the plug, or to the
    // cable's other end.
    void ToLine(const std::vector<UCHAR>& bytes)
    {
        std::shared_ptr<NullModem::Link> cable;
        int e;
        bool loop;
        {
            std::lock_guard<std::mutex> g(lock);
            cable = link;
            e = linkEnd;
            loop = loopback;
        }
        if (!cable) {
            if (loop) FromLine(bytes);
            return;
        }
        // At DISPATCH_LEVEL the other end's delivery DPC is only queued here; it runs
        // once the cable's lock is let go, so that what it sets off (a read completed,
        // a line changed) may reach the cable again.
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        {
            std::lock_guard<std::mutex> c(cable->lock);
            if (cable->end[e] == this && cable->end[1 - e]) cable->end[1 - e]->FromLine(bytes);
        }
        KeLowerIrql(old);
    }

    // Gives the cable's other end this adapter's RTS and DTR as they are now.
    void PushLines()
    {
        std::shared_ptr<NullModem::Link> cable;
        int e;
        {
            std::lock_guard<std::mutex> g(lock);
            cable = link;
            e = linkEnd;
        }
        if (!cable) return;
        std::lock_guard<std::mutex> c(cable->lock);
        Impl* other = cable->end[1 - e];
        if (cable->end[e] != this || !other) return;
        bool rts, dtr;
        {
            std::lock_guard<std::mutex> g(lock);
            rts = adapter.rts;
            dtr = adapter.dtr;
        }
        std::lock_guard<std::mutex> g(other->lock);
        other->peerRts = rts;
        other->peerDtr = dtr;
    }

    // Takes both ends out of the cable. The caller's reference keeps it alive.
    static void Unplug(const std::shared_ptr<NullModem::Link>& cable)
    {
        std::lock_guard<std::mutex> c(cable->lock);
        for (Impl*& end : cable->end) {
            if (!end) continue;
            {
                std::lock_guard<std::mutex> g(end->lock);
                end->link.reset();
                end->peerRts = end->peerDtr = false;
            }
            end = nullptr;
        }
    }

    // Leaves the cable this adapter is plugged into, if any.
    void LeaveCable()
    {
        std::shared_ptr<NullModem::Link> cable;
        {
            std::lock_guard<std::mutex> g(lock);
            cable = link;
        }
        if (cable) Unplug(cable);
    }

    // A successful control transfer reaches the adapter: a port command is decoded
    // (and its record, `id`, learns whether the adapter knew it), IN data is
    // returned. Returns the transfer's Information.
    ULONG_PTR ServeControl(PUCHAR buffer, unsigned long long id)
    {
        {
            std::lock_guard<std::mutex> g(lock);
            ControlRecord r = ParseSetup(buffer);
            if (r.requestType & 0x80) {
                for (ULONG i = 0; i < r.length; ++i) buffer[i] = i < controlInData.size() ? controlInData[i] : 0;
                return r.length;
            }
            if (r.requestType != 0x40 || r.request != 0x0B) return 0;
            std::vector<UCHAR> payload(buffer + 8, buffer + 8 + r.length);
            if (record) commands.push_back(payload);
            bool known = ApplyPortCommand(adapter, payload);
            for (size_t i = 0; i < controlIds.size(); ++i)
                if (controlIds[i] == id) controls[i].unknownCommand = !known;
        }
        PushLines();
        return 0;
    }

    static ControlRecord ParseSetup(const UCHAR* buffer)
    {
        ControlRecord r;
        r.requestType = buffer[0];
        r.request = buffer[1];
        r.value = (USHORT)(buffer[2] | buffer[3] << 8);
        r.index = (USHORT)(buffer[4] | buffer[5] << 8);
        r.length = (USHORT)(buffer[6] | buffer[7] << 8);
        return r;
    }
    // ---- Requests ----

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
        Fault f;
        NTSTATUS result;
        if (Intercept(irp, (Pipe)id, Kind::Open, &f, &result)) return result;
        if (!NT_SUCCESS(f.status)) return Finish(irp, (Pipe)id, Kind::Open, f.status, 0);
        OpenPipe(file, (Pipe)id);
        return Finish(irp, (Pipe)id, Kind::Open, STATUS_SUCCESS, 0);
    }

    NTSTATUS Close(PIRP irp, PFILE_OBJECT file)
    {
        PipeRec* p = PipeOf(file);
        if (!p) return Complete(irp, STATUS_INVALID_HANDLE, 0);
        Fault f;
        NTSTATUS result;
        if (Intercept(irp, p->id, Kind::Close, &f, &result)) return result;
        ClosePipe(file, p);
        return Finish(irp, p->id, Kind::Close, NT_SUCCESS(f.status) ? STATUS_SUCCESS : f.status, 0);
    }

    NTSTATUS Read(PIRP irp, PIO_STACK_LOCATION stack)
    {
        PipeRec* p = PipeOf(stack->FileObject);
        if (!p) return Complete(irp, STATUS_INVALID_HANDLE, 0);
        if (p->id != Pipe::DataIn && p->id != Pipe::Status) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        if (!irp->MdlAddress) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        if (Halted(p)) return Complete(irp, STATUS_PIPE_BROKEN, 0);
        if (p->id == Pipe::DataIn) {
            std::lock_guard<std::mutex> g(lock);
            traffic.inReads++;
        }
        Fault f;
        NTSTATUS result;
        if (Intercept(irp, p->id, Kind::Read, &f, &result)) return result;
        if (!NT_SUCCESS(f.status)) return Finish(irp, p->id, Kind::Read, f.status, 0);
        if (f.zeroBytes) return Finish(irp, p->id, Kind::Read, STATUS_SUCCESS, 0);
        auto* buffer = (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
        ULONG length = stack->Parameters.Read.Length;
        if (p->id == Pipe::Status) return Finish(irp, p->id, Kind::Read, STATUS_SUCCESS, ReadStatus(buffer, length, 1));
        std::unique_lock<std::mutex> g(lock);
        bool waiting = std::any_of(held.begin(), held.end(), [](const Held& h) { return h.by == HeldBy::Data; });
        if ((in.empty() && !stream) || waiting) {
            g.unlock();
            return Hold(irp, p->id, Kind::Read, HeldBy::Data);
        }
        ULONG n = TakeInLocked(buffer, length);
        g.unlock();
        return Finish(irp, p->id, Kind::Read, STATUS_SUCCESS, n);
    }

    // A status read: the line byte, then zeros up to `bytes`; returns the bytes read.
    ULONG ReadStatus(PUCHAR buffer, ULONG length, ULONG bytes)
    {
        ULONG n = std::min(length, bytes);
        if (!n) return 0;
        std::memset(buffer, 0, n);
        std::lock_guard<std::mutex> g(lock);
        traffic.statusReads++;
        buffer[0] = LineByteLocked();
        return n;
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
        Fault f;
        NTSTATUS result;
        switch (code) {
        case kIoctlPipeAbort:
            if (Intercept(irp, p->id, Kind::Abort, &f, &result)) return result;
            AbortPipe(p);
            return Finish(irp, p->id, Kind::Abort, NT_SUCCESS(f.status) ? STATUS_SUCCESS : f.status, 0);
        case kIoctlPipeReset:
            if (Intercept(irp, p->id, Kind::Reset, &f, &result)) return result;
            if (!NT_SUCCESS(f.status)) return Finish(irp, p->id, Kind::Reset, f.status, 0);
            ResetPipe(p);
            return Finish(irp, p->id, Kind::Reset, STATUS_SUCCESS, 0);
        case kIoctlPipeGetMaxPacketSize:
            if (outLength < sizeof(ULONG) || !buffer) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            if (Intercept(irp, p->id, Kind::MaxPacket, &f, &result)) return result;
            if (!NT_SUCCESS(f.status)) return Finish(irp, p->id, Kind::MaxPacket, f.status, 0);
            return Finish(irp, p->id, Kind::MaxPacket, STATUS_SUCCESS, WriteMaxPacket(p, buffer));
        default:
            return Write(irp, p, buffer, inLength);
        }
    }

    NTSTATUS Write(PIRP irp, PipeRec* p, PUCHAR buffer, ULONG length)
    {
        if (p->id != Pipe::DataOut) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        if (Halted(p)) return Complete(irp, STATUS_PIPE_BROKEN, 0);
        if (length && !buffer) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        Fault f;
        NTSTATUS result;
        if (Intercept(irp, Pipe::DataOut, Kind::Write, &f, &result)) return result;
        if (!NT_SUCCESS(f.status)) return Finish(irp, Pipe::DataOut, Kind::Write, f.status, 0);
        ULONG sent = f.zeroBytes ? 0 : std::min(length, f.shortWrite);
        LONGLONG delay = 0;
        auto effect = RecordWrite(buffer, length, sent, &delay);
        return Finish(irp, Pipe::DataOut, Kind::Write, STATUS_SUCCESS, sent, std::move(effect), delay);
    }

    NTSTATUS ControlTransfer(PIRP irp, PUCHAR buffer, ULONG inLength, ULONG outLength)
    {
        if (!buffer || inLength < 8) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        ControlRecord r = ParseSetup(buffer);
        r.inputLength = inLength;
        r.outputLength = outLength;
        bool in = r.requestType & 0x80;
        UCHAR type = r.requestType & 0x60;
        if (type == 0x00 || type == 0x60 || (r.requestType & 0x1F) >= 4) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        if (in ? outLength < r.length : inLength != 8u + r.length) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        if (!in) r.data.assign(buffer + 8, buffer + 8 + r.length);
        r.portCommand = r.requestType == 0x40 && r.request == 0x0B;
        unsigned long long id;
        {
            std::lock_guard<std::mutex> g(lock);
            id = seq++;
            traffic.controlTransfers++;
            if (record) {
                controls.push_back(r);
                controlIds.push_back(id);
            }
        }
        Fault f;
        NTSTATUS result;
        if (Intercept(irp, Pipe::Control, Kind::ControlTransfer, &f, &result, id)) return result;
        if (!NT_SUCCESS(f.status)) return Finish(irp, Pipe::Control, Kind::ControlTransfer, f.status, 0);
        return Finish(irp, Pipe::Control, Kind::ControlTransfer, STATUS_SUCCESS, ServeControl(buffer, id));
    }

    // Ends a request held for the test or by a stall with the effect it would have had
    // if served at once (see CompleteHeld).
    void Release(const Held& h, NTSTATUS status, ULONG bytes)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(h.irp);
        PIRP irp = h.irp;
        PipeRec* p = PipeOf(stack->FileObject);
        std::function<void()> effect;
        ULONG_PTR information = 0;
        bool ok = NT_SUCCESS(status);
        switch (h.kind) {
        case Kind::Open:
            if (ok) OpenPipe(stack->FileObject, h.pipe);
            break;
        case Kind::Close:
            if (p) ClosePipe(stack->FileObject, p);
            break;
        case Kind::Abort:
            if (p) AbortPipe(p);
            break;
        case Kind::Reset:
            if (ok && p) ResetPipe(p);
            break;
        case Kind::MaxPacket:
            if (ok && p) information = WriteMaxPacket(p, (PUCHAR)irp->AssociatedIrp.SystemBuffer);
            break;
        case Kind::ControlTransfer:
            if (ok) information = ServeControl((PUCHAR)irp->AssociatedIrp.SystemBuffer, h.controlId);
            break;
        case Kind::Read:
            if (ok) information = ReadHeld(irp, h.pipe, bytes);
            break;
        case Kind::Write:
            if (ok) {
                ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
                information = std::min(length, bytes);
                effect = RecordWrite((PUCHAR)irp->AssociatedIrp.SystemBuffer, length, (ULONG)information);
            }
            break;
        }
        if (effect) effect();
        Complete(irp, status, information);
    }

    // A held read released with `bytes`: see CompleteHeld.
    ULONG ReadHeld(PIRP irp, Pipe pipe, ULONG bytes)
    {
        auto* buffer = (PUCHAR)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
        ULONG n = std::min(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length, bytes);
        if (pipe == Pipe::Status) return ReadStatus(buffer, n, n);
        std::lock_guard<std::mutex> g(lock);
        ULONG got = TakeInLocked(buffer, n, true);
        std::memset(buffer + got, 0, n - got);
        return n;
    }

    // ---- Plug and Play, power and WMI: the pipe driver's part, then the bus driver's ----

    NTSTATUS PassDown(PIRP irp, PIO_STACK_LOCATION stack)
    {
        if (stack->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(lower, irp);
        }
        if (stack->MajorFunction == IRP_MJ_PNP) {
            switch (stack->MinorFunction) {
            case IRP_MN_REMOVE_DEVICE:
                return Remove(irp);
            case IRP_MN_QUERY_REMOVE_DEVICE:
            case IRP_MN_CANCEL_REMOVE_DEVICE:
            case IRP_MN_SURPRISE_REMOVAL:
            case IRP_MN_QUERY_STOP_DEVICE:
            case IRP_MN_CANCEL_STOP_DEVICE:
            case IRP_MN_STOP_DEVICE:
                irp->IoStatus.Status = STATUS_SUCCESS;  // a function driver answers these itself
                break;
            default:
                break;
            }
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    }

    NTSTATUS Remove(PIRP irp)
    {
        {
            std::lock_guard<std::mutex> g(lock);
            removed = true;
        }
        Flush(STATUS_DELETE_PENDING, [](Pipe, Kind) { return true; });
        LeaveCable();  // the adapter is gone from the line
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        lower = nullptr;
        return status;
    }

    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        Impl* impl = Of(device);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        bool removed;
        {
            std::lock_guard<std::mutex> g(impl->lock);
            Arrival a;
            a.major = stack->MajorFunction;
            a.minor = stack->MinorFunction;
            if (a.major == IRP_MJ_DEVICE_CONTROL) a.code = stack->Parameters.DeviceIoControl.IoControlCode;
            if (PipeRec* p = impl->PipeOf(stack->FileObject)) a.pipe = (int)p->id;
            if (a.major == IRP_MJ_READ) a.length = stack->Parameters.Read.Length;
            if (a.major == IRP_MJ_DEVICE_CONTROL && a.code == kIoctlPipeWrite) a.length = stack->Parameters.DeviceIoControl.InputBufferLength;
            if (impl->record) impl->arrivals.push_back(a);
            removed = impl->removed;
        }
        if (removed) {
            if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
            return Complete(irp, STATUS_DELETE_PENDING, 0);
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
            return impl->PassDown(irp, stack);
        default:
            return Complete(irp, STATUS_SUCCESS, 0);
        }
    }
};

PipeSim::PipeSim(Options options) : impl_(std::make_unique<Impl>())
{
    Impl& m = *impl_;
    m.options = std::move(options);
    m.record = m.options.record;
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
    m.bus = std::make_unique<hk::StubBus>();
    m.pdo = m.bus->CreatePdo(m.options.instanceId, m.options.deviceFlags & (DO_POWER_PAGABLE | DO_POWER_INRUSH),
                             m.options.registry);
    // What the pipe driver's AddDevice does for this PDO.
    if (!m.pdo || !NT_SUCCESS(IoCreateDevice(m.driver, sizeof(Impl*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &m.device)))
        return;
    *(Impl**)m.device->DeviceExtension = &m;
    m.device->Flags |= DO_DIRECT_IO | m.options.deviceFlags;
    m.lower = IoAttachDeviceToDeviceStack(m.device, m.pdo);
    m.device->Flags &= ~DO_DEVICE_INITIALIZING;
}

PipeSim::~PipeSim()
{
    Impl& m = *impl_;
    m.LeaveCable();  // from here on the other end cannot reach this one
    KeCancelTimer(&m.timer);
    KeRemoveQueueDpc(&m.timerDpc);
    KeRemoveQueueDpc(&m.deliverDpc);
    // On the real clock the DPC thread may be running one of them now, and it may arm
    // the timer or queue a delivery again: wait for it, and again for as long as it
    // left anything behind.
    if (hk::Mode() == hk::ClockMode::Real) {
        do {
            KeFlushQueuedDpcs();
        } while (KeCancelTimer(&m.timer) | KeRemoveQueueDpc(&m.timerDpc) | KeRemoveQueueDpc(&m.deliverDpc));
        KeFlushQueuedDpcs();
    }
    // Bottom-up, as the stack comes apart: whatever stood above the pipe driver's
    // device is gone by now (else the device stays, and with it the PDO).
    if (m.device && hk::IsLiveDevice(m.device) && !m.device->AttachedDevice) {
        if (m.lower) IoDetachDevice(m.lower);
        IoDeleteDevice(m.device);
    }
    m.bus.reset();
    std::free(m.driver);
}

PDEVICE_OBJECT PipeSim::Device() const { return impl_->device; }

PDEVICE_OBJECT PipeSim::Pdo() const { return impl_->pdo; }

hk::StubBus& PipeSim::Bus() { return *impl_->bus; }

void PipeSim::HoldNext(Kind kind)
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->holdNext[(int)kind]++;
}

bool PipeSim::CompleteHeld(Pipe pipe, NTSTATUS status, ULONG bytes)
{
    Impl& m = *impl_;
    for (;;) {
        Held h;
        {
            std::lock_guard<std::mutex> g(m.lock);
            auto it = std::find_if(m.held.begin(), m.held.end(),
                                   [&](const Held& x) { return x.pipe == pipe && x.by != HeldBy::Data; });
            if (it == m.held.end()) return false;
            h = *it;
            m.held.erase(it);
        }
        // A stalled request whose cancel routine already runs belongs to that routine.
        if (h.by == HeldBy::Stall && !IoSetCancelRoutine(h.irp, nullptr)) continue;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        m.Release(h, status, bytes);
        KeLowerIrql(old);
        return true;
    }
}

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

void PipeSim::SetInStream(std::function<void(UCHAR* buffer, ULONG length)> source)
{
    {
        std::lock_guard<std::mutex> g(impl_->lock);
        impl_->stream = std::move(source);
    }
    KeInsertQueueDpc(&impl_->deliverDpc, nullptr, nullptr);  // reads already waiting get it
}

PipeSim::Traffic PipeSim::Counts() const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->traffic;
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
    return impl_->LineByteLocked();
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

size_t PipeSim::LostInBytes() const
{
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->lost;
}

void PipeSim::SetRecording(bool on)
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->record = on;
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
    for (auto& s : impl_->scheduled) n += s.pipe == pipe && s.irp != kLineDelivery;
    return n;
}

void PipeSim::ClearRecords()
{
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->arrivals.clear();
    impl_->controls.clear();
    impl_->controlIds.clear();
    impl_->commands.clear();
    impl_->out.clear();
}

NullModem::NullModem(PipeSim& a, PipeSim& b)
{
    if (&a == &b) return;
    PipeSim::Impl* ends[2] = {a.impl_.get(), b.impl_.get()};
    for (auto* end : ends) end->LeaveCable();
    link_ = std::make_shared<Link>();
    {
        std::lock_guard<std::mutex> c(link_->lock);
        for (int e = 0; e < 2; ++e) {
            std::lock_guard<std::mutex> g(ends[e]->lock);
            ends[e]->link = link_;
            ends[e]->linkEnd = e;
            link_->end[e] = ends[e];
        }
    }
    for (auto* end : ends) end->PushLines();
}

NullModem::~NullModem() { Disconnect(); }

void NullModem::Disconnect()
{
    if (link_) PipeSim::Impl::Unplug(link_);
}

bool NullModem::Connected() const
{
    if (!link_) return false;
    std::lock_guard<std::mutex> c(link_->lock);
    return link_->end[0] && link_->end[1];
}

}  // namespace pipesim
