// The driver's workloads: one port on one simulated adapter, reached through the
// emulation's I/O manager as an application reaches it, on the real clock (figures
// per second) or the virtual clock (figures that do not depend on timing). Every run
// ends with the port closed and removed, the driver unloaded, and the emulation's
// verifier and leak accounting consulted: a report there fails the run.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

#include "bench.h"
#include "driver/driver.h"
#include "hostkernel/frontend.h"
#include "pipesim/pipesim.h"

namespace bench {

double Seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

namespace {

constexpr size_t kBlock = 1048573;  // a prime

const std::vector<unsigned char>& Block()
{
    static const std::vector<unsigned char> block = [] {
        std::vector<unsigned char> b(kBlock);
        uint64_t x = 0x9E3779B97F4A7C15ull;
        for (auto& c : b) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            c = (unsigned char)(x >> 24);
        }
        return b;
    }();
    return block;
}

}  // namespace

Stream::Stream() { Block(); }

void Stream::Fill(unsigned char* out, size_t n)
{
    const auto& b = Block();
    while (n) {
        size_t k = std::min(n, kBlock - at_);
        std::memcpy(out, b.data() + at_, k);
        out += k;
        n -= k;
        at_ = (at_ + k) % kBlock;
    }
}

bool Stream::Check(const unsigned char* in, size_t n)
{
    const auto& b = Block();
    bool same = true;
    while (n) {
        size_t k = std::min(n, kBlock - at_);
        same &= std::memcmp(in, b.data() + at_, k) == 0;
        in += k;
        n -= k;
        at_ = (at_ + k) % kBlock;
    }
    return same;
}

namespace {

using hk::RegistryValue;

// One port, from the load of the driver to its unload.
class Rig {
public:
    Rig(hk::ClockMode clock, std::vector<RegistryValue> values, pipesim::Options options, Sample* sample)
        : sample_(sample)
    {
        hk::Reset(clock);
        hk::TakeViolations();
        if (hk::LoadedDriver::Load(DriverEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vcomusb",
                                   &driver_) != STATUS_SUCCESS) {
            sample_->Fail("the driver did not load");
            return;
        }
        values.push_back(RegistryValue::String(u"PortName", u"COM5"));
        options.registry = std::move(values);
        options.record = false;  // long runs: counts only (PipeSim::Counts)
        sim = std::make_unique<pipesim::PipeSim>(std::move(options));
        stack_.emplace(sim->Pdo());
        if (stack_->AddDevice(*driver_) != STATUS_SUCCESS || stack_->Pnp(IRP_MN_START_DEVICE).status != STATUS_SUCCESS) {
            sample_->Fail("the port did not start");
            return;
        }
        port_ = stack_->Top();
    }

    // Opens the port with a receive ring of kInQueue bytes and the timeouts given.
    bool Open(const SERIAL_TIMEOUTS& timeouts)
    {
        if (!port_ || hk::File::Open(u"\\DosDevices\\COM5", &file) != STATUS_SUCCESS) {
            sample_->Fail("the port did not open");
            return false;
        }
        SERIAL_QUEUE_SIZE queue{kInQueue, 4096};
        ULONG n;
        if (file->Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, &queue, sizeof queue, nullptr, 0, &n) != STATUS_SUCCESS ||
            file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0, &n) != STATUS_SUCCESS) {
            sample_->Fail("the port refused its queue size or timeouts");
            return false;
        }
        // Flow control as an application that reads in bulk sets it: the pump stops
        // when kXoffLimit bytes of room are left and goes on below kXonLimit bytes.
        SERIAL_HANDFLOW flow;
        if (file->Ioctl(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &flow, sizeof flow, &n) != STATUS_SUCCESS) {
            sample_->Fail("no handflow");
            return false;
        }
        flow.XonLimit = kXonLimit;
        flow.XoffLimit = kXoffLimit;
        if (file->Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow, nullptr, 0, &n) != STATUS_SUCCESS) {
            sample_->Fail("the port refused its flow control limits");
            return false;
        }
        return true;
    }

    ~Rig()
    {
        if (file) file->Close();
        file.reset();
        if (port_) stack_->Remove();
        if (driver_) driver_->Unload();
        driver_.reset();
        sim.reset();
        auto seen = hk::TakeViolations();
        if (!seen.empty()) sample_->Fail("the verifier reported: " + hk::Describe(seen));
        if (!hk::OutstandingPool().empty() || hk::OutstandingIrps() || hk::OutstandingMdls() || hk::OpenRegistryHandles())
            sample_->Fail("pool, IRPs, MDLs or registry handles were left behind");
        hk::Shutdown();
        hk::Reset(hk::ClockMode::Virtual);
        hk::TakeViolations();
    }

    std::unique_ptr<pipesim::PipeSim> sim;
    std::unique_ptr<hk::File> file;

private:
    Sample* sample_;
    std::unique_ptr<hk::LoadedDriver> driver_;
    std::optional<hk::DeviceStack> stack_;
    PDEVICE_OBJECT port_ = nullptr;
};

pipesim::Options HighSpeed(bool statusEndpoint = false)
{
    pipesim::Options o;
    o.maxPacketIn = 512;
    o.maxPacketOut = 512;
    o.statusEndpoint = statusEndpoint;
    return o;
}

constexpr LONGLONG kMicroframe = 1250;  // 125 us, in 100 ns

// Reads complete as soon as they have all their bytes.
constexpr SERIAL_TIMEOUTS kWaitForAll{0, 0, 0, 0, 0};

double PerMB(unsigned long long count, double bytes) { return bytes > 0 ? count * 1e6 / bytes : 0; }

}  // namespace

namespace {
// The Rig lives and dies inside: its teardown's findings are in the sample before it is returned.
void DriverReceiveOn(Sample& s, unsigned size, const Budget& budget)
{
    Rig rig(hk::ClockMode::Real, {RegistryValue::Dword(u"RxReqSize", kRxReqSize)}, HighSpeed(), &s);
    if (!s.ok || !rig.Open(kWaitForAll)) return;
    rig.sim->CompleteLater(pipesim::Kind::Read, 0);  // the adapter answers from the DPC thread
    Stream adapter, expected;
    rig.sim->SetInStream([&adapter](UCHAR* b, ULONG n) { adapter.Fill(b, n); });

    std::vector<UCHAR> buffer(size);
    auto before = hk::ReadCounters();
    auto trafficBefore = rig.sim->Counts();
    double bytes = 0, reads = 0;
    double start = Seconds(), elapsed = 0;
    while (elapsed < budget.seconds) {
        ULONG got = 0;
        NTSTATUS status = rig.file->Read(buffer.data(), size, &got);
        if (status != STATUS_SUCCESS || got != size) {
            s.Fail("a read ended with " + std::to_string(got) + " of " + std::to_string(size) + " bytes");
            break;
        }
        if (!expected.Check(buffer.data(), size)) {
            s.Fail("the bytes read are not the bytes the adapter sent");
            break;
        }
        bytes += size;
        reads += 1;
        if (((unsigned long long)reads & 63) == 0 || size >= 4096) elapsed = Seconds() - start;
    }
    elapsed = Seconds() - start;
    auto after = hk::ReadCounters();
    auto traffic = rig.sim->Counts();
    rig.sim->SetInStream({});
    s.figures["MB/s"] = bytes / 1e6 / elapsed;
    s.figures["reads/s"] = reads / elapsed;
    // Costs per megabyte the adapter delivered (the ring may hold more than was read).
    double delivered = (double)(traffic.inBytes - trafficBefore.inBytes);
    double pipeReads = (double)(traffic.inReads - trafficBefore.inReads);
    s.figures["pipe reads/MB"] = PerMB(traffic.inReads - trafficBefore.inReads, delivered);
    s.figures["pool allocs/MB"] = PerMB(after.poolAllocations - before.poolAllocations, delivered);
    s.figures["driver IRPs/MB"] = PerMB(after.driverIrps - before.driverIrps, delivered);
    s.figures["MDLs/MB"] = PerMB(after.mdls - before.mdls, delivered);
    (void)pipeReads;
    s.figures["MB"] = bytes / 1e6;
}
}  // namespace

Sample DriverReceive(unsigned size, const Budget& budget)
{
    Sample s;
    DriverReceiveOn(s, size, budget);
    return s;
}

namespace {
// The Rig lives and dies inside: its teardown's findings are in the sample before it is returned.
void DriverReceiveStructureOn(Sample& s, unsigned size, const Budget& budget)
{
    Rig rig(hk::ClockMode::Virtual, {RegistryValue::Dword(u"RxReqSize", kRxReqSize)}, HighSpeed(), &s);
    if (!s.ok || !rig.Open(kWaitForAll)) return;
    Stream adapter, expected;
    rig.sim->SetInStream([&adapter](UCHAR* b, ULONG n) { adapter.Fill(b, n); });
    hk::RunDpcs();
    auto before = hk::ReadCounters();
    auto trafficBefore = rig.sim->Counts();
    std::vector<UCHAR> buffer(size);
    const int reads = budget.smoke ? 256 : 4096;
    for (int i = 0; i < reads; ++i) {
        auto read = rig.file->StartRead(size);
        if (!hk::RunUntil([&] { return read->Done(); }, 10000000) || read->Status() != STATUS_SUCCESS ||
            read->Output().size() != size || !expected.Check(read->Output().data(), size)) {
            s.Fail("a read did not get the adapter's bytes");
            break;
        }
    }
    auto after = hk::ReadCounters();
    auto traffic = rig.sim->Counts();
    rig.sim->SetInStream({});
    // On the virtual clock nothing runs between the two snapshots: exact figures.
    double pipeReads = (double)(traffic.inReads - trafficBefore.inReads);
    s.figures["pool allocs/pipe read"] = pipeReads ? (after.poolAllocations - before.poolAllocations) / pipeReads : NAN;
    s.figures["driver IRPs/pipe read"] = pipeReads ? (after.driverIrps - before.driverIrps) / pipeReads : NAN;
    s.figures["MDLs/pipe read"] = pipeReads ? (after.mdls - before.mdls) / pipeReads : NAN;
}
}  // namespace

Sample DriverReceiveStructure(unsigned size, const Budget& budget)
{
    Sample s;
    DriverReceiveStructureOn(s, size, budget);
    return s;
}

namespace {

std::vector<RegistryValue> TransmitValues(bool buffered)
{
    return {RegistryValue::Dword(u"TxAsync", buffered ? 1 : 0), RegistryValue::Dword(u"TxKickThreshold", 512)};
}

// Writes of `size` bytes until the budget or `count` writes are used up; then, in
// buffered mode, waits until the adapter has everything.
void WriteFor(Rig& rig, Sample& s, unsigned size, double seconds, unsigned long long count, double* bytes, double* writes)
{
    Stream data;
    std::vector<UCHAR> buffer(size);
    double start = Seconds();
    while ((seconds <= 0 || Seconds() - start < seconds) && (count == 0 || *writes < (double)count)) {
        data.Fill(buffer.data(), size);
        ULONG done = 0;
        if (rig.file->Write(buffer.data(), size, &done) != STATUS_SUCCESS || done != size) {
            s.Fail("a write ended with " + std::to_string(done) + " of " + std::to_string(size) + " bytes");
            return;
        }
        *bytes += size;
        *writes += 1;
    }
}

void TransferFigures(Sample& s, const pipesim::PipeSim::Traffic& t, double bytes, double writes)
{
    if ((double)t.outBytes != bytes) s.Fail("the adapter received " + std::to_string(t.outBytes) + " of " +
                                            std::to_string((unsigned long long)bytes) + " bytes written");
    s.figures["transfers/write"] = writes ? t.outTransfers / writes : 0;
    s.figures["zero-length/write"] = writes ? t.zeroLength / writes : 0;
    s.figures["bytes/transfer"] = t.outTransfers ? t.outBytes / (double)t.outTransfers : 0;
}

// In buffered mode the last bytes leave after the writes completed: let them.
void Drain(Rig& rig, double bytes)
{
    if (hk::Mode() == hk::ClockMode::Virtual) {
        hk::RunUntil([&] { return (double)rig.sim->Counts().outBytes >= bytes; }, 10 * 10000000LL);
        return;
    }
    double until = Seconds() + 5;
    while ((double)rig.sim->Counts().outBytes < bytes && Seconds() < until) hk::AdvanceMs(1);
}

}  // namespace

namespace {
// The Rig lives and dies inside: its teardown's findings are in the sample before it is returned.
void DriverTransmitOn(Sample& s, bool buffered, unsigned size, const Budget& budget)
{
    Rig rig(hk::ClockMode::Real, TransmitValues(buffered), HighSpeed(), &s);
    if (!s.ok || !rig.Open(kWaitForAll)) return;
    rig.sim->CompleteLater(pipesim::Kind::Write, 0);  // the adapter answers from the DPC thread
    double bytes = 0, writes = 0;
    double start = Seconds();
    WriteFor(rig, s, size, budget.seconds, 0, &bytes, &writes);
    double elapsed = Seconds() - start;
    Drain(rig, bytes);
    s.figures["MB/s"] = bytes / 1e6 / elapsed;
    s.figures["writes/s"] = writes / elapsed;
    TransferFigures(s, rig.sim->Counts(), bytes, writes);
}
}  // namespace

Sample DriverTransmit(bool buffered, unsigned size, const Budget& budget)
{
    Sample s;
    DriverTransmitOn(s, buffered, size, budget);
    return s;
}

namespace {
// The Rig lives and dies inside: its teardown's findings are in the sample before it is returned.
void DriverTransmitOnTheBusOn(Sample& s, bool buffered, unsigned size, const Budget& budget)
{
    Rig rig(hk::ClockMode::Real, TransmitValues(buffered), HighSpeed(), &s);
    if (!s.ok || !rig.Open(kWaitForAll)) return;
    rig.sim->CompleteLater(pipesim::Kind::Write, kMicroframe);
    double bytes = 0, writes = 0;
    WriteFor(rig, s, size, budget.seconds, 0, &bytes, &writes);
    Drain(rig, bytes);
    TransferFigures(s, rig.sim->Counts(), bytes, writes);
}
}  // namespace

Sample DriverTransmitOnTheBus(bool buffered, unsigned size, const Budget& budget)
{
    Sample s;
    DriverTransmitOnTheBusOn(s, buffered, size, budget);
    return s;
}

namespace {
void DriverTransmitStructureOn(Sample& s, bool buffered, unsigned size, const Budget& budget)
{
    Rig rig(hk::ClockMode::Virtual, TransmitValues(buffered), HighSpeed(), &s);
    if (!s.ok || !rig.Open(kWaitForAll)) return;
    // Each transfer takes the adapter one high-speed microframe, as on the bus: what
    // the application writes meanwhile gathers in the ring.
    rig.sim->CompleteLater(pipesim::Kind::Write, kMicroframe);
    double bytes = 0, writes = 0;
    unsigned long long count = (budget.smoke ? 16384 : 262144) / size;
    if (count < 4) count = 4;
    WriteFor(rig, s, size, 0, count, &bytes, &writes);
    Drain(rig, bytes);
    TransferFigures(s, rig.sim->Counts(), bytes, writes);
}
}  // namespace

Sample DriverTransmitStructure(bool buffered, unsigned size, const Budget& budget)
{
    Sample s;
    DriverTransmitStructureOn(s, buffered, size, budget);
    return s;
}

namespace {
// The Rig lives and dies inside: its teardown's findings are in the sample before it is returned.
void DriverRoundTripOn(Sample& s, unsigned size, const Budget& budget)
{
    Rig rig(hk::ClockMode::Real, {RegistryValue::Dword(u"RxReqSize", kRxReqSize)}, HighSpeed(), &s);
    if (!s.ok || !rig.Open(kWaitForAll)) return;
    rig.sim->SetLoopback(true);
    Stream data;
    std::vector<UCHAR> out(size), in(size);
    double trips = 0;
    double start = Seconds(), elapsed = 0;
    while (elapsed < budget.seconds) {
        data.Fill(out.data(), size);
        ULONG n = 0;
        if (rig.file->Write(out.data(), size, &n) != STATUS_SUCCESS || n != size) {
            s.Fail("a write failed");
            break;
        }
        if (rig.file->Read(in.data(), size, &n) != STATUS_SUCCESS || n != size || in != out) {
            s.Fail("the loopback did not bring the bytes back");
            break;
        }
        trips += 1;
        elapsed = Seconds() - start;
    }
    s.figures["trips/s"] = trips / elapsed;
    s.figures["us/trip"] = trips ? elapsed * 1e6 / trips : 0;
}
}  // namespace

Sample DriverRoundTrip(unsigned size, const Budget& budget)
{
    Sample s;
    DriverRoundTripOn(s, size, budget);
    return s;
}

namespace {
// The Rig lives and dies inside: its teardown's findings are in the sample before it is returned.
void DriverDeliveryDelayOn(Sample& s, unsigned size, unsigned rxPollPeriod)
{
    Rig rig(hk::ClockMode::Virtual,
            {RegistryValue::Dword(u"RxReqSize", kRxReqSize), RegistryValue::Dword(u"RxPollPeriod", rxPollPeriod)},
            HighSpeed(), &s);
    if (!s.ok || !rig.Open(kWaitForAll)) return;
    Stream data;
    std::vector<UCHAR> bytes(size);
    double worst = 0;
    // Rounds at different moments, so that a poll timer's phase shows, and every other
    // one right after the previous read completed, with no time for a pause of the pump
    // between the two deliveries.
    for (int round = 0; round < 8 && s.ok; ++round) {
        if (round % 2 == 0) hk::AdvanceTime(37000LL * (round + 1));  // 3.7 ms, 11.1 ms, ...
        auto read = rig.file->StartRead(size);
        hk::RunDpcs();
        data.Fill(bytes.data(), size);
        LONGLONG delivered = hk::Now();
        rig.sim->Feed(bytes);
        if (!hk::RunUntil([&] { return read->Done(); }, 10 * 10000000LL) || read->Status() != STATUS_SUCCESS ||
            read->Output() != bytes) {
            s.Fail("a read did not get the bytes the adapter delivered");
            break;
        }
        double delay = (double)(hk::Now() - delivered) / 10.0;  // microseconds
        if (delay > worst) worst = delay;
    }
    s.figures["added delay us"] = worst;
}
}  // namespace

Sample DriverDeliveryDelay(unsigned size, unsigned rxPollPeriod)
{
    Sample s;
    DriverDeliveryDelayOn(s, size, rxPollPeriod);
    return s;
}

namespace {
// The Rig lives and dies inside: its teardown's findings are in the sample before it is returned.
void DriverControlOn(Sample& s, Control which, const Budget& budget)
{
    // The three-byte line configuration: every baud rate goes to the adapter.
    Rig rig(hk::ClockMode::Real, {RegistryValue::Dword(u"EndPointCaps", 3)}, HighSpeed(true), &s);
    if (!s.ok || !rig.Open(kWaitForAll)) return;
    auto before = rig.sim->Counts();
    double requests = 0;
    double start = Seconds(), elapsed = 0;
    while (elapsed < budget.seconds) {
        ULONG n = 0;
        NTSTATUS status;
        if (which == Control::GetCommStatus) {
            SERIAL_STATUS st;
            status = rig.file->Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &st, sizeof st, &n);
        } else if (which == Control::GetModemStatus) {
            ULONG lines;
            status = rig.file->Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &lines, sizeof lines, &n);
        } else {
            SERIAL_BAUD_RATE rate{((unsigned long long)requests & 1) ? 9600u : 19200u};
            status = rig.file->Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, nullptr, 0, &n);
        }
        if (status != STATUS_SUCCESS) {
            s.Fail("a control request failed");
            break;
        }
        requests += 1;
        if (((unsigned long long)requests & 63) == 0) elapsed = Seconds() - start;
    }
    elapsed = Seconds() - start;
    s.figures["requests/s"] = requests / elapsed;
    double transfers = (double)(rig.sim->Counts().controlTransfers - before.controlTransfers);
    s.figures["control transfers/request"] = requests ? transfers / requests : 0;
    if (which == Control::SetBaudRate && transfers < requests) s.Fail("a baud rate did not reach the adapter");
}
}  // namespace

Sample DriverControl(Control which, const Budget& budget)
{
    Sample s;
    DriverControlOn(s, which, budget);
    return s;
}

namespace {
// The Rig lives and dies inside: its teardown's findings are in the sample before it is returned.
void DriverIdleOn(Sample& s, bool statusPipe)
{
    std::vector<RegistryValue> values{RegistryValue::Dword(u"CtlPollPeriod", 10)};
    if (statusPipe) values.push_back(RegistryValue::Dword(u"EndPointCaps", 1));
    Rig rig(hk::ClockMode::Virtual, values, HighSpeed(statusPipe), &s);
    if (!s.ok || !rig.Open(kWaitForAll)) return;
    hk::AdvanceMs(1000);  // let the open's work settle
    auto before = hk::ReadCounters();
    auto trafficBefore = rig.sim->Counts();
    constexpr int kSeconds = 10;
    hk::AdvanceMs(kSeconds * 1000);
    auto after = hk::ReadCounters();
    auto t = rig.sim->Counts();
    // What reached the pipe driver, counted there, and every IRP the driver built.
    auto sum = [](const pipesim::PipeSim::Traffic& x) {
        return x.inReads + x.statusReads + x.outTransfers + x.zeroLength + x.controlTransfers;
    };
    s.figures["pipe requests/s"] = (double)(sum(t) - sum(trafficBefore)) / kSeconds;
    s.figures["driver IRPs/s"] = (double)(after.driverIrps - before.driverIrps) / kSeconds;
    s.figures["status reads/s"] = (double)(t.statusReads - trafficBefore.statusReads) / kSeconds;
    s.figures["timer DPCs/s"] = (double)(after.timerDpcs - before.timerDpcs) / kSeconds;
    s.figures["receive reads outstanding"] = (double)rig.sim->Outstanding(pipesim::Pipe::DataIn);
}
}  // namespace

Sample DriverIdle(bool statusPipe)
{
    Sample s;
    DriverIdleOn(s, statusPipe);
    return s;
}

}  // namespace bench
