// The request surface of an open port, driven by a byte string (see request_surface.h).
//
// What counts as a finding, besides a crash or a sanitizer report: anything the
// emulation's verifier reports (double completion, a request completed with a buffer
// overrun, a hang, requests left after cleanup, locks, IRQLs, ...); a request still
// outstanding once the handle's close should have come; a failed read or control
// request that reports bytes; bytes the application read that are not, in order, a sub-sequence of what the
// adapter delivered (so nothing duplicated, invented or reordered); bytes the adapter
// received that are not a sub-sequence of what the application wrote; queues that do
// not come back to empty once everything is cancelled and purged; and, after the
// removal and the unload, pool, IRPs, MDLs, registry handles or the port's names left
// behind.
#include "request_surface.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "driver/driver.h"
#include "hostkernel/frontend.h"
#include "hostkernel/host.h"
#include "pipesim/pipesim.h"

namespace fuzz {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char16_t* kServiceKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vcomusb";
constexpr const char16_t* kPortName = u"COM5";
constexpr const char16_t* kDosName = u"\\DosDevices\\COM5";

// The most non-paged pool one allocation may take. The host would hand out gigabytes
// for a receive ring; Windows' non-paged pool would not, and the driver must take the
// refusal. The ring storage's tag names those allocations.
constexpr ULONG kPoolLimit = 16u << 20;
constexpr ULONG kRingTag = 'c' | 'i' << 8 | 'r' << 16 | (ULONG)'c' << 24;

// Virtual time the advances and flushes of one input may add up to. Every 10 ms of it
// costs a status-pipe read and more; past a few timeouts' worth, more time finds little.
// A flush that cannot drain waits out its 30 s, so the first such flush spends the
// budget and later flushes are left out, as later advances are.
constexpr LONGLONG kTimeBudgetMs = 20000;

// Virtual time the close of a handle may take once cleanup has run.
constexpr LONGLONG kCloseLimit = 120LL * 10000000;
// Virtual time OpCheckQueues gives cancelled and purged requests to come back.
constexpr LONGLONG kSettleLimit = 60LL * 10000000;

// The WMI blocks, as WMI names them: port name, comm, hardware, performance,
// properties, the port's private block, and one nobody registers.
const GUID kWmiGuids[] = {
    {0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}},
    {0xEDB16A62, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}},
    {0x270B9B86, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}},
    {0x56415ACC, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}},
    {0x8209EC2A, 0x2D6B, 0x11D2, {0xBA, 0x49, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}},
    {0x2F8A6504, 0x3E7A, 0x4698, {0xA8, 0xFA, 0xB3, 0x07, 0x3F, 0xDC, 0x19, 0x4D}},
    {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}},
};
constexpr size_t kWmiGuidCount = sizeof kWmiGuids / sizeof kWmiGuids[0];

// Failure statuses a pipe driver completes with.
const NTSTATUS kFailures[] = {
    STATUS_UNSUCCESSFUL,     STATUS_CANCELLED,        STATUS_DEVICE_NOT_CONNECTED, STATUS_PIPE_BROKEN,
    STATUS_INVALID_PARAMETER, STATUS_DEVICE_DATA_ERROR, STATUS_INSUFFICIENT_RESOURCES, STATUS_IO_TIMEOUT,
};

constexpr ULONG SerialCode(ULONG function, ULONG method = METHOD_BUFFERED, ULONG access = FILE_ANY_ACCESS)
{
    return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, method, access);
}

// The byte at position i of the adapter's receive stream (salt 0) or of the
// application's write stream (salt 1): a hash of the position. A sequence with a short
// period let a duplicated block match again one period later; with hashed bytes each
// byte matched out of place costs the match about 256 positions of the stream, so a
// duplicated or made-up block of more than a few bytes runs past what was sent.
uint8_t Pattern(uint64_t i, unsigned salt)
{
    uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ULL ^ ((uint64_t)salt << 56);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 29;
    return (uint8_t)(x >> 24);
}

// Whether `got` is, in order, a sub-sequence of the first `sent` bytes of a stream
// (matched greedily: each byte at the first place after the last one's).
bool SubsequenceOfStream(const Bytes& got, uint64_t sent, unsigned salt)
{
    uint64_t at = 0;
    for (uint8_t b : got) {
        while (at < sent && Pattern(at, salt) != b) ++at;
        if (at == sent) return false;
        ++at;
    }
    return true;
}

std::string Hex(uint64_t v)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    do {
        s.insert(s.begin(), digits[v & 15]);
        v >>= 4;
    } while (v);
    return "0x" + s;
}

// The input, read front to back; past its end every read is zero.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() { return (uint16_t)(U8() | U8() << 8); }
    uint32_t U32() { return (uint32_t)U16() | (uint32_t)U16() << 16; }
    Bytes Take(size_t n)
    {
        Bytes b(n, 0);
        for (size_t i = 0; i < n; ++i) b[i] = U8();
        return b;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

enum class Kind { Read, Write, Ioctl, Flush };

struct Tracked {
    Kind kind;
    ULONG code = 0;    // control code
    ULONG length = 0;  // read or write length, or the output buffer's
    std::shared_ptr<hk::Request> request;
};

std::string Describe(const Tracked& t)
{
    switch (t.kind) {
    case Kind::Read:
        return "a read of " + std::to_string(t.length) + " bytes";
    case Kind::Write:
        return "a write of " + std::to_string(t.length) + " bytes";
    case Kind::Ioctl:
        return "control code " + Hex(t.code) + " with " + std::to_string(t.length) + " bytes of output room";
    default:
        return "a flush";
    }
}

class Session {
public:
    Session(const uint8_t* data, size_t size) : in_(data, size), trace_(std::getenv("VCOM_FUZZ_TRACE") != nullptr) {}
    std::string Run();

private:
    void Fail(const std::string& what)
    {
        if (finding_.empty()) finding_ = what;
    }
    bool Setup();
    void Step(uint8_t op);
    void Teardown();
    void CheckRequests();

    void Submit(Kind kind, ULONG code, ULONG length, std::shared_ptr<hk::Request> request);
    void Ioctl(ULONG code);
    void Fault();
    void CompleteHeld();
    void Wmi(uint8_t op);
    bool CloseHandle(const char* when);
    void CheckQueues();

    Input in_;
    // VCOM_FUZZ_TRACE set: each operation and each request's outcome go to stderr, to
    // read what a regression input does.
    bool trace_;
    std::string finding_;
    std::unique_ptr<hk::LoadedDriver> driver_;
    std::unique_ptr<pipesim::PipeSim> sim_;
    std::optional<hk::DeviceStack> stack_;
    PDEVICE_OBJECT port_ = nullptr;
    std::unique_ptr<hk::File> file_;
    std::vector<Tracked> requests_;
    bool surpriseRemoved_ = false;
    bool poweredDown_ = false;
    // The streams: bytes fed to the adapter's bulk IN side and bytes the application
    // asked to write, both from Pattern.
    uint64_t fed_ = 0;
    uint64_t written_ = 0;
    LONGLONG advanced_ = 0;  // ms of virtual time OpAdvance and OpFlush have taken
    // What the application's reads returned, in the order they completed; their
    // completion callbacks append to it, in the completing context.
    std::shared_ptr<Bytes> received_ = std::make_shared<Bytes>();
    // The adapter's record keeps every byte a write carried, also those a fault said
    // were not sent (a buffered transfer sends them again), and the immediate character
    // goes between written bytes: either way the write check is off for the run.
    bool writeCheck_ = true;
    // The open reads the status pipe once and waits for the answer without a timeout,
    // so an adapter whose status reads stall would hold the open for ever: a reopen
    // takes that fault off first.
    bool statusReadsStall_ = false;
    bool readsLater_ = false;  // CfgReadsLater
};

std::string Session::Run()
{
    if (Setup()) {
        while (!in_.Empty() && finding_.empty()) {
            uint8_t op = in_.U8();
            if (trace_)
                std::fprintf(stderr, "op %d at %lld ms, %zu timers armed\n", op % kOpCount,
                             (long long)(hk::Now() / 10000), hk::ArmedTimerCount());
            Step(op);
        }
    }
    Teardown();
    return finding_;
}

bool Session::Setup()
{
    hk::Reset(hk::ClockMode::Virtual);
    hk::TakeViolations();
    hk::TakeDebugOutput();
    const uint8_t a = in_.U8(), b = in_.U8();

    std::vector<hk::RegistryValue> values{hk::RegistryValue::String(u"PortName", kPortName)};
    values.push_back(hk::RegistryValue::Dword(u"TxAsync", a & CfgTxAsync ? 1 : 0));
    if (a & CfgNoNullPacket) values.push_back(hk::RegistryValue::Dword(u"TxAllowNullPacket", 0));
    values.push_back(hk::RegistryValue::Dword(u"EndPointCaps", (a >> CfgEndPointCapsShift) & 3));
    if (a & CfgRxPollPeriod) values.push_back(hk::RegistryValue::Dword(u"RxPollPeriod", 5));
    static const ULONG rxReqSizes[] = {0, 64, 100, 4096};
    static const ULONG kicks[] = {0, 1, 64, 2048};
    static const ULONG ctlPolls[] = {0, 5, 50, 1000};
    static const ULONG packets[] = {64, 8, 512, 16};
    if (ULONG v = rxReqSizes[(b >> CfgRxReqSizeShift) & 3]) values.push_back(hk::RegistryValue::Dword(u"RxReqSize", v));
    if (ULONG v = kicks[(b >> CfgKickShift) & 3]) values.push_back(hk::RegistryValue::Dword(u"TxKickThreshold", v));
    if (ULONG v = ctlPolls[(b >> CfgCtlPollShift) & 3]) values.push_back(hk::RegistryValue::Dword(u"CtlPollPeriod", v));

    if (hk::LoadedDriver::Load(DriverEntry, kServiceKey, &driver_) != STATUS_SUCCESS) {
        Fail("the driver did not load");
        return false;
    }
    pipesim::Options options;
    options.registry = std::move(values);
    options.statusEndpoint = !(a & CfgNoStatusEndpoint);
    options.maxPacketIn = options.maxPacketOut = packets[(b >> CfgPacketShift) & 3];
    sim_ = std::make_unique<pipesim::PipeSim>(std::move(options));
    readsLater_ = a & CfgReadsLater;
    if (readsLater_) sim_->CompleteLater(pipesim::Kind::Read, 10000);
    if (a & CfgWritesLater) sim_->CompleteLater(pipesim::Kind::Write, 10000);
    stack_.emplace(sim_->Pdo());
    NTSTATUS status = stack_->AddDevice(*driver_);
    if (status != STATUS_SUCCESS) {
        Fail("AddDevice failed with " + Hex((ULONG)status));
        return false;
    }
    port_ = stack_->Top();
    status = stack_->Pnp(IRP_MN_START_DEVICE).status;
    if (status != STATUS_SUCCESS) {
        Fail("the start failed with " + Hex((ULONG)status));
        return false;
    }
    status = hk::File::Open(kDosName, &file_);
    if (status != STATUS_SUCCESS) {
        Fail("the open failed with " + Hex((ULONG)status));
        return false;
    }
    return finding_.empty();
}

void Session::Submit(Kind kind, ULONG code, ULONG length, std::shared_ptr<hk::Request> request)
{
    Tracked t{kind, code, length, request};
    std::string what = trace_ ? Describe(t) : std::string();
    std::shared_ptr<Bytes> received = kind == Kind::Read ? received_ : nullptr;
    if (received || trace_)
        request->OnComplete([received, what](const hk::Request& r) {
            if (received) received->insert(received->end(), r.Output().begin(), r.Output().end());
            if (!what.empty())
                std::fprintf(stderr, "  %s completed at %lld ms: %s, %s bytes\n", what.c_str(),
                             (long long)(hk::Now() / 10000), Hex((ULONG)r.Status()).c_str(),
                             std::to_string(r.Information()).c_str());
        });
    if (trace_) std::fprintf(stderr, "  %s submitted\n", what.c_str());
    requests_.push_back(std::move(t));
}

void Session::Ioctl(ULONG code)
{
    ULONG inLength = in_.U8();
    Bytes input = in_.Take(inLength);
    ULONG outLength = in_.U8();
    if (!file_) return;
    if (code == SerialCode(6)) writeCheck_ = false;  // the immediate character
    ULONG inSize = 0;
    if (inLength >= 4) std::memcpy(&inSize, input.data(), 4);
    bool tooLarge = code == IOCTL_SERIAL_SET_QUEUE_SIZE && inLength >= 8 && inSize > kPoolLimit;
    if (tooLarge) hk::FailPoolAllocation(1, kRingTag);
    Submit(Kind::Ioctl, code, outLength, file_->StartIoctl(code, input, outLength));
    // The request has been dispatched (waits and all): the fault goes before anything else can meet it.
    if (tooLarge) hk::ClearFaults();
}

void Session::Fault()
{
    auto pipe = (pipesim::Pipe)(in_.U8() % 4);
    auto kind = (pipesim::Kind)(in_.U8() % 8);
    uint8_t mode = in_.U8();
    uint8_t shortWrite = in_.U8();
    uint8_t times = in_.U8() % 5;
    uint8_t skip = in_.U8() % 4;
    pipesim::Fault f;
    f.status = mode & 0x40 ? STATUS_SUCCESS : kFailures[mode & 7];
    // Only transfers may stall: a pipe driver ends a stalled transfer when its pipe is
    // aborted, while the driver waits for its other requests without a timeout.
    f.stall = (mode & 0x08) && (kind == pipesim::Kind::Read || kind == pipesim::Kind::Write);
    f.zeroBytes = mode & 0x10;
    if (mode & 0x20) f.shortWrite = shortWrite;
    // The driver repeats an abort until its transfers end: an abort that always fails
    // would keep it waiting for ever, as on Windows.
    f.times = times ? times : kind == pipesim::Kind::Abort ? 1 : -1;
    f.skip = skip;
    // The pump reads again at once after a transfer that brought nothing (a cancelled
    // one counts as empty). A pipe driver that answers every read inside the call with
    // nothing would keep it reading for ever at one instant of the virtual clock (and
    // a processor in DPCs on Windows), so such a fault is finite here unless the pipe
    // driver answers reads from a timer.
    bool empty = (NT_SUCCESS(f.status) && f.zeroBytes) || f.status == STATUS_CANCELLED;
    if (pipe == pipesim::Pipe::DataIn && kind == pipesim::Kind::Read && empty && !f.stall && f.times < 0 &&
        !readsLater_)
        f.times = 4;
    if (kind == pipesim::Kind::Write && NT_SUCCESS(f.status) && (f.zeroBytes || f.shortWrite != MAXULONG))
        writeCheck_ = false;
    if (pipe == pipesim::Pipe::Status && kind == pipesim::Kind::Read) statusReadsStall_ = f.stall;
    sim_->InjectFault(pipe, kind, f);
}

void Session::CompleteHeld()
{
    static const pipesim::Pipe pipes[] = {pipesim::Pipe::DataOut, pipesim::Pipe::DataIn, pipesim::Pipe::Status};
    pipesim::Pipe pipe = pipes[in_.U8() % 3];
    uint8_t s = in_.U8();
    ULONG bytes = in_.U16();
    NTSTATUS status = s < 0x80 ? STATUS_SUCCESS : kFailures[s & 7];
    // A bulk IN read is given only bytes that were fed (the simulator makes up zeros
    // past them), and a write reports all it carried (the record keeps all of it).
    if (pipe == pipesim::Pipe::DataIn) bytes = std::min<ULONG>(bytes, (ULONG)sim_->PendingInBytes());
    if (pipe == pipesim::Pipe::DataOut) bytes = MAXULONG;
    sim_->CompleteHeld(pipe, status, bytes);
}

void Session::Wmi(uint8_t op)
{
    const GUID& guid = kWmiGuids[in_.U8() % kWmiGuidCount];
    switch (op) {
    case OpWmiQuery:
        hk::WmiQuerySingleInstance(port_, guid, in_.U16() % 1024);
        break;
    case OpWmiQueryAll:
        hk::WmiQueryAllData(port_, guid, in_.U16() % 1024);
        break;
    case OpWmiSet: {
        Bytes data = in_.Take(in_.U8());
        hk::WmiSetSingleInstance(port_, guid, data);
        break;
    }
    default: {
        ULONG item = in_.U8() % 4;
        Bytes data = in_.Take(in_.U8());
        hk::WmiSetSingleItem(port_, guid, item, data);
        break;
    }
    }
}

// Closes the handle and lets time run until the close has come; false (and a finding)
// when it does not.
bool Session::CloseHandle(const char* when)
{
    if (!file_) return true;
    file_->Close();
    hk::File* file = file_.get();
    if (!hk::RunUntil([file] { return file->Closed(); }, kCloseLimit)) {
        std::string pending;
        for (const Tracked& t : requests_)
            if (!t.request->Done()) pending += "\n  " + Describe(t);
        Fail(std::string("the close ") + when + " did not come; outstanding after cleanup:" + pending);
        return false;
    }
    file_.reset();
    return true;
}

// Everything the application has outstanding is cancelled and both sides purged;
// once the requests are back, neither queue holds anything.
void Session::CheckQueues()
{
    if (!file_ || surpriseRemoved_ || poweredDown_) return;
    file_->CancelIo();
    ULONG flags = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
    ULONG n = 0;
    file_->Ioctl(IOCTL_SERIAL_PURGE, &flags, sizeof flags, nullptr, 0, &n);
    auto& requests = requests_;
    auto allDone = [&requests] {
        return std::all_of(requests.begin(), requests.end(), [](const Tracked& t) { return t.request->Done(); });
    };
    if (!hk::RunUntil(allDone, kSettleLimit)) {
        Fail("requests outstanding after CancelIo and a purge of everything");
        return;
    }
    SERIAL_STATUS status{};
    if (file_->Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status, &n) != STATUS_SUCCESS) return;
    if (status.AmountInOutQueue || status.AmountInInQueue)
        Fail("after CancelIo and a purge of everything: AmountInOutQueue " + std::to_string(status.AmountInOutQueue) +
             ", AmountInInQueue " + std::to_string(status.AmountInInQueue));
}

void Session::Step(uint8_t op)
{
    switch (op % kOpCount) {
    case OpIoctl:
        Ioctl(in_.U32());
        break;
    case OpKnownIoctl: {
        const auto& codes = KnownIoctlCodes();
        Ioctl(codes[in_.U8() % codes.size()]);
        break;
    }
    case OpRead: {
        ULONG length = in_.U16() % 8192;
        if (file_) Submit(Kind::Read, 0, length, file_->StartRead(length));
        break;
    }
    case OpWrite: {
        ULONG length = in_.U16() % 8192;
        if (!file_) break;
        Bytes bytes(length);
        for (ULONG i = 0; i < length; ++i) bytes[i] = Pattern(written_ + i, 1);
        written_ += length;
        Submit(Kind::Write, 0, length, file_->StartWrite(bytes));
        break;
    }
    case OpCancel: {
        uint8_t index = in_.U8();
        std::vector<hk::Request*> live;
        for (const Tracked& t : requests_)
            if (!t.request->Done()) live.push_back(t.request.get());
        if (!live.empty()) live[index % live.size()]->Cancel();
        break;
    }
    case OpCancelIo:
        if (file_) file_->CancelIo();
        break;
    case OpPurge: {
        ULONG flags = in_.U8();
        if (!file_) break;
        Bytes mask(4);
        std::memcpy(mask.data(), &flags, 4);
        Submit(Kind::Ioctl, IOCTL_SERIAL_PURGE, 0, file_->StartIoctl(IOCTL_SERIAL_PURGE, mask, 0));
        break;
    }
    case OpAdvance: {
        uint8_t n = in_.U8();
        LONGLONG ms = n < 240 ? n : (LONGLONG)(n - 239) * 1000;
        // A flush may have taken the input past its budget: the clock never goes back.
        ms = std::max<LONGLONG>(0, std::min(ms, kTimeBudgetMs - advanced_));
        advanced_ += ms;
        hk::AdvanceMs(ms);
        break;
    }
    case OpFeed: {
        ULONG length = in_.U8();
        uint8_t flags = in_.U8();
        if (flags & 0x80) length *= 8;
        Bytes bytes(length);
        for (ULONG i = 0; i < length; ++i) bytes[i] = Pattern(fed_ + i, 0);
        fed_ += length;
        // Nothing to feed is left out: the simulator copies from an empty chunk's
        // missing buffer (undefined behaviour there, not in the driver).
        if (length) sim_->Feed(bytes, !(flags & 0x01));
        break;
    }
    case OpSetLines:
        sim_->SetLines(in_.U8());
        break;
    case OpInjectFault:
        Fault();
        break;
    case OpClearFaults:
        sim_->ClearFaults();
        statusReadsStall_ = false;
        break;
    case OpCompleteHeld:
        CompleteHeld();
        break;
    case OpWmiQuery:
    case OpWmiQueryAll:
    case OpWmiSet:
    case OpWmiSetItem:
        Wmi(op % kOpCount);
        break;
    case OpFlush: {
        if (!file_ || advanced_ >= kTimeBudgetMs) break;
        LONGLONG start = hk::Now();
        Submit(Kind::Flush, 0, 0, file_->StartFlush());
        advanced_ += (hk::Now() - start) / 10000;
        break;
    }
    case OpPowerDown: {
        uint8_t n = in_.U8();
        auto state = (DEVICE_POWER_STATE)(PowerDeviceD1 + n % 3);
        // A query for a low-power state stops the port's machinery as the change does.
        if (n & 0x80)
            stack_->QueryDevicePower(state);
        else
            stack_->SetDevicePower(state);
        poweredDown_ = true;
        break;
    }
    case OpPowerUp:
        stack_->SetDevicePower(PowerDeviceD0);
        poweredDown_ = false;
        break;
    case OpReopen:
        if (!CloseHandle("before a reopen")) break;
        if (statusReadsStall_) sim_->InjectFault(pipesim::Pipe::Status, pipesim::Kind::Read, pipesim::Fault{});
        statusReadsStall_ = false;
        // A refused open (a fault on the pipes, a removal) leaves the port without a
        // handle until the next reopen.
        hk::File::Open(kDosName, &file_);
        break;
    case OpSurpriseRemoval:
        if (!surpriseRemoved_) stack_->Pnp(IRP_MN_SURPRISE_REMOVAL);
        surpriseRemoved_ = true;
        break;
    case OpSubmitCancelled:
        if (file_) file_->SubmitNextCancelled();
        break;
    case OpCheckQueues:
        CheckQueues();
        break;
    default:
        break;
    }
}

// What every request of the run must show once it is back.
void Session::CheckRequests()
{
    for (const Tracked& t : requests_) {
        const hk::Request& r = *t.request;
        if (trace_)
            std::fprintf(stderr, "%s: %s, %s bytes\n", Describe(t).c_str(),
                         r.Done() ? Hex((ULONG)r.Status()).c_str() : "outstanding",
                         std::to_string(r.Information()).c_str());
        if (!r.Done()) {
            Fail("never completed: " + Describe(t));
            return;
        }
        // A failed write reports the bytes its earlier passes sent (a data pass that went
        // out before its zero-length pass failed, say); any other failure reports none.
        if (NT_ERROR(r.Status()) && r.Information() != 0 && t.kind != Kind::Write) {
            Fail(Describe(t) + " failed with " + Hex((ULONG)r.Status()) + " but reports " +
                 std::to_string(r.Information()) + " bytes");
            return;
        }
        if ((t.kind == Kind::Read || t.kind == Kind::Write) && r.Information() > t.length) {
            Fail(Describe(t) + " reports " + std::to_string(r.Information()) + " bytes");
            return;
        }
    }
    if (!SubsequenceOfStream(*received_, fed_, 0))
        Fail("the application read " + std::to_string(received_->size()) +
             " bytes that are not in order a sub-sequence of the " + std::to_string(fed_) + " the adapter received");
    if (trace_)
        std::fprintf(stderr, "read %zu of %llu bytes fed; the adapter was sent %zu of %llu bytes written\n",
                     received_->size(), (unsigned long long)fed_, sim_ ? sim_->OutBytes().size() : 0,
                     (unsigned long long)written_);
    if (writeCheck_ && sim_) {
        Bytes out = sim_->OutBytes();
        if (!SubsequenceOfStream(out, written_, 1))
            Fail("the adapter was sent " + std::to_string(out.size()) +
                 " bytes that are not in order a sub-sequence of the " + std::to_string(written_) + " written");
    }
}

void Session::Teardown()
{
    // The handle is closed even after a finding: left open, its close would come from
    // the destructor below, sent to a device whose pipe driver is gone. A handle whose
    // close never came keeps the device: the PnP manager would not remove it, and a
    // removal here would have the late close sent to a deleted device. The finding
    // stands; the kernel's reset throws the rest away.
    bool closed = !file_ || CloseHandle("at the end");
    if (stack_ && port_) {
        CheckRequests();
        if (trace_) std::fprintf(stderr, "removal at %lld ms, %zu timers armed\n", (long long)(hk::Now() / 10000),
                                 hk::ArmedTimerCount());
        if (closed) stack_->Remove();
    }
    if (driver_ && closed) driver_->Unload();
    driver_.reset();
    stack_.reset();
    sim_.reset();

    auto seen = hk::TakeViolations();
    if (!seen.empty()) Fail("the verifier reported:\n" + hk::Describe(seen));
    auto pool = hk::OutstandingPool();
    if (!pool.empty()) {
        std::string blocks;
        for (const auto& p : pool) blocks += " " + hk::TagText(p.tag) + "/" + std::to_string(p.size);
        Fail("pool left after the unload:" + blocks);
    }
    if (hk::OutstandingIrps()) Fail(std::to_string(hk::OutstandingIrps()) + " IRPs left after the unload");
    if (hk::OutstandingMdls()) Fail(std::to_string(hk::OutstandingMdls()) + " MDLs left after the unload");
    if (hk::OpenRegistryHandles()) Fail(std::to_string(hk::OpenRegistryHandles()) + " registry handles left open");
    if (hk::names::LinkExists(kDosName)) Fail("the DOS name outlived the removal");
    if (!hk::registry::ValueNames(hk::registry::DeviceMapKey(u"SERIALCOMM")).empty())
        Fail("a SERIALCOMM value outlived the removal");

    // The requests hold the file object; they go before the kernel they live in.
    requests_.clear();
    file_.reset();
    hk::Shutdown();
    hk::Reset(hk::ClockMode::Virtual);
    seen = hk::TakeViolations();
    if (!seen.empty()) Fail("at the kernel's reset:\n" + hk::Describe(seen));
}

}  // namespace

const std::vector<uint32_t>& KnownIoctlCodes()
{
    static const std::vector<uint32_t> codes = [] {
        std::vector<uint32_t> c;
        for (ULONG f = 1; f <= 39; ++f) c.push_back(SerialCode(f));
        c.push_back(SerialCode(200));  // the private receive-pipe reset
        c.push_back(SerialCode(201));  // the private transmit-pipe reset
        // Codes the driver must refuse: a serial function it does not have, the
        // serial functions with another method or access, another device's code.
        c.push_back(SerialCode(40));
        c.push_back(SerialCode(202));
        c.push_back(SerialCode(1, METHOD_NEITHER));
        c.push_back(SerialCode(19, METHOD_IN_DIRECT));
        c.push_back(SerialCode(18, METHOD_OUT_DIRECT));
        c.push_back(SerialCode(200, METHOD_BUFFERED, FILE_READ_ACCESS));
        c.push_back(CTL_CODE(0x23, 9, METHOD_BUFFERED, FILE_ANY_ACCESS));  // the pipe driver's control transfer
        return c;
    }();
    return codes;
}

std::string RunRequestSurface(const uint8_t* data, size_t size) { return Session(data, size).Run(); }

}  // namespace fuzz
