#include "chaos/chaos.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "chaos/streams.h"
#include "driver/port_extension.h"
#include "hostkernel/frontend.h"
#include "hostkernel/host.h"
#include "pipesim/pipesim.h"
#include "support/driver_under_test.h"

namespace chaos {
namespace {

using Clock = std::chrono::steady_clock;
using pipesim::Kind;
using pipesim::Pipe;

const std::u16string kPortName = u"COM7";
const std::u16string kRegistryPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vcomusb";
constexpr uint8_t kImmediate = 0xFF;   // write streams never carry it
constexpr size_t kTail = 64;           // stream bytes fed after the chaos, for the drain reads only
constexpr size_t kFeedBacklog = 32768;  // the adapter feeds no more while this much waits

uint64_t Mix(uint64_t a, uint64_t b = 0)
{
    uint64_t x = a * 0x9E3779B97F4A7C15ull + b + 0x632BE59BD9B4E019ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

using Rng = std::mt19937_64;

template <typename T>
T Pick(Rng& r, std::initializer_list<T> values)
{
    return *(values.begin() + r() % values.size());
}

std::string Hex32(uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

template <typename T>
std::vector<UCHAR> AsBytes(const T& value)
{
    return std::vector<UCHAR>((const UCHAR*)&value, (const UCHAR*)&value + sizeof value);
}

std::vector<UCHAR> Ulong(ULONG v) { return AsBytes(v); }

const char* IoctlName(ULONG code)
{
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: return "SET_BAUD_RATE";
    case IOCTL_SERIAL_SET_LINE_CONTROL: return "SET_LINE_CONTROL";
    case IOCTL_SERIAL_SET_BREAK_ON: return "SET_BREAK_ON";
    case IOCTL_SERIAL_SET_BREAK_OFF: return "SET_BREAK_OFF";
    case IOCTL_SERIAL_IMMEDIATE_CHAR: return "IMMEDIATE_CHAR";
    case IOCTL_SERIAL_SET_TIMEOUTS: return "SET_TIMEOUTS";
    case IOCTL_SERIAL_GET_TIMEOUTS: return "GET_TIMEOUTS";
    case IOCTL_SERIAL_SET_DTR: return "SET_DTR";
    case IOCTL_SERIAL_CLR_DTR: return "CLR_DTR";
    case IOCTL_SERIAL_RESET_DEVICE: return "RESET_DEVICE";
    case IOCTL_SERIAL_SET_RTS: return "SET_RTS";
    case IOCTL_SERIAL_CLR_RTS: return "CLR_RTS";
    case IOCTL_SERIAL_SET_XOFF: return "SET_XOFF";
    case IOCTL_SERIAL_SET_XON: return "SET_XON";
    case IOCTL_SERIAL_GET_WAIT_MASK: return "GET_WAIT_MASK";
    case IOCTL_SERIAL_SET_WAIT_MASK: return "SET_WAIT_MASK";
    case IOCTL_SERIAL_WAIT_ON_MASK: return "WAIT_ON_MASK";
    case IOCTL_SERIAL_PURGE: return "PURGE";
    case IOCTL_SERIAL_GET_BAUD_RATE: return "GET_BAUD_RATE";
    case IOCTL_SERIAL_GET_LINE_CONTROL: return "GET_LINE_CONTROL";
    case IOCTL_SERIAL_GET_CHARS: return "GET_CHARS";
    case IOCTL_SERIAL_SET_CHARS: return "SET_CHARS";
    case IOCTL_SERIAL_GET_HANDFLOW: return "GET_HANDFLOW";
    case IOCTL_SERIAL_SET_HANDFLOW: return "SET_HANDFLOW";
    case IOCTL_SERIAL_GET_MODEMSTATUS: return "GET_MODEMSTATUS";
    case IOCTL_SERIAL_GET_COMMSTATUS: return "GET_COMMSTATUS";
    case IOCTL_SERIAL_GET_PROPERTIES: return "GET_PROPERTIES";
    case IOCTL_SERIAL_GET_DTRRTS: return "GET_DTRRTS";
    case IOCTL_SERIAL_CONFIG_SIZE: return "CONFIG_SIZE";
    case IOCTL_SERIAL_GET_STATS: return "GET_STATS";
    case IOCTL_SERIAL_CLEAR_STATS: return "CLEAR_STATS";
    case IOCTL_SERIAL_GET_MODEM_CONTROL: return "GET_MODEM_CONTROL";
    case IOCTL_SERIAL_SET_MODEM_CONTROL: return "SET_MODEM_CONTROL";
    default: return "IOCTL";
    }
}

// One request of the run, from before its dispatch to the end of the run.
struct Op {
    enum Kind { Read, Write, Ioctl, Flush };
    uint64_t id = 0;
    int thread = 0;  // an application thread's index; -1 the main thread
    Kind kind = Ioctl;
    ULONG code = 0;
    ULONG length = 0;     // reads and writes
    uint64_t offset = 0;  // writes: the first byte's place in the write stream
    std::string what;
    Clock::time_point issued;
    std::shared_ptr<hk::Request> request;  // under Harness::opsLock_; null while in dispatch
    std::atomic<int> completions{0};
};

enum class AdapterMode { Chaos, Drain, Stop };

const char* const kPhaseNames[] = {"setup", "chaos", "drain", "close", "removal", "checks", "teardown"};
enum Phase { kSetup, kChaos, kDrain, kClose, kRemoval, kChecks, kTeardown };

class Harness {
public:
    Harness(const Plan& plan, const Limits& limits) : plan_(plan), limits_(limits) {}

    Result Go()
    {
        auto start = Clock::now();
        start_ = start;
        watchdog_ = std::thread([this] { Watch(); });
        if (Setup()) {
            Chaos();
            Finish();
        }
        Teardown();
        {
            std::lock_guard<std::mutex> g(watchLock_);
            watchStop_ = true;
        }
        watchCv_.notify_all();
        watchdog_.join();
        result_.plan = plan_;
        result_.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return result_;
    }

private:
    // ---- Bookkeeping --------------------------------------------------------------------

    void Failure(const std::string& what)
    {
        std::lock_guard<std::mutex> g(failLock_);
        result_.failures.push_back(what);
    }

    // A request was issued or completed, or the run moved on: the watchdog's sign of life,
    // and what the adapter and the waiting threads wake up for.
    void Progress()
    {
        progress_.fetch_add(1);
        { std::lock_guard<std::mutex> g(progressLock_); }
        progressCv_.notify_all();
    }

    std::shared_ptr<Op> Track(int thread, Op::Kind kind, ULONG code, std::string what, const std::function<std::shared_ptr<hk::Request>()>& start,
                              ULONG length = 0, uint64_t offset = 0)
    {
        auto op = std::make_shared<Op>();
        op->thread = thread;
        op->kind = kind;
        op->code = code;
        op->length = length;
        op->offset = offset;
        op->what = std::move(what);
        op->issued = Clock::now();
        {
            std::lock_guard<std::mutex> g(opsLock_);
            op->id = ops_.size();
            ops_.push_back(op);
        }
        Progress();
        std::shared_ptr<hk::Request> request = start();
        {
            std::lock_guard<std::mutex> g(opsLock_);
            op->request = request;
        }
        Op* raw = op.get();
        request->OnComplete([this, raw](const hk::Request&) {
            raw->completions.fetch_add(1);
            Progress();
        });
        requests_.fetch_add(1);
        return op;
    }

    std::shared_ptr<Op> Control(int thread, ULONG code, std::vector<UCHAR> in, ULONG outLength, std::string detail = {})
    {
        std::string what = std::string(IoctlName(code)) + (detail.empty() ? "" : " " + detail) + " in " +
                           std::to_string(in.size()) + " out " + std::to_string(outLength);
        return Track(thread, Op::Ioctl, code, what, [&] { return file_->StartIoctl(code, in, outLength); });
    }

    std::shared_ptr<Op> Read(int thread, ULONG length)
    {
        // Reads enter the driver's queue one at a time, so that their order there is the
        // order of `reads_` and the received bytes can be checked against the stream.
        std::lock_guard<std::mutex> g(readIssueLock_);
        auto op = Track(thread, Op::Read, 0, "READ " + std::to_string(length), [&] { return file_->StartRead(length); }, length);
        reads_.push_back(op);
        return op;
    }

    std::shared_ptr<Op> Write(int thread, ULONG length)
    {
        // Likewise for writes, whose bytes are the write stream's next `length` bytes.
        std::lock_guard<std::mutex> g(writeIssueLock_);
        uint64_t offset = writeStream_.size();
        Bytes bytes = StreamBytes(Mix(plan_.seed, 1), offset, length, true);
        writeStream_.insert(writeStream_.end(), bytes.begin(), bytes.end());
        auto op = Track(thread, Op::Write, 0, "WRITE " + std::to_string(length) + " at " + std::to_string(offset),
                        [&] { return file_->StartWrite(bytes); }, length, offset);
        writes_.push_back(op);
        return op;
    }

    // Waits for a request until `deadline`; false when it has not completed by then.
    bool Await(const Op& op, std::optional<Clock::time_point> deadline)
    {
        std::unique_lock<std::mutex> lk(progressLock_);
        auto done = [&] { return op.completions.load() > 0; };
        if (!deadline) {
            progressCv_.wait(lk, done);
            return true;
        }
        return progressCv_.wait_until(lk, *deadline, done);
    }

    // As an application that gives up on a request: waits a random while, then cancels it
    // and waits for it to end. A request nothing can cancel ends when the adapter lets it
    // go; one that never ends is the watchdog's.
    void AwaitOrCancel(Op& op, Rng& r)
    {
        if (Await(op, Clock::now() + std::chrono::microseconds(r() % 20000))) return;
        std::shared_ptr<hk::Request> request;
        {
            std::lock_guard<std::mutex> g(opsLock_);
            request = op.request;
        }
        request->Cancel();
        cancels_.fetch_add(1);
        Await(op, std::nullopt);
    }

    // ---- Setup ----------------------------------------------------------------------------

    bool Setup()
    {
        hk::Reset(hk::ClockMode::Real);
        auto stale = hk::TakeViolations();
        if (!stale.empty()) Failure("verifier reports from before the run:\n" + hk::Describe(stale));
        if (LoadDriverUnderTest(kRegistryPath, &driver_) != STATUS_SUCCESS) {
            Failure("the driver did not load");
            return false;
        }
        poolAtLoad_ = hk::OutstandingPool().size();
        irpsAtLoad_ = hk::OutstandingIrps();
        mdlsAtLoad_ = hk::OutstandingMdls();
        handlesAtLoad_ = hk::OpenRegistryHandles();

        pipesim::Options o;
        o.registry = {
            hk::RegistryValue::String(u"PortName", kPortName),
            hk::RegistryValue::Dword(u"TxAsync", plan_.buffered),
            hk::RegistryValue::Dword(u"RxReqSize", plan_.rxReqSize),
            hk::RegistryValue::Dword(u"RxPollPeriod", plan_.rxPollPeriod),
            hk::RegistryValue::Dword(u"CtlPollPeriod", plan_.ctlPollPeriod),
            hk::RegistryValue::Dword(u"TxKickThreshold", plan_.txKickThreshold),
            hk::RegistryValue::Dword(u"TxAllowNullPacket", plan_.txAllowNullPacket),
            hk::RegistryValue::Dword(u"NoBaudCheck", plan_.noBaudCheck),
            hk::RegistryValue::Dword(u"EndPointCaps", plan_.endPointCaps),
        };
        o.statusEndpoint = plan_.statusEndpoint;
        o.deviceFlags = plan_.powerPageable ? DO_POWER_PAGABLE : 0;
        o.maxPacketIn = plan_.maxPacketIn;
        o.maxPacketOut = plan_.maxPacketOut;
        {
            std::lock_guard<std::mutex> g(simLock_);
            sim_ = std::make_unique<pipesim::PipeSim>(std::move(o));
        }
        stack_.emplace(sim_->Pdo());
        NTSTATUS status = stack_->AddDevice(*driver_);
        if (status != STATUS_SUCCESS) {
            Failure("AddDevice failed with " + Hex32(status));
            return false;
        }
        portAdded_ = true;
        portDevice_ = stack_->Top();
        auto started = stack_->Pnp(IRP_MN_START_DEVICE);
        if (started.status != STATUS_SUCCESS) {
            Failure("the start failed with " + Hex32(started.status));
            return false;
        }
        status = hk::File::Open(u"\\DosDevices\\" + kPortName, &file_);
        if (status != STATUS_SUCCESS) {
            Failure("the open failed with " + Hex32(status));
            return false;
        }
        return true;
    }

    // ---- The chaos ------------------------------------------------------------------------

    void Chaos()
    {
        phase_ = kChaos;
        Progress();
        appsIssuing_ = plan_.appThreads;
        std::vector<std::unique_ptr<hk::Thread>> apps;
        for (int t = 0; t < plan_.appThreads; ++t) apps.push_back(std::make_unique<hk::Thread>([this, t] { App(t); }, "application"));
        hk::Thread adapter([this] { Adapter(); }, "adapter");
        std::unique_ptr<hk::Thread> system;
        if (plan_.rough || !plan_.powerAt.empty()) system = std::make_unique<hk::Thread>([this] { System(); }, "system");

        {
            std::unique_lock<std::mutex> lk(progressLock_);
            progressCv_.wait(lk, [&] { return appsIssuing_.load() == 0; });
        }
        systemStop_ = true;
        Progress();
        if (system) system->Join();
        // The adapter lets go of everything it holds and stops failing, stalling and
        // feeding, so that every request the applications still wait for can end.
        adapterMode_ = AdapterMode::Drain;
        Progress();
        {
            std::unique_lock<std::mutex> lk(progressLock_);
            progressCv_.wait(lk, [&] { return drainAck_.load(); });
        }
        for (auto& a : apps) a->Join();

        if (!removed_) Drain();
        phase_ = kClose;
        Progress();
        file_->Close();
        file_->WaitClosed();
        file_.reset();
        phase_ = kRemoval;
        Progress();
        auto removal = stack_->Remove();
        systemEvents_.fetch_add(1);
        if (removal.status != STATUS_SUCCESS) Failure("the removal failed with " + Hex32(removal.status));
        portAdded_ = false;

        adapterMode_ = AdapterMode::Stop;
        Progress();
        adapter.Join();
    }

    void App(int t)
    {
        Rng r(Mix(plan_.seed, 100 + t));
        size_t window = 1 + r() % 6;  // requests this thread keeps outstanding
        std::deque<std::shared_ptr<Op>> mine;
        while (appOps_.fetch_add(1) < plan_.requests) {
            if (auto op = Issue(t, r)) mine.push_back(op);
            mine.erase(std::remove_if(mine.begin(), mine.end(), [](const std::shared_ptr<Op>& o) { return o->completions.load() > 0; }),
                       mine.end());
            while (mine.size() > window) {
                AwaitOrCancel(*mine.front(), r);
                mine.pop_front();
            }
        }
        appsIssuing_.fetch_sub(1);
        Progress();
        for (auto& op : mine) AwaitOrCancel(*op, r);
    }

    // One random action of an application thread: a request, or a cancel.
    std::shared_ptr<Op> Issue(int t, Rng& r)
    {
        bool gone = removed_.load();
        int pick = (int)(r() % 1000);
        if ((pick -= 220) < 0) {
            ULONG length = r() % 100 == 0 ? 0 : r() % 5 < 2 ? 1 + r() % 16 : r() % 5 < 4 ? 17 + r() % 1008 : 1025 + r() % 7168;
            return Read(t, length);
        }
        if ((pick -= 220) < 0) {
            ULONG packet = plan_.maxPacketOut;
            int kind = (int)(r() % 100);
            ULONG length = kind < 1 ? 0 : kind < 30 ? 1 + r() % 8 : kind < 70 ? 9 + r() % 504 : kind < 85 ? packet * (1 + r() % 8)
                           : kind < 95 ? 513 + r() % 3584 : 4097 + r() % 5000;
            return Write(t, length);
        }
        if ((pick -= 50) < 0) return SetTimeouts(t, r);
        if ((pick -= 35) < 0) return Control(t, IOCTL_SERIAL_WAIT_ON_MASK, {}, r() % 10 ? 4 : 0);
        if ((pick -= 25) < 0) {
            ULONG mask = (ULONG)(r() & 0x1FFF);
            if (r() % 20 == 0) mask |= 0x10000;
            return Control(t, IOCTL_SERIAL_SET_WAIT_MASK, Ulong(mask), 0, Hex32(mask));
        }
        if ((pick -= 5) < 0) return Control(t, IOCTL_SERIAL_GET_WAIT_MASK, {}, 4);
        if ((pick -= 30) < 0) {
            if (!plan_.rough) return Read(t, 1 + r() % 64);
            ULONG flags = (ULONG)(r() % 16);
            if (r() % 16 == 0) flags |= 0x100;
            purges_.fetch_add(1);
            std::vector<UCHAR> in = Ulong(flags);
            if (r() % 30 == 0) in.resize(2);
            return Control(t, IOCTL_SERIAL_PURGE, in, 0, Hex32(flags));
        }
        if ((pick -= 60) < 0) {
            CancelOne(r);
            return nullptr;
        }
        if ((pick -= 3) < 0) {
            file_->CancelIo();
            cancels_.fetch_add(1);
            return nullptr;
        }
        if ((pick -= 20) < 0) {
            ULONG rate = Pick<ULONG>(r, {110, 300, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 230400, 460800,
                                         921600, 12345, 0});
            return Control(t, IOCTL_SERIAL_SET_BAUD_RATE, Ulong(rate), 0, std::to_string(rate));
        }
        if ((pick -= 15) < 0) {
            SERIAL_LINE_CONTROL lc;
            if (r() % 4) {
                lc = {Pick<UCHAR>(r, {STOP_BIT_1, STOP_BITS_2}), (UCHAR)(r() % 3), Pick<UCHAR>(r, {7, 8})};
            } else {
                lc = {(UCHAR)(r() % 4), (UCHAR)(r() % 6), (UCHAR)(4 + r() % 6)};
            }
            return Control(t, IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(lc), 0);
        }
        if ((pick -= 15) < 0) {
            SERIAL_HANDFLOW hf;
            hf.ControlHandShake = (ULONG)(r() & (SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE |
                                                  SERIAL_DCD_HANDSHAKE | SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT));
            hf.FlowReplace = (ULONG)(r() & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING |
                                             SERIAL_BREAK_CHAR | SERIAL_RTS_MASK | SERIAL_XOFF_CONTINUE));
            hf.XonLimit = (LONG)(r() % 4097);
            hf.XoffLimit = (LONG)(r() % 4097);
            if (r() % 10 == 0) hf.ControlHandShake |= 0x4;
            if (r() % 10 == 0) hf.XoffLimit = 5000;
            return Control(t, IOCTL_SERIAL_SET_HANDFLOW, AsBytes(hf), 0,
                           Hex32(hf.ControlHandShake) + " " + Hex32(hf.FlowReplace) + " " + std::to_string(hf.XonLimit) + "/" +
                               std::to_string(hf.XoffLimit));
        }
        if ((pick -= 10) < 0) {
            SERIAL_CHARS c;
            for (UCHAR* b = (UCHAR*)&c; b < (UCHAR*)(&c + 1); ++b) *b = (UCHAR)r();
            return Control(t, IOCTL_SERIAL_SET_CHARS, AsBytes(c), r() % 20 ? 0 : 3);
        }
        if ((pick -= 20) < 0) {
            ULONG code = Pick<ULONG>(r, {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_CHARS,
                                         IOCTL_SERIAL_GET_HANDFLOW, IOCTL_SERIAL_GET_TIMEOUTS});
            ULONG out = r() % 15 ? 32 : (ULONG)(r() % 4);
            return Control(t, code, {}, out);
        }
        if ((pick -= 40) < 0) {
            ULONG code = Pick<ULONG>(r, {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS,
                                         IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS,
                                         IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF});
            return Control(t, code, {}, 0);
        }
        if ((pick -= 25) < 0) {
            ULONG code = Pick<ULONG>(r, {IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_GET_DTRRTS,
                                         IOCTL_SERIAL_GET_MODEM_CONTROL});
            return Control(t, code, {}, r() % 15 ? 4 : 2);
        }
        if ((pick -= 30) < 0) return Control(t, IOCTL_SERIAL_GET_COMMSTATUS, {}, r() % 15 ? sizeof(SERIAL_STATUS) : 8);
        if ((pick -= 15) < 0) return Control(t, IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS));
        if ((pick -= 5) < 0) return Control(t, IOCTL_SERIAL_CLEAR_STATS, {}, 0);
        if ((pick -= 5) < 0) return Control(t, IOCTL_SERIAL_GET_PROPERTIES, {}, r() % 4 ? sizeof(SERIAL_COMMPROP) : 16);
        if ((pick -= 3) < 0) return Control(t, IOCTL_SERIAL_CONFIG_SIZE, {}, 4);
        if ((pick -= 3) < 0) return Control(t, Pick<ULONG>(r, {IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_RESET_DEVICE}), {}, 0);
        if ((pick -= 3) < 0) return Control(t, IOCTL_SERIAL_SET_MODEM_CONTROL, Ulong((ULONG)(r() % 8)), 0);
        if ((pick -= 20) < 0) {
            std::vector<UCHAR> in{kImmediate};
            if (r() % 30 == 0) in.clear();
            return Control(t, IOCTL_SERIAL_IMMEDIATE_CHAR, in, 0);
        }
        // A flush waits for the transmitter; after a removal it would wait its whole
        // patience for a ring that no longer drains.
        if (!plan_.removal && !gone && (pick -= 4) < 0)
            return Track(t, Op::Flush, 0, "FLUSH", [&] { return file_->StartFlush(); });
        return Read(t, 1 + r() % 512);
    }

    std::shared_ptr<Op> SetTimeouts(int t, Rng& r)
    {
        SERIAL_TIMEOUTS to{};
        switch (r() % 16) {
        case 0: case 1: to = {MAXULONG, 0, 0, 0, 0}; break;                           // at once with what there is
        case 2: case 3: case 4: to = {MAXULONG, MAXULONG, (ULONG)(1 + r() % 40), 0, 0}; break;  // at the first bytes
        case 5: to = {0, 0, 0, 0, 0}; break;                                           // full, without timers
        case 6: to = {MAXULONG, MAXULONG, MAXULONG, 0, 0}; break;                      // refused
        default:
            to = {(ULONG)(r() % 20), (ULONG)(r() % 3), (ULONG)(r() % 60), 0, 0};
            if (!to.ReadIntervalTimeout && !to.ReadTotalTimeoutMultiplier && !to.ReadTotalTimeoutConstant) to.ReadTotalTimeoutConstant = 10;
        }
        if (r() % 2) {
            to.WriteTotalTimeoutMultiplier = (ULONG)(r() % 2);
            to.WriteTotalTimeoutConstant = (ULONG)(1 + r() % 50);
        }
        std::ostringstream s;
        s << to.ReadIntervalTimeout << "/" << to.ReadTotalTimeoutMultiplier << "/" << to.ReadTotalTimeoutConstant << " write "
          << to.WriteTotalTimeoutMultiplier << "/" << to.WriteTotalTimeoutConstant;
        return Control(t, IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(to), 0, s.str());
    }

    // Cancels one of the latest requests, of any thread.
    void CancelOne(Rng& r)
    {
        std::shared_ptr<hk::Request> victim;
        {
            std::lock_guard<std::mutex> g(opsLock_);
            if (ops_.empty()) return;
            size_t back = std::min<size_t>(ops_.size(), 64);
            victim = ops_[ops_.size() - 1 - r() % back]->request;
        }
        if (!victim || victim->Done()) return;
        victim->Cancel();
        cancels_.fetch_add(1);
    }

    // ---- The adapter ----------------------------------------------------------------------

    void Adapter()
    {
        Rng r(Mix(plan_.seed, 7));
        uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lk(progressLock_);
                progressCv_.wait_for(lk, std::chrono::milliseconds(1), [&] { return progress_.load() != seen; });
            }
            seen = progress_.load();
            AdapterMode mode = adapterMode_.load();
            if (mode == AdapterMode::Stop) {
                DrainAdapter();
                return;
            }
            if (mode == AdapterMode::Drain) {
                DrainAdapter();
                if (!drainAck_.exchange(true)) Progress();
                continue;
            }
            if (removed_ && plan_.adapterGone) {
                Vanish();
                continue;
            }
            Act(r);
        }
    }

    void Feed(Rng& r)
    {
        if (sim_->PendingInBytes() >= kFeedBacklog) return;
        size_t n = r() % 100 < 50 ? 1 + r() % 64 : r() % 100 < 70 ? 65 + r() % 960 : 1025 + r() % 7168;
        FeedStream(n, r() % 4 != 0);
    }

    void FeedStream(size_t n, bool packetized)
    {
        Bytes bytes = StreamBytes(Mix(plan_.seed, 2), fedStream_.size(), n, false);
        fedStream_.insert(fedStream_.end(), bytes.begin(), bytes.end());
        sim_->Feed(std::vector<UCHAR>(bytes.begin(), bytes.end()), packetized);
    }

    // What a held request of `pipe` is released with: the bytes a read gets never go past
    // what was fed, which would make the simulator invent zeros.
    ULONG ReleaseBytes(Pipe pipe, Rng* r)
    {
        switch (pipe) {
        case Pipe::DataIn: {
            size_t pending = sim_->PendingInBytes();
            return (ULONG)std::min<size_t>(pending, r ? (*r)() % 2048 : pending);
        }
        case Pipe::Status: return 1;
        case Pipe::DataOut: return MAXULONG;
        default: return 0;
        }
    }

    void Act(Rng& r)
    {
        adapterEvents_.fetch_add(1);
        static const Kind kinds[] = {Kind::Read, Kind::Write, Kind::ControlTransfer, Kind::Abort, Kind::Reset};
        static const Pipe pipes[] = {Pipe::DataIn, Pipe::DataOut, Pipe::Status, Pipe::Control};
        int pick = (int)(r() % 100);
        if (pick < 30) {
            Feed(r);
        } else if (pick < 37) {
            sim_->SetLines((UCHAR)(r() & 0x0F));
        } else if (pick < 45) {
            Kind kind = kinds[r() % 5];
            if (r() % 2)
                sim_->CompleteSynchronously(kind);
            else
                sim_->CompleteLater(kind, (LONGLONG)(r() % 20001));
        } else if (pick < 52) {
            pipesim::Fault f;
            f.stall = true;
            f.times = 1 + (int)(r() % 2);
            f.skip = (int)(r() % 3);
            auto [pipe, kind] = Pick<std::pair<Pipe, Kind>>(
                r, {{Pipe::DataIn, Kind::Read}, {Pipe::DataIn, Kind::Read}, {Pipe::Status, Kind::Read},
                    {Pipe::DataOut, Kind::Write}, {Pipe::DataOut, Kind::Write}, {Pipe::Control, Kind::ControlTransfer},
                    {Pipe::DataOut, Kind::Abort}, {Pipe::DataIn, Kind::Abort}, {Pipe::DataOut, Kind::Reset}});
            sim_->InjectFault(pipe, kind, f);
        } else if (pick < 56) {
            sim_->HoldNext(kinds[r() % 5]);
        } else if (pick < 80) {
            Pipe pipe = pipes[r() % 4];
            NTSTATUS status = plan_.rough && r() % 8 == 0 ? STATUS_DEVICE_DATA_ERROR : STATUS_SUCCESS;
            sim_->CompleteHeld(pipe, status, ReleaseBytes(pipe, &r));
        } else if (pick < 83) {
            pipesim::Fault f;
            f.zeroBytes = true;
            f.times = 1 + (int)(r() % 3);
            sim_->InjectFault(Pipe::DataIn, Kind::Read, f);
        } else if (pick < 88 && plan_.rough) {
            pipesim::Fault f;
            f.status = Pick<NTSTATUS>(r, {STATUS_DEVICE_DATA_ERROR, STATUS_UNSUCCESSFUL, STATUS_IO_TIMEOUT, STATUS_DEVICE_NOT_CONNECTED});
            f.times = 1;
            f.skip = (int)(r() % 3);
            auto [pipe, kind] = Pick<std::pair<Pipe, Kind>>(
                r, {{Pipe::DataOut, Kind::Write}, {Pipe::DataOut, Kind::Write}, {Pipe::DataOut, Kind::Write},
                    {Pipe::Control, Kind::ControlTransfer}, {Pipe::Control, Kind::ControlTransfer}, {Pipe::Status, Kind::Read},
                    {Pipe::DataIn, Kind::Read}, {Pipe::DataOut, Kind::Reset}});
            sim_->InjectFault(pipe, kind, f);
        } else {
            Feed(r);
        }
    }

    // The adapter was pulled out: every transfer fails from now on, and what it held
    // ends with the same failure.
    void Vanish()
    {
        if (!vanished_) {
            vanished_ = true;
            pipesim::Fault f;
            f.status = STATUS_DEVICE_NOT_CONNECTED;
            std::initializer_list<std::pair<Pipe, Kind>> all = {
                {Pipe::DataIn, Kind::Read},  {Pipe::Status, Kind::Read},  {Pipe::DataOut, Kind::Write}, {Pipe::Control, Kind::ControlTransfer},
                {Pipe::DataOut, Kind::Reset}, {Pipe::DataIn, Kind::Reset}, {Pipe::Status, Kind::Reset}};
            for (auto [pipe, kind] : all) sim_->InjectFault(pipe, kind, f);
            adapterEvents_.fetch_add(1);
        }
        for (Pipe pipe : {Pipe::DataIn, Pipe::DataOut, Pipe::Status, Pipe::Control})
            while (sim_->CompleteHeld(pipe, STATUS_DEVICE_NOT_CONNECTED, 0)) adapterEvents_.fetch_add(1);
    }

    // Everything held is let go and nothing is stalled, failed or delayed any more (a
    // vanished adapter keeps failing).
    void DrainAdapter()
    {
        if (removed_ && plan_.adapterGone) {
            Vanish();
            return;
        }
        sim_->ClearFaults();
        for (int k = 0; k < 8; ++k) sim_->CompleteSynchronously((Kind)k);
        for (Pipe pipe : {Pipe::DataIn, Pipe::DataOut, Pipe::Status, Pipe::Control})
            while (sim_->CompleteHeld(pipe, STATUS_SUCCESS, ReleaseBytes(pipe, nullptr))) {}
    }

    // ---- Power and Plug and Play ------------------------------------------------------------

    void System()
    {
        Rng r(Mix(plan_.seed, 9));
        struct Event {
            uint64_t at;
            bool removal;
        };
        std::vector<Event> events;
        for (uint64_t at : plan_.powerAt) events.push_back({at, false});
        if (plan_.removal) events.push_back({plan_.removalAt, true});
        std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.at < b.at; });
        for (const Event& e : events) {
            {
                std::unique_lock<std::mutex> lk(progressLock_);
                progressCv_.wait(lk, [&] { return appOps_.load() >= e.at || systemStop_.load(); });
            }
            if (e.removal) {
                SurpriseRemoval();
            } else if (!systemStop_ && !removed_) {
                PowerCycle(r);
            }
        }
    }

    void PowerCycle(Rng& r)
    {
        if (r() % 3 == 0) {
            auto q = stack_->QueryDevicePower(PowerDeviceD3);
            systemEvents_.fetch_add(1);
            if (q.status != STATUS_SUCCESS) Failure("the query for D3 failed with " + Hex32(q.status));
        }
        auto down = stack_->SetDevicePower(Pick<DEVICE_POWER_STATE>(r, {PowerDeviceD3, PowerDeviceD3, PowerDeviceD2}));
        systemEvents_.fetch_add(1);
        powerCycles_.fetch_add(1);
        Progress();
        if (down.status != STATUS_SUCCESS) Failure("the power-down failed with " + Hex32(down.status));
        // Powered down for a few more application requests, or a moment when they all
        // wait for the power to come back.
        uint64_t until = appOps_.load() + 5 + r() % 60;
        {
            std::unique_lock<std::mutex> lk(progressLock_);
            progressCv_.wait_for(lk, std::chrono::milliseconds(50), [&] { return appOps_.load() >= until || systemStop_.load(); });
        }
        auto up = stack_->SetDevicePower(PowerDeviceD0);
        systemEvents_.fetch_add(1);
        Progress();
        if (up.status != STATUS_SUCCESS) Failure("the power-up failed with " + Hex32(up.status));
    }

    void SurpriseRemoval()
    {
        auto s = stack_->Pnp(IRP_MN_SURPRISE_REMOVAL);
        systemEvents_.fetch_add(1);
        removed_ = true;
        Progress();
        if (s.status != STATUS_SUCCESS) Failure("the surprise removal failed with " + Hex32(s.status));
    }

    // ---- The end of a run without removal ----------------------------------------------------

    // Reads what is left and lets the transmitter empty, then asks for the queues.
    void Drain()
    {
        phase_ = kDrain;
        Progress();
        // In a clean run every fed byte must reach the application. A tail fed now, which
        // only these reads can take, marks the end.
        if (!plan_.rough) FeedStream(kTail, true);
        SERIAL_TIMEOUTS firstBytes{MAXULONG, MAXULONG, 20, 0, 0};
        auto set = Control(-1, IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(firstBytes), 0, "drain");
        Await(*set, std::nullopt);
        // Each read waits at most 20 ms for its first bytes; 500 in a row without any
        // is a receive path that stopped.
        for (int empty = 0; empty < (plan_.rough ? 3 : 500);) {
            auto op = Read(-1, 4096);
            Await(*op, std::nullopt);
            const std::vector<UCHAR>& got = op->request->Output();
            empty = got.empty() ? empty + 1 : 0;
            if (!plan_.rough && !got.empty()) {
                size_t n = std::min(got.size(), kWindow);
                if (std::equal(got.end() - n, got.end(), fedStream_.end() - n)) break;
            }
            if (!plan_.rough && empty == 500) Failure("the bytes fed last never reached the application");
        }
        auto flush = Track(-1, Op::Flush, 0, "FLUSH drain", [&] { return file_->StartFlush(); });
        Await(*flush, std::nullopt);
        // The transfer that emptied the ring may still be with the adapter.
        while (sim_->Outstanding(Pipe::DataOut)) std::this_thread::yield();
        auto status = Control(-1, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS), "drain");
        Await(*status, std::nullopt);
        SERIAL_STATUS s{};
        if (status->request->Status() != STATUS_SUCCESS || status->request->Output().size() != sizeof s) {
            Failure("GET_COMMSTATUS at the end failed with " + Hex32(status->request->Status()));
            return;
        }
        std::memcpy(&s, status->request->Output().data(), sizeof s);
        if (s.AmountInOutQueue != 0)
            Failure("AmountInOutQueue is " + std::to_string(s.AmountInOutQueue) + " with every write and immediate character done");
        if (!plan_.rough && s.AmountInInQueue != 0)
            Failure("AmountInInQueue is " + std::to_string(s.AmountInInQueue) + " after the reads took every byte");
    }

    // ---- Checks -----------------------------------------------------------------------------

    void Finish()
    {
        phase_ = kChecks;
        Progress();
        CheckRequests();
        CheckReads();
        CheckWrites();
        CheckNothingLeft();
    }

    void CheckRequests()
    {
        size_t reported = 0;
        for (auto& op : ops_) {
            std::string problem;
            if (!op->request)
                problem = "was never handed back by its dispatch";
            else if (!op->request->Done())
                problem = "never completed";
            // A second completion of the same request is the verifier's report
            // (double-completion), which fails the run with the others.
            if (op->request && op->request->Done()) {
                NTSTATUS status = op->request->Status();
                cancelled_ += status == STATUS_CANCELLED;
                // A direct write whose data went out but whose zero-length packet failed
                // ends with that failure and counts its bytes (the wire check holds it to
                // them); every other failure reports nothing done.
                if (NT_ERROR(status) && op->request->Information() && op->kind != Op::Write)
                    problem = "failed with " + Hex32(status) + " and Information " + std::to_string(op->request->Information());
                if (op->request->Output().size() != op->request->Information() && op->kind == Op::Read)
                    problem = "returned " + std::to_string(op->request->Output().size()) + " bytes with Information " +
                              std::to_string(op->request->Information());
                if (!plan_.rough && (op->kind == Op::Read || op->kind == Op::Write) && op->length &&
                    status != STATUS_SUCCESS && status != STATUS_TIMEOUT && status != STATUS_CANCELLED)
                    problem = "ended with " + Hex32(status) + " in a run without failures";
            }
            if (!problem.empty() && reported++ < 20) Failure("request #" + std::to_string(op->id) + " (" + op->what + ") " + problem);
        }
    }

    void CheckReads()
    {
        Source stream(Bytes(fedStream_.begin(), fedStream_.end()));
        std::vector<ReadOutcome> reads;
        Bytes all;
        for (auto& op : reads_) {
            if (!op->request || !op->request->Done()) return;  // reported already
            ReadOutcome o;
            o.length = op->length;
            o.cancelled = op->request->Status() == STATUS_CANCELLED;
            o.data.assign(op->request->Output().begin(), op->request->Output().end());
            all.insert(all.end(), o.data.begin(), o.data.end());
            reads.push_back(std::move(o));
        }
        bytesRead_ = all.size();
        Verdict v = plan_.rough ? PlaceInOrder(stream, std::vector<bool>(stream.size(), true), all)
                                : CheckReadsExact(stream, reads, !removed_);
        if (!v.ok()) Failure("received bytes: " + v.failure);
    }

    void CheckWrites()
    {
        Source stream(Bytes(writeStream_.begin(), writeStream_.end()));
        std::vector<WriteOutcome> writes;
        for (auto& op : writes_) {
            if (!op->request || !op->request->Done()) return;  // reported already
            writes.push_back({op->offset, op->length, op->request->Status(), (uint32_t)op->request->Information()});
        }
        // One-byte transfers of 0xFF are immediate characters; zero-length packets end
        // transfers; the rest is write data.
        std::vector<Bytes> data;
        Bytes wire;
        uint64_t immediates = 0;
        for (const auto& t : sim_->OutTransfers()) {
            if (t.empty()) continue;
            if (t.size() == 1 && t[0] == kImmediate) {
                ++immediates;
                continue;
            }
            data.emplace_back(t.begin(), t.end());
            wire.insert(wire.end(), t.begin(), t.end());
        }
        bytesOnWire_ = wire.size();
        // The return to D0 drops what waited in the transmit ring, and a power-down ends
        // the transfer in flight: writes are exact only without a power cycle.
        bool exact = !plan_.rough && plan_.powerAt.empty();
        Verdict v = plan_.buffered ? CheckBufferedWrites(stream, writes, wire, exact)
                                   : CheckDirectWrites(stream, writes, data, exact);
        if (!v.ok()) Failure(std::string(plan_.buffered ? "buffered" : "direct") + " writes on the wire: " + v.failure);

        uint64_t sent = 0, tried = 0;
        for (auto& op : ops_) {
            if (op->code != IOCTL_SERIAL_IMMEDIATE_CHAR || !op->request || !op->request->Done()) continue;
            NTSTATUS status = op->request->Status();
            sent += status == STATUS_SUCCESS;
            tried += status != STATUS_INVALID_PARAMETER;
        }
        // A power-down aborts an immediate character in flight too: exact only without one.
        if (immediates < sent || immediates > tried || (exact && immediates != sent))
            Failure(std::to_string(immediates) + " immediate characters on the wire, " + std::to_string(sent) +
                    " reported sent, " + std::to_string(tried) + " handed to the pipe");
    }

    // After the removal: nothing of the port in pool, no IRP, MDL or registry handle, no
    // name, no SERIALCOMM value, the interface disabled.
    void CheckNothingLeft()
    {
        auto pool = hk::OutstandingPool();
        if (pool.size() != poolAtLoad_) {
            std::ostringstream s;
            s << pool.size() << " pool blocks after the removal, " << poolAtLoad_ << " after the load:";
            for (auto& b : pool) s << " " << hk::TagText(b.tag) << "(" << b.size << ")";
            Failure(s.str());
        }
        if (hk::OutstandingIrps() != irpsAtLoad_) Failure(std::to_string(hk::OutstandingIrps()) + " IRPs left after the removal");
        if (hk::OutstandingMdls() != mdlsAtLoad_) Failure(std::to_string(hk::OutstandingMdls()) + " MDLs left after the removal");
        if (hk::OpenRegistryHandles() != handlesAtLoad_)
            Failure(std::to_string(hk::OpenRegistryHandles()) + " registry handles open after the removal");
        if (hk::names::LinkExists(u"\\DosDevices\\" + kPortName)) Failure("the port's DOS name is left after the removal");
        if (!hk::registry::ValueNames(hk::registry::DeviceMapKey(u"SERIALCOMM")).empty())
            Failure("a SERIALCOMM value is left after the removal");
        for (const auto& link : hk::names::InterfacesOf(sim_->Pdo()))
            if (hk::names::InterfaceState(link) == 1) Failure("the COM port interface is still enabled after the removal");
    }

    void Teardown()
    {
        phase_ = kTeardown;
        Progress();
        if (file_) {
            file_->Close();
            file_->WaitClosed();
            file_.reset();
        }
        if (portAdded_) stack_->Remove();
        if (driver_) driver_->Unload();
        driver_.reset();
        {
            std::lock_guard<std::mutex> g(simLock_);
            sim_.reset();
        }
        ReleaseDriverUnderTest();
        auto seen = hk::TakeViolations();
        if (!seen.empty()) Failure("the verifier reported:\n" + hk::Describe(seen));
        hk::Shutdown();
        hk::Reset(hk::ClockMode::Virtual);
        seen = hk::TakeViolations();
        if (!seen.empty()) Failure("at the end of the run the verifier reported:\n" + hk::Describe(seen));

        Figures& f = result_.figures;
        f.requests = requests_.load();
        f.cancels = cancels_.load();
        f.adapterEvents = adapterEvents_.load();
        f.systemEvents = systemEvents_.load();
        f.reads = reads_.size();
        f.writes = writes_.size();
        f.bytesFed = fedStream_.size();
        f.bytesRead = bytesRead_;
        f.bytesWritten = writeStream_.size();
        f.bytesOnWire = bytesOnWire_;
        f.cancelled = cancelled_;
        f.removed = removed_;
    }

    // ---- The watchdog ---------------------------------------------------------------------

    void Watch()
    {
        uint64_t last = progress_.load();
        auto lastChange = Clock::now();
        std::unique_lock<std::mutex> lk(watchLock_);
        while (!watchStop_) {
            watchCv_.wait_for(lk, std::chrono::milliseconds(250));
            if (watchStop_) return;
            auto now = Clock::now();
            uint64_t p = progress_.load();
            if (p != last) {
                last = p;
                lastChange = now;
            }
            bool stalled = now - lastChange > std::chrono::seconds(limits_.stallSeconds);
            bool tooLong = now - start_ > std::chrono::seconds(limits_.runSeconds);
            if (stalled || tooLong) Hang(stalled, now);
        }
    }

    [[noreturn]] void Hang(bool stalled, Clock::time_point now)
    {
        auto ms = [&](Clock::time_point t) { return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(now - t).count(); };
        std::fprintf(stderr, "\nvcom-chaos: HANG in seed 0x%llx (%s), phase %s: %s\n", (unsigned long long)plan_.seed,
                     plan_.Describe().c_str(), kPhaseNames[phase_.load()],
                     stalled ? "no request issued or completed for the stall limit" : "the run took longer than its limit");
        std::fprintf(stderr, "outstanding requests (thread -1 is the main thread):\n");
        {
            std::lock_guard<std::mutex> g(opsLock_);
            for (auto& op : ops_) {
                if (op->request && op->request->Done()) continue;
                std::fprintf(stderr, "  #%llu thread %d %s: %s, issued %lld ms ago\n", (unsigned long long)op->id, op->thread,
                             op->what.c_str(), op->request ? "pending" : "still in its dispatch routine", ms(op->issued));
            }
        }
        {
            std::lock_guard<std::mutex> g(simLock_);
            if (sim_) {
                std::fprintf(stderr, "held by the pipe driver: data out %zu, data in %zu, status %zu, control %zu; %zu bytes waiting to be read\n",
                             sim_->Outstanding(Pipe::DataOut), sim_->Outstanding(Pipe::DataIn), sim_->Outstanding(Pipe::Status),
                             sim_->Outstanding(Pipe::Control), sim_->PendingInBytes());
            }
        }
        if (portAdded_ && portDevice_) {
            // The port's state words as they stand (read atomically where they are
            // interlocked, as a debugger would see the rest).
            PortExtension* p = PortOf(portDevice_);
            auto peek = [](volatile LONG* v) { return (long)InterlockedCompareExchange(v, 0, 0); };
            std::fprintf(stderr,
                         "port: RunState %lu PnpState %lu removed %d/%d; TxStopped %d TxBusy %ld TxKickPending %ld "
                         "CurrentWriteState %ld TxRing %lu TxIdleEvent %ld write queue %s current write %s; RxStopped %d "
                         "RxPumpState %ld RxRing %lu RxIdleEvent %ld; StatusStopped %d StatusIdleEvent %ld\n",
                         (unsigned long)p->RunState, (unsigned long)p->PnpState, VcomReadFlag(&p->SurpriseRemoved),
                         VcomReadFlag(&p->DeviceRemoved), VcomReadFlag(&p->TxStopped), peek(&p->TxBusy),
                         peek(&p->TxKickPending), peek(&p->CurrentWriteState), (unsigned long)p->TxRing.Count,
                         (long)KeReadStateEvent(&p->TxIdleEvent), IsListEmpty(&p->WriteQueue) ? "empty" : "not empty",
                         p->CurrentWrite ? "set" : "none", VcomReadFlag(&p->RxStopped), peek(&p->RxPumpState),
                         (unsigned long)p->RxRing.Count, (long)KeReadStateEvent(&p->RxIdleEvent), VcomReadFlag(&p->StatusStopped),
                         (long)KeReadStateEvent(&p->StatusIdleEvent));
        }
        std::fprintf(stderr, "replay: vcom-chaos --seed 0x%llx --run-requests %llu\n", (unsigned long long)plan_.seed,
                     (unsigned long long)plan_.requests);
        std::fflush(stderr);
        std::abort();
    }

    const Plan plan_;
    const Limits limits_;
    Result result_;
    std::mutex failLock_;
    Clock::time_point start_;

    std::unique_ptr<hk::LoadedDriver> driver_;
    std::mutex simLock_;  // the watchdog's look at the simulator against its destruction
    std::unique_ptr<pipesim::PipeSim> sim_;
    std::optional<hk::DeviceStack> stack_;
    bool portAdded_ = false;
    PDEVICE_OBJECT portDevice_ = nullptr;  // for the watchdog's report only
    std::unique_ptr<hk::File> file_;
    size_t poolAtLoad_ = 0, irpsAtLoad_ = 0, mdlsAtLoad_ = 0, handlesAtLoad_ = 0;

    std::mutex opsLock_;
    std::vector<std::shared_ptr<Op>> ops_;
    std::mutex readIssueLock_;
    std::vector<std::shared_ptr<Op>> reads_;
    std::mutex writeIssueLock_;
    std::vector<std::shared_ptr<Op>> writes_;
    Bytes writeStream_;  // under writeIssueLock_
    Bytes fedStream_;    // the adapter thread's, then the main thread's once the adapter drains

    std::mutex progressLock_;
    std::condition_variable progressCv_;
    std::atomic<uint64_t> progress_{0};
    std::atomic<uint64_t> appOps_{0};
    std::atomic<int> appsIssuing_{0};
    std::atomic<bool> systemStop_{false};
    std::atomic<bool> removed_{false};
    std::atomic<AdapterMode> adapterMode_{AdapterMode::Chaos};
    std::atomic<bool> drainAck_{false};
    bool vanished_ = false;  // the adapter thread's
    std::atomic<int> phase_{kSetup};

    std::atomic<uint64_t> requests_{0}, cancels_{0}, adapterEvents_{0}, systemEvents_{0}, powerCycles_{0}, purges_{0};
    uint64_t cancelled_ = 0, bytesRead_ = 0, bytesOnWire_ = 0;

    std::thread watchdog_;
    std::mutex watchLock_;
    std::condition_variable watchCv_;
    bool watchStop_ = false;  // under watchLock_
};

}  // namespace

std::string Plan::Describe() const
{
    std::ostringstream s;
    s << (buffered ? "buffered" : "direct") << ", ";
    if (!rough)
        s << "clean";
    else if (removal)
        s << "rough, surprise removal after " << removalAt << " requests" << (adapterGone ? " (adapter gone)" : "");
    else
        s << "rough";
    s << ", " << powerAt.size() << " power cycles, " << appThreads << " threads, " << requests << " requests; RxReqSize "
      << rxReqSize << " RxPollPeriod " << rxPollPeriod << " CtlPollPeriod " << (int32_t)ctlPollPeriod << " TxKickThreshold "
      << txKickThreshold << " TxAllowNullPacket " << txAllowNullPacket << " NoBaudCheck " << noBaudCheck << " EndPointCaps "
      << endPointCaps << (statusEndpoint ? "" : " (no status endpoint)") << (powerPageable ? "" : ", power at DISPATCH_LEVEL")
      << ", packets in " << maxPacketIn << " out " << maxPacketOut;
    return s.str();
}

Plan PlanFor(uint64_t seed, uint64_t requests, Profile profile)
{
    Rng r(Mix(seed, 1234));
    Plan p;
    p.seed = seed;
    p.requests = requests;
    if (profile == Profile::Random) profile = Pick<Profile>(r, {Profile::Clean, Profile::Clean, Profile::Clean, Profile::Rough,
                                                                Profile::Rough, Profile::Rough, Profile::Removal, Profile::Removal});
    p.rough = profile != Profile::Clean;
    p.removal = profile == Profile::Removal;
    p.buffered = r() % 2;
    p.appThreads = 2 + (int)(r() % 3);
    p.rxReqSize = Pick<uint32_t>(r, {0, 64, 512, 4096, 16384});
    p.rxPollPeriod = Pick<uint32_t>(r, {0, 0, 0, 1, 5});
    p.ctlPollPeriod = Pick<uint32_t>(r, {1, 5, 10, 10, 20, 0xFFFFFFFF, 0});
    p.txKickThreshold = Pick<uint32_t>(r, {1, 64, 512, 2048, 5000});
    p.txAllowNullPacket = r() % 4 ? 1 : 0;
    p.noBaudCheck = r() % 4 == 0;
    p.endPointCaps = (uint32_t)(r() % 5);
    p.statusEndpoint = r() % 4 != 0;
    p.powerPageable = r() % 2;
    p.maxPacketIn = Pick<uint32_t>(r, {8, 64, 64, 512});
    p.maxPacketOut = Pick<uint32_t>(r, {8, 64, 64, 512});
    auto somewhere = [&] { return requests / 10 + r() % (requests * 8 / 10 + 1); };
    // Clean runs too have power cycles now and then: a power-down keeps every received
    // byte, so their reads are still checked exactly.
    if (p.rough || r() % 2) {
        int cycles = (int)(r() % 4);
        for (int i = 0; i < cycles; ++i) p.powerAt.push_back(somewhere());
        std::sort(p.powerAt.begin(), p.powerAt.end());
    }
    if (p.removal) {
        p.removalAt = somewhere();
        p.adapterGone = r() % 2;
    }
    return p;
}

Result Run(const Plan& plan, const Limits& limits, std::FILE* log)
{
    if (log) {
        std::fprintf(log, "seed 0x%llx: %s\n", (unsigned long long)plan.seed, plan.Describe().c_str());
        std::fflush(log);
    }
    Harness h(plan, limits);
    return h.Go();
}

}  // namespace chaos
