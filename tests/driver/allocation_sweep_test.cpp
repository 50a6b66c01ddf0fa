// Every allocation failure in a full life of a device. A scripted life (load, AddDevice,
// start, open, line settings, wait mask and pending waits, reads and writes with data
// flowing, the immediate character, purge, statistics, WMI queries and sets, a power
// cycle, cleanup and close, stop and start, a second open, surprise removal, removal,
// unload) runs once to count the allocations it makes (pool, IRPs, MDLs, in one
// sequence), then once per allocation with exactly that one failing, and once per
// allocation with it and every later one failing. Each run must end clean: no verifier
// report, no hang, every request completed, a request that succeeded did its work, and
// after removal and unload nothing left.
//
// Short form (CI): every site's first allocation and every k-th one. VCOM_SWEEP=full
// runs every allocation (scripts/alloc-sweep.sh).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "driver/sim_fixture.h"

using pipesim::Pipe;

namespace {

const std::u16string kServiceKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vcomusb";

const GUID kWmiPortName = {0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
const GUID kWmiPerf = {0x56415ACC, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
const GUID kWmiPrivate = {0x2F8A6504, 0x3E7A, 0x4698, {0xA8, 0xFA, 0xB3, 0x07, 0x3F, 0xDC, 0x19, 0x4D}};

// The transmit mode is fixed for a device's life, so each mode has a life of its own.
// The buffered one's adapter is not power-pageable: its power requests come at
// DISPATCH_LEVEL and are handled from a work item.
struct LifeMode {
    const char* name;
    ULONG txAsync;
    ULONG endPointCaps;
    ULONG deviceFlags;
    const char16_t* portName;
};
const LifeMode kDirect = {"direct", 0, 3, DO_POWER_PAGABLE, u"COM41"};
const LifeMode kBuffered = {"buffered", 1, 2, 0, u"COM42"};

Bytes Le32(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }
ULONG Le32At(const Bytes& b, size_t at)
{
    return at + 4 <= b.size() ? b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | ((ULONG)b[at + 3] << 24) : 0xFFFFFFFF;
}
template <typename T>
Bytes BytesOf(const T& value)
{
    return Bytes((const UCHAR*)&value, (const UCHAR*)&value + sizeof value);
}
std::string Hex(ULONG v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", (unsigned long)v);
    return text;
}
std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// The application waits a while: time runs, and so do the system's threads (work items).
void Sleep(LONGLONG ms)
{
    LARGE_INTEGER due;
    due.QuadPart = -ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &due);
}

// What one life ended with.
struct LifeResult {
    std::vector<std::string> problems;  // each names the step it was seen in
    // What the driver cannot do while every allocation fails, and says so: not faults,
    // but counted and printed (each names its step too).
    std::vector<std::string> limits;
    // The steps in order, with the number of allocations counted before each began.
    std::vector<std::pair<std::string, unsigned long>> steps;
    std::vector<hk::Allocation> allocations;  // every allocation counted, in order

    // The step during which allocation `n` (1-based) was made.
    std::string StepOf(unsigned long n) const
    {
        std::string step = "before the first step";
        for (const auto& [name, before] : steps)
            if (before < n) step = name;
        return step;
    }
};

// One scripted life of a device. `strict`: no allocation fails after the one that was
// made to fail, so the port must have recovered where the life expects it to.
class Life {
public:
    Life(const LifeMode& mode, bool strict) : mode_(mode), strict_(strict), dosName_(u"\\DosDevices\\" + std::u16string(mode.portName))
    {
        KeInitializeTimer(&watchTimer_);
        KeInitializeDpc(&watchDpc_, Watch, this);
        LARGE_INTEGER second;
        second.QuadPart = -10000000;
        KeSetTimerEx(&watchTimer_, second, 1000, &watchDpc_);
    }
    ~Life()
    {
        Dismantle();
        KeCancelTimer(&watchTimer_);
        KeRemoveQueueDpc(&watchDpc_);
    }

    void Run();
    LifeResult Result() { return std::move(result_); }

private:
    // ---- The record ----
    void Step(const char* name)
    {
        TakeViolations();
        if (!stuckIn_.empty()) {
            // Name what it kept asking for.
            std::map<std::string, unsigned long> tries;
            for (const hk::Allocation& a : hk::RecordedAllocations())
                if (a.number > result_.steps.back().second && a.failed) tries[hk::Describe(a)]++;
            auto most = std::max_element(tries.begin(), tries.end(), [](auto& a, auto& b) { return a.second < b.second; });
            // With memory that never comes back, a stop that must abort a read still on
            // the pipe asks for the abort's request until it is had.
            std::string what = most == tries.end() ? std::string("nothing") : most->first;
            if (strict_) what += " (" + std::to_string(most == tries.end() ? 0 : most->second) + " times)";
            ProblemUnlessStarved("the step went on for " + std::to_string(kStepLimitSeconds) +
                                 " s of virtual time while allocations failed, asking again and again for " + what +
                                 " (the faults were lifted then)");
        }
        stuckIn_.clear();
        step_ = name;
        stepBegan_ = hk::Now();
        result_.steps.emplace_back(name, hk::AllocationCount());
    }
    // Once a second of virtual time. A step that a driver keeps busy for ever retrying
    // what cannot be had (each try waiting a little, so time runs) would never return:
    // after kStepLimitSeconds the faults are lifted, so the life can go on to report it.
    static constexpr LONGLONG kStepLimitSeconds = 30;
    static VOID NTAPI Watch(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* life = (Life*)context;
        if (life->stuckIn_.empty() && hk::Now() - life->stepBegan_ > kStepLimitSeconds * 10000000) {
            life->stuckIn_ = life->step_;
            hk::ClearFaults();
        }
    }
    void Problem(const std::string& what) { result_.problems.push_back(step_ + ": " + what); }
    // A problem of a single failure; with every later allocation failing too, a limit.
    void ProblemUnlessStarved(const std::string& what)
    {
        if (strict_) Problem(what);
        else result_.limits.push_back(step_ + ": " + what);
    }
    void TakeViolations()
    {
        for (const hk::Violation& v : hk::TakeViolations()) Problem("verifier '" + v.rule + "': " + v.detail);
    }
    // A request of the application, remembered until the end of the life: it must complete.
    std::shared_ptr<hk::Request> Track(std::shared_ptr<hk::Request> r, const std::string& what)
    {
        issued_.push_back({r, step_ + ": " + what});
        return r;
    }
    // Waits for a request (time runs; a wait that cannot end is reported as a hang by
    // the emulation) and reports one that did not complete.
    bool Finish(const std::shared_ptr<hk::Request>& r, const std::string& what)
    {
        r->Wait();
        if (!r->Done()) Problem(what + " never completed");
        if (r->Status() == STATUS_PENDING) Problem(what + " completed with STATUS_PENDING");
        return r->Done();
    }
    std::shared_ptr<hk::Request> Control(ULONG code, const Bytes& in, ULONG outLength, const std::string& what)
    {
        auto r = Track(file_->StartIoctl(code, in, outLength), what);
        Finish(r, what);
        return r;
    }
    // A request that is not expected to succeed is fine with any error status; a
    // success or a warning is judged by the caller.
    static bool Succeeded(const std::shared_ptr<hk::Request>& r) { return r->Done() && r->Status() == STATUS_SUCCESS; }

    // ---- Steps ----
    bool Load();
    bool AddDevice();
    bool Start();
    bool Open(const char* what);
    void LineSettings();
    void WaitOnLineChange();
    void DataFlow(const char* what);
    void ImmediateChar();
    void Purge();
    void Statistics();
    void Wmi();
    void PowerCycle();
    void CloseFile(bool afterSurpriseRemoval);
    bool StopAndStart();
    void SecondOpenAndSurpriseRemoval();
    void Removal();
    void Unload();
    void Dismantle();

    // ---- Checks on data ----
    void Feed(const Bytes& bytes)
    {
        sim_->Feed(bytes);
        fed_.insert(fed_.end(), bytes.begin(), bytes.end());
    }
    // Bytes an application read must continue the fed stream where the last read ended
    // (after a purge, anywhere later: the purge dropped what it held).
    void CheckReceived(const Bytes& got, const std::string& what);
    void ExpectWrite(const Bytes& bytes) { expectedOut_.insert(expectedOut_.end(), bytes.begin(), bytes.end()); }
    void CheckAdapterOut(const std::string& when);
    bool ChecksOnAdapterAreExact() const { return strict_ || !mode_.txAsync; }

    const LifeMode& mode_;
    const bool strict_;
    KTIMER watchTimer_;
    KDPC watchDpc_;
    LONGLONG stepBegan_ = 0;
    std::string stuckIn_;  // the step the watch found stuck
    const std::u16string dosName_;
    LifeResult result_;
    std::string step_ = "start of the life";
    std::vector<std::pair<std::shared_ptr<hk::Request>, std::string>> issued_;

    std::unique_ptr<hk::LoadedDriver> driver_;
    bool loaded_ = false;
    std::unique_ptr<pipesim::PipeSim> sim_;
    std::optional<hk::DeviceStack> stack_;
    PDEVICE_OBJECT port_ = nullptr;
    std::u16string interface_;
    std::unique_ptr<hk::File> file_;

    Bytes fed_;             // what the adapter was given to send up, this open
    size_t readUpTo_ = 0;   // how much of it the application has read
    bool gapAllowed_ = false;
    Bytes expectedOut_;     // what the adapter must have received: every write that succeeded
    std::set<size_t> immediateTransfers_;  // the adapter's transfers that were immediate characters
    ULONG debugLevel_ = 0;  // what the private WMI block holds
};

void Life::CheckReceived(const Bytes& got, const std::string& what)
{
    if (got.empty()) return;
    size_t at = readUpTo_;
    bool found = at + got.size() <= fed_.size() && std::equal(got.begin(), got.end(), fed_.begin() + at);
    if (!found && gapAllowed_)
        for (at = readUpTo_ + 1; at + got.size() <= fed_.size() && !found; ++at)
            found = std::equal(got.begin(), got.end(), fed_.begin() + at);
    if (!found) {
        std::string detail;
        if (std::getenv("VCOM_SWEEP_DEBUG")) {
            char text[160];
            std::snprintf(text, sizeof text, " [got %02x %02x %02x.., fed %zu, read up to %zu, next %02x %02x]", got[0], got.size() > 1 ? got[1] : 0,
                          got.size() > 2 ? got[2] : 0, fed_.size(), readUpTo_, readUpTo_ < fed_.size() ? fed_[readUpTo_] : 0,
                          readUpTo_ + 1 < fed_.size() ? fed_[readUpTo_ + 1] : 0);
            detail = text;
        }
        Problem(what + " returned " + std::to_string(got.size()) + " bytes that do not continue the stream the adapter sent" + detail);
        return;
    }
    if (gapAllowed_ && at != readUpTo_) --at;  // the loop stepped once past the match
    readUpTo_ = at + got.size();
    gapAllowed_ = false;
}

void Life::CheckAdapterOut(const std::string& when)
{
    Bytes out;
    auto transfers = sim_->OutTransfers();
    for (size_t i = 0; i < transfers.size(); ++i)
        if (!immediateTransfers_.count(i)) out.insert(out.end(), transfers[i].begin(), transfers[i].end());
    bool prefix = out.size() <= expectedOut_.size() && std::equal(out.begin(), out.end(), expectedOut_.begin());
    if (!prefix)
        Problem(when + ": the adapter received " + std::to_string(out.size()) + " bytes that are not what the writes that " +
                "succeeded sent (" + std::to_string(expectedOut_.size()) + " bytes)");
    else if (ChecksOnAdapterAreExact() && out.size() != expectedOut_.size())
        Problem(when + ": the adapter received " + std::to_string(out.size()) + " of the " +
                std::to_string(expectedOut_.size()) + " bytes that writes reported as sent");
}

bool Life::Load()
{
    Step("load");
    NTSTATUS status = LoadDriverUnderTest(kServiceKey, &driver_);
    loaded_ = NT_SUCCESS(status);
    if (!loaded_) {
        driver_.reset();
        if (!hk::OutstandingPool().empty()) Problem("a failed DriverEntry left pool allocated");
    }
    return loaded_;
}

bool Life::AddDevice()
{
    Step("AddDevice");
    pipesim::Options o;
    o.registry = {hk::RegistryValue::String(u"PortName", mode_.portName), Dword(u"TxAsync", mode_.txAsync),
                  Dword(u"EndPointCaps", mode_.endPointCaps), Dword(u"CtlPollPeriod", 20)};
    o.deviceFlags = mode_.deviceFlags;
    sim_ = std::make_unique<pipesim::PipeSim>(std::move(o));
    stack_.emplace(sim_->Pdo());
    NTSTATUS status = stack_->AddDevice(*driver_);
    port_ = stack_->Top() != sim_->Device() ? stack_->Top() : nullptr;
    auto interfaces = hk::names::InterfacesOf(sim_->Pdo());
    if (!NT_SUCCESS(status)) {
        if (port_) Problem("AddDevice failed with " + Hex(status) + " but left its device on the stack");
        for (const auto& name : interfaces)
            if (hk::names::InterfaceState(name) == 1) Problem("a failed AddDevice left its interface enabled");
        for (const auto& block : hk::OutstandingPool())
            if (block.address != DriverRegistryPath.Buffer)
                Problem("a failed AddDevice left pool '" + hk::TagText(block.tag) + "' allocated");
        port_ = nullptr;
        return false;
    }
    if (!port_) {
        Problem("AddDevice succeeded without a device on the stack");
        return false;
    }
    if (interfaces.size() != 1 || hk::names::InterfaceState(interfaces[0]) != 1)
        Problem("AddDevice succeeded without an enabled COM-port interface");
    else
        interface_ = interfaces[0];
    if (!hk::names::WmiRegistered(port_)) Problem("AddDevice succeeded without registering with WMI");
    return true;
}

bool Life::Start()
{
    Step("start");
    hk::Result r = stack_->Pnp(IRP_MN_START_DEVICE);
    auto values = hk::registry::ValueNames(hk::registry::DeviceMapKey(u"SERIALCOMM"));
    if (!NT_SUCCESS(r.status)) {
        if (hk::names::LinkExists(dosName_)) Problem("a failed start left the DOS name");
        if (!values.empty()) Problem("a failed start left a SERIALCOMM value");
        return false;
    }
    if (!hk::names::LinkExists(dosName_) || hk::names::LinkTarget(dosName_) != interface_)
        Problem("the start succeeded without linking " + Narrow(dosName_) + " to the interface");
    hk::RegistryValue v;
    Bytes name;
    for (char16_t c : std::u16string(mode_.portName)) name.insert(name.end(), {(UCHAR)c, (UCHAR)(c >> 8)});
    name.insert(name.end(), {0, 0});
    if (!hk::registry::Get(hk::registry::DeviceMapKey(u"SERIALCOMM"), interface_, &v) || v.data != name)
        Problem("the start succeeded without the port's SERIALCOMM value");
    return true;
}

bool Life::Open(const char* what)
{
    Step(what);
    NTSTATUS status = hk::File::Open(dosName_, &file_);
    if (!NT_SUCCESS(status)) {
        file_.reset();
        // Closing a pipe takes a request of its own.
        for (Pipe p : {Pipe::DataOut, Pipe::DataIn, Pipe::Status})
            if (sim_->IsOpen(p))
                ProblemUnlessStarved("a failed open (" + Hex(status) + ") left pipe " + std::to_string((int)p) + " open");
        if (PortOf(port_)->OpenCount != 0) Problem("a failed open left the port counted as open");
        return false;
    }
    for (Pipe p : {Pipe::DataOut, Pipe::DataIn, Pipe::Status})
        if (!sim_->IsOpen(p)) Problem("the open succeeded without opening pipe " + std::to_string((int)p));
    // The adapter's answers do not decide the open, but a command that could not be built
    // once is built again: only memory that never comes back leaves the port disabled.
    pipesim::AdapterState a = sim_->Adapter();
    if (!a.portEnabled || !a.dtr || !a.rts)
        ProblemUnlessStarved("the open succeeded but the adapter's port is not enabled with DTR and RTS raised");
    // What the adapter still holds from an earlier open comes first; what the port had
    // taken in went with the close: the stream goes on, with a gap.
    gapAllowed_ = true;
    // Reads end when full or 100 ms after they began, with what they have.
    SERIAL_TIMEOUTS t{0, 0, 100, 0, 0};
    auto r = Control(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(t), 0, "SET_TIMEOUTS");
    if (!Succeeded(r)) Problem("SET_TIMEOUTS failed with " + Hex(r->Status()));
    return true;
}

void Life::LineSettings()
{
    Step("line settings");
    auto check = [&](ULONG set, ULONG get, const Bytes& value, const char* what) {
        auto r = Control(set, value, 0, what);
        if (!Succeeded(r)) return false;
        auto back = Control(get, {}, (ULONG)value.size(), what);
        if (Succeeded(back) && back->Output() != value) Problem(std::string(what) + " succeeded but does not read back");
        return true;
    };
    SERIAL_BAUD_RATE baud{9600};
    bool baudSet = check(IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, BytesOf(baud), "SET_BAUD_RATE");
    SERIAL_LINE_CONTROL lc{STOP_BITS_2, EVEN_PARITY, 7};
    bool lineSet = check(IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, Bytes{STOP_BITS_2, EVEN_PARITY, 7},
                         "SET_LINE_CONTROL");
    (void)lc;
    // Both records went to the adapter with the last SET that succeeded, whichever it was.
    if (baudSet && lineSet) {
        pipesim::LineConfig line = sim_->Adapter().line;
        if (line.baud != 9600 || line.dataBits != 7 || line.stopBits != 2 || line.parity != pipesim::Parity::Even)
            Problem("the line settings succeeded but the adapter was not configured for 9600 7E2");
    }
    SERIAL_HANDFLOW hf{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 1024, 256};
    check(IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW, BytesOf(hf), "SET_HANDFLOW");
    SERIAL_CHARS chars{0, 0, 0, 0x7E, 0x11, 0x13};
    if (check(IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, BytesOf(chars), "SET_CHARS") && mode_.endPointCaps) {
        pipesim::AdapterState a = sim_->Adapter();
        if (!a.flowCharsSet || a.xonChar != 0x11 || a.xoffChar != 0x13)
            Problem("SET_CHARS succeeded but the adapter did not get the flow characters");
    }
    auto dtr = Control(IOCTL_SERIAL_CLR_DTR, {}, 0, "CLR_DTR");
    if (Succeeded(dtr) && sim_->Adapter().dtr) Problem("CLR_DTR succeeded but the adapter's DTR is still on");
    dtr = Control(IOCTL_SERIAL_SET_DTR, {}, 0, "SET_DTR");
    if (Succeeded(dtr) && !sim_->Adapter().dtr) Problem("SET_DTR succeeded but the adapter's DTR is off");
}

void Life::WaitOnLineChange()
{
    Step("wait on a line change");
    sim_->SetLines(0);
    Sleep(50);  // the polling has seen the lines down
    auto mask = Control(IOCTL_SERIAL_SET_WAIT_MASK, Le32(SERIAL_EV_CTS | SERIAL_EV_DSR), 0, "SET_WAIT_MASK");
    if (!Succeeded(mask)) return;
    auto back = Control(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4, "GET_WAIT_MASK");
    if (Succeeded(back) && Le32At(back->Output(), 0) != (SERIAL_EV_CTS | SERIAL_EV_DSR))
        Problem("SET_WAIT_MASK succeeded but GET_WAIT_MASK reads " + Hex(Le32At(back->Output(), 0)));
    auto wait = Track(file_->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4), "WAIT_ON_MASK");
    if (wait->Done()) {
        if (Succeeded(wait)) Problem("WAIT_ON_MASK completed with success before any line changed");
        return;
    }
    sim_->SetLines(pipesim::LINE_CTS | pipesim::LINE_DSR);
    hk::RunUntil([&] { return wait->Done(); }, 1000 * 10000);
    if (!wait->Done()) {
        if (strict_) Problem("a line change did not end the pending WAIT_ON_MASK within a second");
        return;  // the cleanup ends it
    }
    ULONG events = Le32At(wait->Output(), 0);
    if (Succeeded(wait) && (wait->Information() != 4 || !(events & (SERIAL_EV_CTS | SERIAL_EV_DSR)) ||
                            (events & ~(SERIAL_EV_CTS | SERIAL_EV_DSR))))
        Problem("WAIT_ON_MASK succeeded with events " + Hex(events) + " for a CTS and DSR change");
}

void Life::DataFlow(const char* what)
{
    Step(what);
    // The application waits for data; the adapter sends it.
    auto mask = Control(IOCTL_SERIAL_SET_WAIT_MASK, Le32(SERIAL_EV_RXCHAR), 0, "SET_WAIT_MASK");
    std::shared_ptr<hk::Request> wait;
    if (Succeeded(mask)) wait = Track(file_->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4), "WAIT_ON_MASK for data");
    auto read = Track(file_->StartRead(300), "read of 300 bytes");
    Feed(Sequence(300, fed_.size()));
    Finish(read, "read of 300 bytes");
    CheckReceived(read->Output(), "the read of 300 bytes");
    if (read->Status() == STATUS_SUCCESS && read->Information() != 300)
        Problem("a read of 300 bytes succeeded with " + std::to_string(read->Information()));
    if (strict_ && read->Status() == STATUS_TIMEOUT)
        Problem("a read timed out with " + std::to_string(read->Information()) + " of the 300 bytes the adapter sent");
    if (wait) {
        hk::RunUntil([&] { return wait->Done(); }, 100 * 10000);
        if (wait->Done() && Succeeded(wait) && Le32At(wait->Output(), 0) != SERIAL_EV_RXCHAR)
            Problem("WAIT_ON_MASK for data succeeded with events " + Hex(Le32At(wait->Output(), 0)));
        if (!wait->Done() && strict_ && read->Information()) Problem("received data did not end WAIT_ON_MASK for SERIAL_EV_RXCHAR");
    }
    // Bytes that arrive before the read: the ring keeps them.
    Feed(Sequence(200, fed_.size()));
    Sleep(20);
    read = Track(file_->StartRead(200), "read of 200 bytes already received");
    Finish(read, "read of 200 bytes already received");
    CheckReceived(read->Output(), "the read of 200 bytes already received");
    if (strict_ && read->Status() != STATUS_SUCCESS && !NT_ERROR(read->Status()))
        Problem("a read of 200 bytes received before it ended with " + Hex(read->Status()) + " and " +
                std::to_string(read->Information()) + " bytes");

    // Writes: a whole number of packets, then an odd size.
    for (ULONG length : {128u, 1000u}) {
        Bytes data = Sequence(length, 7 * expectedOut_.size() + length);
        std::string name = "write of " + std::to_string(length) + " bytes";
        auto write = Track(file_->StartWrite(data), name);
        Finish(write, name);
        if (write->Status() == STATUS_SUCCESS) {
            // A stopped transmitter completes a write with the count it sent: none.
            if (write->Information() > length) Problem(name + " succeeded with " + std::to_string(write->Information()));
            else if (write->Information() != length && strict_)
                Problem(name + " succeeded with " + std::to_string(write->Information()) + " bytes sent");
            ExpectWrite(Bytes(data.begin(), data.begin() + std::min<size_t>(write->Information(), length)));
        } else if (!NT_ERROR(write->Status())) {
            Problem(name + " ended with " + Hex(write->Status()));
        }
    }
    Sleep(100);  // the buffered engine sends what gathered, or tries again
    CheckAdapterOut("after the writes");
    auto status = Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS), "GET_COMMSTATUS");
    if (Succeeded(status) && ChecksOnAdapterAreExact()) {
        SERIAL_STATUS s;
        std::memcpy(&s, status->Output().data(), std::min(sizeof s, status->Output().size()));
        if (s.AmountInOutQueue != 0) Problem("the writes were sent but AmountInOutQueue is " + std::to_string(s.AmountInOutQueue));
    }
}

void Life::ImmediateChar()
{
    Step("immediate character");
    size_t before = sim_->OutTransfers().size();
    auto r = Control(IOCTL_SERIAL_IMMEDIATE_CHAR, {0x5A}, 0, "IMMEDIATE_CHAR");
    if (Succeeded(r)) {
        // Its own one-byte pipe write, ahead of whatever waits in the ring.
        auto transfers = sim_->OutTransfers();
        size_t at = before;
        while (at < transfers.size() && transfers[at] != Bytes{0x5A}) ++at;
        if (at < transfers.size()) immediateTransfers_.insert(at);
        else Problem("IMMEDIATE_CHAR succeeded but the character never reached the adapter");
    }
    CheckAdapterOut("after the immediate character");
}

void Life::Purge()
{
    Step("purge");
    // A read that holds part of what it asked for is ended by the receive abort.
    auto read = Track(file_->StartRead(1000), "read of 1000 bytes");
    Feed(Sequence(100, fed_.size()));
    Sleep(10);
    auto purge = Control(IOCTL_SERIAL_PURGE, Le32(SERIAL_PURGE_RXABORT), 0, "PURGE of the reads");
    Finish(read, "read of 1000 bytes");
    CheckReceived(read->Output(), "the read of 1000 bytes ended by the purge");
    if (read->Status() == STATUS_SUCCESS) Problem("a read of 1000 bytes succeeded after 100 bytes came");
    // Bytes in the ring are dropped by the receive clear (once the adapter has handed
    // them all over; the pump may be trying again for a read it could not allocate).
    Feed(Sequence(100, fed_.size()));
    Sleep(10);
    hk::RunUntil([&] { return sim_->PendingInBytes() == 0; }, 100 * 10000);
    bool allTaken = sim_->PendingInBytes() == 0;
    Sleep(10);
    purge = Control(IOCTL_SERIAL_PURGE, Le32(SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR), 0, "PURGE of the rings");
    gapAllowed_ = true;
    if (Succeeded(purge) && allTaken) {
        auto status = Control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS), "GET_COMMSTATUS");
        SERIAL_STATUS s{};
        std::memcpy(&s, status->Output().data(), std::min(sizeof s, status->Output().size()));
        if (Succeeded(status) && s.AmountInInQueue != 0)
            Problem("the receive clear succeeded but " + std::to_string(s.AmountInInQueue) + " bytes are still queued");
    }
}

void Life::Statistics()
{
    Step("statistics");
    auto r = Control(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS), "GET_STATS");
    if (!Succeeded(r)) return;
    SERIALPERF_STATS s{};
    std::memcpy(&s, r->Output().data(), std::min(sizeof s, r->Output().size()));
    pipesim::PipeSim::Traffic t = sim_->Counts();
    if (r->Information() != sizeof s || s.ReceivedCount != t.inBytes || s.TransmittedCount != t.outBytes)
        Problem("GET_STATS counts " + std::to_string(s.ReceivedCount) + " received and " + std::to_string(s.TransmittedCount) +
                " sent; the pipes carried " + std::to_string(t.inBytes) + " and " + std::to_string(t.outBytes));
}

void Life::Wmi()
{
    Step("WMI");
    hk::WmiResult q = hk::WmiQuerySingleInstance(port_, kWmiPrivate, 256);
    if (q.status == STATUS_SUCCESS && Le32At(q.data, 0) != debugLevel_) Problem("the private block's debug level reads wrong");
    hk::WmiResult set = hk::WmiSetSingleItem(port_, kWmiPrivate, 1, Le32(5));
    if (set.status == STATUS_SUCCESS) debugLevel_ = 5;
    q = hk::WmiQuerySingleInstance(port_, kWmiPrivate, 256);
    if (q.status == STATUS_SUCCESS && Le32At(q.data, 0) != debugLevel_)
        Problem("the debug level reads " + Hex(Le32At(q.data, 0)) + " after a set that " +
                (set.status == STATUS_SUCCESS ? "succeeded" : "failed"));
    set = hk::WmiSetSingleInstance(port_, kWmiPrivate, Le32(2));
    if (set.status == STATUS_SUCCESS) debugLevel_ = 2;
    q = hk::WmiQuerySingleInstance(port_, kWmiPortName, 256);
    Bytes expected = {(UCHAR)((std::u16string(mode_.portName).size() + 1) * 2), 0};
    for (char16_t c : std::u16string(mode_.portName)) expected.insert(expected.end(), {(UCHAR)c, (UCHAR)(c >> 8)});
    expected.insert(expected.end(), {0, 0});
    if (q.status == STATUS_SUCCESS && q.data != expected) Problem("the port-name block does not name the port");
    hk::WmiResult all = hk::WmiQueryAllData(port_, kWmiPerf, 256);
    if (all.status == STATUS_SUCCESS && (all.instances.size() != 1 || all.instances[0].size() != sizeof(SERIALPERF_STATS)))
        Problem("the performance block is not one instance of the six counters");
}

void Life::PowerCycle()
{
    Step("power down");
    hk::Result down = stack_->SetDevicePower(PowerDeviceD3);
    if (!NT_SUCCESS(down.status)) Problem("the power-down failed with " + Hex(down.status));
    Sleep(100);
    Step("power up");
    hk::Result up = stack_->SetDevicePower(PowerDeviceD0);
    if (!NT_SUCCESS(up.status)) Problem("the power-up failed with " + Hex(up.status));
    Sleep(50);
    // The line settings lowered DTR: the restart raises both lines again.
    pipesim::AdapterState a = sim_->Adapter();
    if (NT_SUCCESS(up.status) && (!a.portEnabled || !a.dtr || !a.rts))
        ProblemUnlessStarved("after the power-up the adapter's port is not enabled with DTR and RTS raised");
}

void Life::CloseFile(bool afterSurpriseRemoval)
{
    Step(afterSurpriseRemoval ? "cleanup and close after the surprise removal" : "cleanup and close");
    // A wait left pending: the cleanup ends it.
    auto mask = Control(IOCTL_SERIAL_SET_WAIT_MASK, Le32(SERIAL_EV_RING), 0, "SET_WAIT_MASK");
    std::shared_ptr<hk::Request> wait;
    if (Succeeded(mask)) wait = Track(file_->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4), "WAIT_ON_MASK left pending");
    auto read = Track(file_->StartRead(64), "read left pending");
    NTSTATUS status = file_->Close();
    if (status == STATUS_PENDING) status = file_->WaitClosed();
    if (!file_->Closed()) Problem("the close never came");
    // The close carries the last pipe close's status: without requests it cannot tell
    // the pipe driver.
    if (status != STATUS_SUCCESS && !afterSurpriseRemoval) ProblemUnlessStarved("the close failed with " + Hex(status));
    for (auto& r : {wait, read})
        if (r && !r->Done()) Problem("a request pending at the cleanup was not ended by it");
    if (wait && Succeeded(wait) && wait->Information() && Le32At(wait->Output(), 0) & ~SERIAL_EV_RING)
        Problem("the wait pending at the cleanup succeeded with events " + Hex(Le32At(wait->Output(), 0)));
    CheckReceived(read->Output(), "the read pending at the cleanup");
    file_.reset();
    for (Pipe p : {Pipe::DataOut, Pipe::DataIn, Pipe::Status})
        if (sim_->IsOpen(p)) ProblemUnlessStarved("the close left pipe " + std::to_string((int)p) + " open in the pipe driver");
}

bool Life::StopAndStart()
{
    Step("stop");
    hk::Result r = stack_->Pnp(IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(r.status)) Problem("the query-stop failed with " + Hex(r.status));
    r = stack_->Pnp(IRP_MN_STOP_DEVICE);
    if (!NT_SUCCESS(r.status)) Problem("the stop failed with " + Hex(r.status));
    return Start();
}

void Life::SecondOpenAndSurpriseRemoval()
{
    bool open = Open("second open");
    std::shared_ptr<hk::Request> read, wait;
    if (open) {
        Step("requests pending at the surprise removal");
        auto mask = Control(IOCTL_SERIAL_SET_WAIT_MASK, Le32(SERIAL_EV_RXCHAR), 0, "SET_WAIT_MASK");
        if (Succeeded(mask)) wait = Track(file_->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4), "WAIT_ON_MASK");
        SERIAL_TIMEOUTS t{0, 0, 0, 0, 0};  // a read that waits until it is full
        Control(IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(t), 0, "SET_TIMEOUTS");
        read = Track(file_->StartRead(100), "read of 100 bytes");
    }
    Step("surprise removal");
    hk::Result r = stack_->Pnp(IRP_MN_SURPRISE_REMOVAL);
    if (!NT_SUCCESS(r.status)) Problem("the surprise removal failed with " + Hex(r.status));
    if (open) {
        auto write = Track(file_->StartWrite(Sequence(10)), "write after the surprise removal");
        Finish(write, "write after the surprise removal");
        if (!NT_ERROR(write->Status())) Problem("a write after the surprise removal ended with " + Hex(write->Status()));
        CloseFile(true);
        if (read) {
            CheckReceived(read->Output(), "the read of 100 bytes pending at the surprise removal");
            if (read->Status() == STATUS_SUCCESS && read->Information() != 100)
                Problem("a read of 100 bytes succeeded with " + std::to_string(read->Information()));
        }
    }
}

void Life::Removal()
{
    Step("removal");
    hk::Result r = stack_->Remove();
    if (!NT_SUCCESS(r.status)) Problem("the removal failed with " + Hex(r.status));
    port_ = nullptr;
    if (hk::names::LinkExists(dosName_)) Problem("the removal left the DOS name");
    if (!hk::registry::ValueNames(hk::registry::DeviceMapKey(u"SERIALCOMM")).empty()) Problem("the removal left a SERIALCOMM value");
    for (const auto& name : hk::names::InterfacesOf(sim_->Pdo()))
        if (hk::names::InterfaceState(name) == 1) Problem("the removal left the interface enabled");
}

void Life::Unload()
{
    Step("unload");
    driver_->Unload();
    driver_.reset();
    loaded_ = false;
    for (const auto& block : hk::OutstandingPool()) Problem("pool '" + hk::TagText(block.tag) + "' left after unload");
    if (hk::OutstandingIrps()) Problem(std::to_string(hk::OutstandingIrps()) + " IRP(s) left after unload");
    if (hk::OutstandingMdls()) Problem(std::to_string(hk::OutstandingMdls()) + " MDL(s) left after unload");
    if (hk::OpenRegistryHandles()) Problem(std::to_string(hk::OpenRegistryHandles()) + " registry handle(s) left open");
}

void Life::Dismantle()
{
    // Whatever the life did not take apart itself (a step that stopped early).
    if (file_) file_->Close();
    file_.reset();
    if (port_) stack_->Remove();
    port_ = nullptr;
    if (driver_) driver_->Unload();
    driver_.reset();
    sim_.reset();
    ReleaseDriverUnderTest();
}

void Life::Run()
{
    if (!Load()) return TakeViolations();
    if (AddDevice()) {
        if (Start()) {
            bool open = Open("open");
            if (!open && !strict_) open = Open("open again");
            if (!open && strict_) open = Open("open again after the failure");
            if (open) {
                LineSettings();
                WaitOnLineChange();
                DataFlow("data");
                ImmediateChar();
                Purge();
                DataFlow("data after the purge");
                Statistics();
                Wmi();
                PowerCycle();
                DataFlow("data after the power cycle");
                CloseFile(false);
            }
            if (StopAndStart()) SecondOpenAndSurpriseRemoval();
        }
        Removal();
    }
    Unload();
    Step("end of the life");
    for (const auto& [r, what] : issued_)
        if (!r->Done()) Problem(what + " never completed");
    TakeViolations();
}

// ---- The sweeps --------------------------------------------------------------------------

// Runs one life on a fresh kernel: without a fault (failAt 0), with allocation `failAt`
// failing, or with it and every later one failing.
LifeResult RunLife(const LifeMode& mode, unsigned long failAt, bool everyLater)
{
    hk::Shutdown();
    hk::Reset(hk::ClockMode::Virtual);
    LifeResult result;
    for (const hk::Violation& v : hk::TakeViolations()) result.problems.push_back("before the life: " + v.rule + ": " + v.detail);
    // No wait of the life lasts a minute: one that does cannot end.
    hk::SetHangHorizon(60LL * 10000000);
    hk::RecordAllocations(true);
    if (failAt) hk::FailAllocation(failAt, everyLater);
    {
        Life life(mode, !everyLater);
        life.Run();
        LifeResult lived = life.Result();
        lived.problems.insert(lived.problems.begin(), result.problems.begin(), result.problems.end());
        result = std::move(lived);
    }
    hk::ClearFaults();
    result.allocations = hk::RecordedAllocations();
    for (const hk::Violation& v : hk::TakeViolations()) result.problems.push_back("taking the stack apart: " + v.rule + ": " + v.detail);
    hk::Shutdown();
    hk::Reset(hk::ClockMode::Virtual);
    for (const hk::Violation& v : hk::TakeViolations()) result.problems.push_back("at the end: " + v.rule + ": " + v.detail);
    return result;
}

// Where an allocation is asked for: kind, tag, routine and the call.
using SiteKey = std::tuple<int, ULONG, std::string, const void*>;
SiteKey SiteOf(const hk::Allocation& a) { return {(int)a.kind, a.tag, a.routine, a.caller}; }

bool FullSweep()
{
    const char* v = std::getenv("VCOM_SWEEP");
    return v && std::string(v) == "full";
}

// The allocations a sweep fails: all of them, or in the short form the first of every
// site and every `stride`-th one.
std::vector<unsigned long> Chosen(const LifeResult& baseline, unsigned long stride)
{
    // VCOM_SWEEP_ONLY=n replays the run that fails allocation n alone.
    if (const char* only = std::getenv("VCOM_SWEEP_ONLY")) {
        unsigned long n = std::strtoul(only, nullptr, 10);
        if (n >= 1 && n <= baseline.allocations.size()) return {n};
        return {};
    }
    std::vector<unsigned long> chosen;
    std::set<SiteKey> seen;
    for (const hk::Allocation& a : baseline.allocations)
        if (FullSweep() || seen.insert(SiteOf(a)).second || a.number % stride == 0) chosen.push_back(a.number);
    return chosen;
}

struct SweepOutcome {
    unsigned long runs = 0;
    std::vector<std::string> failures;
    std::map<std::string, unsigned long> limits;  // what, how many runs
};

SweepOutcome Sweep(const LifeMode& mode, const LifeResult& baseline, bool everyLater, unsigned long stride)
{
    SweepOutcome out;
    for (unsigned long n : Chosen(baseline, stride)) {
        const hk::Allocation& counted = baseline.allocations[n - 1];
        LifeResult r = RunLife(mode, n, everyLater);
        ++out.runs;
        if (std::getenv("VCOM_SWEEP_DEBUG"))
            for (const hk::Allocation& a : r.allocations)
                std::printf("[sweep]   #%lu%s %s, step '%s'\n", a.number, a.failed ? " FAILED" : "", hk::Describe(a).c_str(),
                            r.StepOf(a.number).c_str());
        std::string where = "allocation " + std::to_string(n) + " of " + std::to_string(baseline.allocations.size()) + " (" +
                            hk::Describe(counted) + ", step '" + baseline.StepOf(n) + "')" +
                            (everyLater ? " failing with every later one" : " failing") + ": ";
        if (r.allocations.size() < n || SiteOf(r.allocations[n - 1]) != SiteOf(counted) || !r.allocations[n - 1].failed)
            out.failures.push_back(where + "the life did not make the allocation the counting run made there");
        for (const std::string& p : r.problems) out.failures.push_back(where + p);
        std::set<std::string> limits;  // each kind once per run
        for (const std::string& l : r.limits) {
            std::string kind = l.substr(l.find(": ") + 2);
            for (char& c : kind)
                if (c >= '0' && c <= '9') c = '#';
            limits.insert(kind);
        }
        for (const std::string& l : limits) out.limits[l]++;
    }
    return out;
}

std::string Listed(const std::vector<std::string>& lines, size_t most = 40)
{
    std::string s;
    for (size_t i = 0; i < lines.size() && i < most; ++i) s += lines[i] + "\n";
    if (lines.size() > most) s += "... and " + std::to_string(lines.size() - most) + " more\n";
    return s;
}

// The sites a life reached, each with how often it allocated and the steps it did so in.
std::string SiteTable(const LifeResult& life)
{
    std::map<SiteKey, std::pair<unsigned long, std::set<std::string>>> sites;
    std::vector<SiteKey> order;
    std::map<SiteKey, std::string> names;
    for (const hk::Allocation& a : life.allocations) {
        SiteKey key = SiteOf(a);
        if (!sites.count(key)) {
            order.push_back(key);
            names[key] = hk::Describe(a);
        }
        sites[key].first++;
        sites[key].second.insert(life.StepOf(a.number));
    }
    std::ostringstream s;
    for (const SiteKey& key : order) {
        s << "[sweep]   " << sites[key].first << "x " << names[key] << " (";
        bool first = true;
        for (const std::string& step : sites[key].second) s << (first ? "" : ", ") << step, first = false;
        s << ")\n";
    }
    return s.str();
}

size_t SiteCount(const LifeResult& life)
{
    std::set<SiteKey> sites;
    for (const hk::Allocation& a : life.allocations) sites.insert(SiteOf(a));
    return sites.size();
}

}  // namespace

class AllocationSweep : public KernelTest {
protected:
    // The counting run of a life; it must pass every check itself.
    LifeResult Baseline(const LifeMode& mode, bool report = false)
    {
        LifeResult life = RunLife(mode, 0, false);
        EXPECT_TRUE(life.problems.empty()) << mode.name << " life without faults:\n" << Listed(life.problems);
        if (report) {
            std::printf("[sweep] %s life: %zu allocations at %zu sites\n", mode.name, life.allocations.size(), SiteCount(life));
            if (FullSweep()) std::printf("%s", SiteTable(life).c_str());
        }
        return life;
    }
    void RunSweep(const LifeMode& mode, bool everyLater)
    {
        LifeResult baseline = Baseline(mode);
        ASSERT_FALSE(baseline.allocations.empty());
        auto began = std::chrono::steady_clock::now();
        SweepOutcome out = Sweep(mode, baseline, everyLater, kShortStride);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        std::printf("[sweep] %s life, %s: %lu runs, %zu failures, %.1f s\n", mode.name,
                    everyLater ? "each allocation failing with every later one" : "each allocation failing alone", out.runs,
                    out.failures.size(), seconds);
        std::fflush(stdout);
        for (const auto& [what, runs] : out.limits) std::printf("[sweep]   limit in %lu runs: %s\n", runs, what.c_str());
        EXPECT_TRUE(out.failures.empty()) << Listed(out.failures);
    }
    // The short form's sample: every site's first allocation and every 16th.
    static constexpr unsigned long kShortStride = 16;
};

TEST_F(AllocationSweep, ALifeWithoutFaultsPassesEveryCheckAndAllocatesEveryKind)
{
    for (const LifeMode* mode : {&kDirect, &kBuffered}) {
        LifeResult life = Baseline(*mode, true);
        std::set<hk::AllocationKind> kinds;
        for (const hk::Allocation& a : life.allocations) kinds.insert(a.kind);
        EXPECT_EQ(3u, kinds.size()) << mode->name << ": pool, IRPs and MDLs";
        std::set<std::string> steps;
        for (const auto& [name, before] : life.steps) steps.insert(name);
        for (const char* step : {"power up", "data after the power cycle", "surprise removal", "removal", "unload"})
            EXPECT_TRUE(steps.count(step)) << mode->name << " life never reached '" << step << "'";
    }
}

TEST_F(AllocationSweep, DirectLifeWithEachAllocationFailingAlone) { RunSweep(kDirect, false); }
TEST_F(AllocationSweep, DirectLifeWithEachAllocationFailingAndEveryLaterOne) { RunSweep(kDirect, true); }
TEST_F(AllocationSweep, BufferedLifeWithEachAllocationFailingAlone) { RunSweep(kBuffered, false); }
TEST_F(AllocationSweep, BufferedLifeWithEachAllocationFailingAndEveryLaterOne) { RunSweep(kBuffered, true); }

// ---- What the sweep found ---------------------------------------------------------------

// An open port on a simulated adapter, with reads that end when full or after a second.
class AfterAnAllocationFailure : public SimPortTest {
protected:
    void Open(std::vector<hk::RegistryValue> values, ULONG deviceFlags = DO_POWER_PAGABLE)
    {
        pipesim::Options o;
        o.registry = std::move(values);
        o.deviceFlags = deviceFlags;
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(std::move(o)));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
        SERIAL_TIMEOUTS t{0, 0, 1000, 0, 0};
        ASSERT_EQ(STATUS_SUCCESS, file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0, nullptr));
        hk::RecordAllocations(true);
    }
    void TearDown() override
    {
        hk::ClearFaults();
        if (file) file->Close();
        file.reset();
        SimPortTest::TearDown();
    }
    // The allocation made `from` allocations into the record failed, and was a pipe read's.
    void ExpectFailedRead(size_t at)
    {
        auto record = hk::RecordedAllocations();
        ASSERT_LT(at, record.size());
        EXPECT_TRUE(record[at].failed);
        EXPECT_STREQ("IoBuildAsynchronousFsdRequest", record[at].routine) << hk::Describe(record[at]);
    }
    std::unique_ptr<hk::File> file;
};

TEST_F(AfterAnAllocationFailure, TheReceivePumpTriesTheReadAgainSoLaterDataStillArrives)
{
    Open({});  // no status pipe: the receive pump's reads are the only ones
    for (unsigned long which : {1ul, 2ul}) {
        SCOPED_TRACE(which == 1 ? "the read's IRP" : "the read's MDL");
        size_t before = hk::RecordedAllocations().size();
        hk::FailAllocation(which);
        Bytes first = Sequence(10, 100 * which), second = Sequence(20, 100 * which + 10);
        sim->Feed(first);  // the pump's read completes; the next cannot be built
        auto read = file->StartRead(10);
        read->Wait();
        EXPECT_EQ(first, read->Output());
        ExpectFailedRead(before + which - 1);
        sim->Feed(second);
        read = file->StartRead(20);
        EXPECT_EQ(STATUS_SUCCESS, read->Wait()) << "the pump no longer reads the adapter";
        EXPECT_EQ(second, read->Output());
    }
}

TEST_F(AfterAnAllocationFailure, TheStatusPollingTriesTheReadAgainSoLineChangesStillArrive)
{
    Open({Dword(u"EndPointCaps", 1), Dword(u"CtlPollPeriod", 10)});
    for (unsigned long which : {1ul, 2ul}) {
        SCOPED_TRACE(which == 1 ? "the read's IRP" : "the read's MDL");
        size_t before = hk::RecordedAllocations().size();
        hk::FailAllocation(which);
        hk::AdvanceMs(30);  // the next poll's read cannot be built
        ExpectFailedRead(before + which - 1);
        ASSERT_EQ(STATUS_SUCCESS, file->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Le32(SERIAL_EV_CTS).data(), 4, nullptr, 0, nullptr));
        auto wait = file->StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        sim->SetLines(which == 1 ? pipesim::LINE_CTS : 0);
        EXPECT_TRUE(hk::RunUntil([&] { return wait->Done(); }, 1000 * 10000)) << "the polling no longer reads the lines";
        EXPECT_EQ(SERIAL_EV_CTS, Le32At(wait->Output(), 0));
    }
}

TEST_F(AfterAnAllocationFailure, WhileEveryAllocationFailsThePumpsKeepTryingAndStillStopForTheClose)
{
    Open({Dword(u"EndPointCaps", 1), Dword(u"CtlPollPeriod", 10)});
    hk::FailAllocation(1, true);
    sim->Feed(Sequence(10));
    hk::AdvanceMs(100);
    size_t failed = 0;
    for (const hk::Allocation& a : hk::RecordedAllocations()) failed += a.failed;
    EXPECT_GE(failed, 10u) << "both pumps try again every 10 ms";
    file->Close();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, file->WaitClosed()) << "the pipes could not be told";
    EXPECT_TRUE(file->Closed());
    hk::ClearFaults();
}

// Every allocation of a power-down in turn failing alone (the abort and the reset of each
// pipe): the port still receives and sends after the power-up.
TEST_F(AfterAnAllocationFailure, EachRequestOfAPowerDownIsTriedAgainSoThePortWorksAfterThePowerUp)
{
    Open({Dword(u"EndPointCaps", 1)});
    size_t stream = 0;
    for (unsigned long n = 1;; ++n) {
        SCOPED_TRACE(n);
        size_t before = hk::RecordedAllocations().size();
        hk::FailAllocation(n);
        ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
        hk::ClearFaults();
        auto record = hk::RecordedAllocations();
        bool failed = false;
        for (size_t i = before; i < record.size(); ++i) failed |= record[i].failed;
        ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
        Bytes in = Sequence(40, stream);
        stream += in.size();
        sim->Feed(in);
        auto read = file->StartRead(40);
        EXPECT_EQ(STATUS_SUCCESS, read->Wait()) << "the port no longer receives";
        EXPECT_EQ(in, read->Output());
        size_t sent = sim->OutBytes().size();
        ULONG written = 0;
        EXPECT_EQ(STATUS_SUCCESS, file->Write(in.data(), (ULONG)in.size(), &written));
        EXPECT_EQ(sent + in.size(), sim->OutBytes().size()) << "the port no longer sends";
        if (!failed) break;  // the power-down made fewer than n allocations
        ASSERT_LT(n, 100u);
    }
}

// Every allocation of a close in turn failing alone: the pipe driver is told of every
// pipe's close.
TEST_F(AfterAnAllocationFailure, EachPipeCloseIsTriedAgainSoNoPipeIsLeftOpen)
{
    Open({Dword(u"EndPointCaps", 1)});
    for (unsigned long n = 1;; ++n) {
        SCOPED_TRACE(n);
        size_t before = hk::RecordedAllocations().size();
        hk::FailAllocation(n);
        file->Close();
        EXPECT_EQ(STATUS_SUCCESS, file->WaitClosed());
        hk::ClearFaults();
        file.reset();
        for (Pipe p : {Pipe::DataOut, Pipe::DataIn, Pipe::Status}) EXPECT_FALSE(sim->IsOpen(p)) << (int)p;
        auto record = hk::RecordedAllocations();
        bool failed = false;
        for (size_t i = before; i < record.size(); ++i) failed |= record[i].failed;
        if (!failed) break;
        ASSERT_LT(n, 100u);
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
    }
}

class ConfigurationWhileMemoryIsShort : public SimPortTest {};

// Every allocation AddDevice makes failing in turn, alone: AddDevice fails, or the device
// has the configuration the registry gives it (a value read as its default made
// EndPointCaps 0, and line settings then reported success with nothing sent).
TEST_F(ConfigurationWhileMemoryIsShort, AddDeviceFailsOrTakesEveryValueTheRegistryHas)
{
    hk::RecordAllocations(true);
    for (unsigned long n = 1;; ++n) {
        SCOPED_TRACE(n);
        size_t before = hk::RecordedAllocations().size();
        hk::FailAllocation(n);
        pipesim::Options o;
        o.registry = {Dword(u"EndPointCaps", 3), Dword(u"TxAsync", 1), Dword(u"CtlPollPeriod", 50), Dword(u"RxPollPeriod", 2),
                      Dword(u"TxAllowNullPacket", 0), Dword(u"NoBaudCheck", 1), Dword(u"RxReqSize", 128)};
        NTSTATUS status = AddAdapter(std::move(o));
        hk::ClearFaults();
        auto record = hk::RecordedAllocations();
        bool failed = false;
        for (size_t i = before; i < record.size(); ++i) failed |= record[i].failed;
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(3u, Port()->EndPointCaps);
            EXPECT_EQ(1u, Port()->TxAsync);
            EXPECT_EQ(50, Port()->CtlPollPeriod);
            EXPECT_EQ(2u, Port()->RxPollPeriod);
            EXPECT_EQ(0u, Port()->TxAllowNullPacket);
            EXPECT_EQ(1u, Port()->NoBaudCheck);
            EXPECT_EQ(128u, Port()->RxReqSize);
            ASSERT_EQ(STATUS_SUCCESS, stack->Remove().status);
            port = nullptr;
        } else {
            EXPECT_TRUE(failed) << "AddDevice failed with " << std::hex << status << " though every allocation was had";
            EXPECT_EQ(nullptr, port);
        }
        if (!failed) break;  // AddDevice made fewer than n allocations
        ASSERT_LT(n, 100u);
    }
}

// Above a device that is not power-pageable the return to D0 is handled from a work
// item; one allocated then could be missing, and the port stayed powered down: reads
// timed out with the adapter's bytes waiting, writes "succeeded" with nothing sent.
TEST_F(AfterAnAllocationFailure, APowerUpWithNoMemoryToBeHadStillBringsThePortBack)
{
    Open({}, 0);
    ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
    hk::FailAllocation(1, true);
    ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
    hk::AdvanceMs(1);
    hk::ClearFaults();  // memory comes back after the power-up
    // The restart runs after the request completed, trying each command again for a while.
    ASSERT_TRUE(hk::RunUntil([&] { return Port()->TxStopped == 0; }, 10 * 10000000LL)) << "no restart";
    Bytes in = Sequence(30);
    sim->Feed(in);
    auto read = file->StartRead(30);
    EXPECT_EQ(STATUS_SUCCESS, read->Wait()) << "the port no longer receives";
    EXPECT_EQ(in, read->Output());
    ULONG written = 0;
    EXPECT_EQ(STATUS_SUCCESS, file->Write(in.data(), (ULONG)in.size(), &written));
    EXPECT_EQ(in.size(), written) << "the transmitter stayed stopped";
    EXPECT_EQ(in, sim->OutBytes());
}

// The restart after D0 runs once the request has completed, and may wait for the
// adapter. A close, and a power-down, that come meanwhile wait for it, so the restart
// never brings back a port that was closed or powered down again.
TEST_F(AfterAnAllocationFailure, ACloseOrPowerDownDuringTheRestartAfterD0WaitsForIt)
{
    Open({Dword(u"EndPointCaps", 1)}, 0);
    ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
    sim->HoldNext(pipesim::Kind::ControlTransfer);  // the restart's first command
    ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
    hk::YieldToOthers();
    NTSTATUS closed = STATUS_PENDING;
    {
        hk::Thread closer([&] {
            closed = file->Close();
            if (closed == STATUS_PENDING) closed = file->WaitClosed();
        }, "closer");
        hk::YieldToOthers();
        ASSERT_TRUE(sim->CompleteHeld(Pipe::Control, STATUS_SUCCESS));
        closer.Join();
    }
    EXPECT_EQ(STATUS_SUCCESS, closed);
    file.reset();
    hk::YieldToOthers();  // whatever the restart still had to do
    hk::AdvanceMs(1000);
    for (Pipe p : {Pipe::DataOut, Pipe::DataIn, Pipe::Status}) {
        EXPECT_FALSE(sim->IsOpen(p)) << "pipe " << (int)p << " open after the close";
        EXPECT_EQ(0u, sim->Outstanding(p)) << "pipe " << (int)p << " has requests after the close";
    }
    EXPECT_TRUE(Port()->TxStopped) << "the transmitter restarted after the close";

    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
    ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status);
    sim->HoldNext(pipesim::Kind::ControlTransfer);
    ASSERT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD0).status);
    hk::YieldToOthers();
    {
        hk::Thread powerDown([&] { EXPECT_EQ(STATUS_SUCCESS, stack->SetDevicePower(PowerDeviceD3).status); }, "power");
        hk::YieldToOthers();
        ASSERT_TRUE(sim->CompleteHeld(Pipe::Control, STATUS_SUCCESS));
        powerDown.Join();
    }
    hk::YieldToOthers();
    hk::AdvanceMs(1000);
    EXPECT_EQ(RUN_POWERED_DOWN, Port()->RunState);
    for (Pipe p : {Pipe::DataIn, Pipe::Status})
        EXPECT_EQ(0u, sim->Outstanding(p)) << "pipe " << (int)p << " read while the device is in D3";
    EXPECT_TRUE(Port()->TxStopped) << "the transmitter runs in D3";
}
