// vcom-bench: what the driver costs per byte and per request, with a Linux
// pseudo-terminal pair's figures beside it. Prints one table, writes the same figures
// as CSV and JSON (and the throughput curve as a data file for gnuplot) into the
// output folder, and ends with one line per target. Every figure is the median of
// the repetitions; every run checks its bytes and the emulation's verifier.
//
//   vcom-bench [--reps N] [--seconds S] [--out DIR] [--only SECTION] [--sizes N,N,...] [--no-pty] [--smoke]
//
// --only runs the sections whose names begin with SECTION (receive, transmit,
// roundtrip, delay, control, idle), for profiling one path; --sizes replaces the
// request sizes of the receive and transmit sections; --no-pty leaves the pseudo-
// terminal pair out.
// --smoke runs tiny sizes once and fails (exit 1) when a structural figure is wrong:
// the bytes, transfers per write, allocations per pipe read, idle requests, added
// delay. No rate is ever checked. Any run fails when a byte, a request, the verifier
// or the leak accounting is wrong.
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"

namespace {

using bench::Sample;

struct Settings {
    int reps = 5;
    bench::Budget budget;
    std::string out = "build/bench";
};

std::string gOnly;
std::vector<unsigned> gSizes;  // request sizes given on the command line
bool gPty = true;

// One line of the results: a workload at one size, its median figures.
struct Row {
    std::string section;
    std::string workload;
    unsigned size = 0;
    std::map<std::string, double> figures;
    int reps = 0;
};

std::vector<Row> gRows;
std::vector<std::string> gFailures;

double Median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs a workload `reps` times and records the medians.
const Row& Measure(const std::string& section, const std::string& workload, unsigned size, int reps,
                   const std::function<Sample()>& run)
{
    static const Row skipped;
    if (!gOnly.empty() && section.rfind(gOnly, 0) != 0) return skipped;
    std::map<std::string, std::vector<double>> all;
    int done = 0;
    for (int i = 0; i < reps; ++i) {
        Sample s = run();
        if (s.skipped) {
            std::fprintf(stderr, "\n%s %s %u skipped: %s\n", section.c_str(), workload.c_str(), size, s.problem.c_str());
            break;
        }
        if (!s.ok) {
            gFailures.push_back(section + " " + workload + " " + std::to_string(size) + ": " + s.problem);
            break;
        }
        for (auto& [name, value] : s.figures) all[name].push_back(value);
        ++done;
    }
    Row row{section, workload, size, {}, done};
    for (auto& [name, values] : all) row.figures[name] = Median(values);
    gRows.push_back(row);
    std::fprintf(stderr, ".");
    return gRows.back();
}

double Fig(const Row& r, const char* name)
{
    auto it = r.figures.find(name);
    return it == r.figures.end() ? NAN : it->second;
}

const Row* Find(const std::string& section, const std::string& workload, unsigned size)
{
    for (auto& r : gRows)
        if (r.section == section && r.workload == workload && r.size == size) return &r;
    return nullptr;
}

std::string Num(double v, int decimals = 0)
{
    if (std::isnan(v)) return "-";
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

std::string Machine()
{
    utsname u{};
    uname(&u);
    std::string cpu = "unknown processor";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);)
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    return cpu + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, Linux " + u.release;
}

void PrintTable(const Settings& st)
{
    std::printf("\nvcomusb benchmark: median of %d repetitions of %.2f s each (virtual-clock figures: one run)\n", st.reps,
                st.budget.seconds);
    std::printf("machine: %s\n", Machine().c_str());
    std::printf("adapter: high-speed bulk pipes (512-byte packets); RxReqSize %u, receive queue %u bytes, "
                "XonLimit %u, XoffLimit %u\n\n",
                bench::kRxReqSize, bench::kInQueue, bench::kXonLimit, bench::kXoffLimit);

    std::printf("Receive (adapter on the emulation's DPC thread, reader on the main thread)\n");
    std::printf("  %-7s %10s %10s %9s %10s %11s %9s %10s %8s\n", "read", "MB/s", "reads/s", "pipe/MB", "pool/MB", "IRPs/MB",
                "MDLs/MB", "pty MB/s", "ratio");
    for (auto& r : gRows) {
        if (r.section != "receive" || r.workload != "driver") continue;
        const Row* p = Find("receive", "pty", r.size);
        double pty = p ? Fig(*p, "MB/s") : NAN;
        std::printf("  %-7u %10s %10s %9s %10s %11s %9s %10s %7sx\n", r.size, Num(Fig(r, "MB/s"), 1).c_str(),
                    Num(Fig(r, "reads/s")).c_str(), Num(Fig(r, "pipe reads/MB"), 1).c_str(),
                    Num(Fig(r, "pool allocs/MB"), 2).c_str(), Num(Fig(r, "driver IRPs/MB"), 1).c_str(),
                    Num(Fig(r, "MDLs/MB"), 1).c_str(), Num(pty, 1).c_str(), Num(Fig(r, "MB/s") / pty, 1).c_str());
    }
    if (const Row* r = Find("receive-structure", "driver", 4096))
        std::printf("  per pipe read (virtual clock): %s pool allocations, %s IRPs, %s MDLs (the design needs 0, 1 and 1:\n"
                    "  the read's IRP and its MDL; the transfer buffer is allocated at open)\n",
                    Num(Fig(*r, "pool allocs/pipe read"), 3).c_str(), Num(Fig(*r, "driver IRPs/pipe read"), 3).c_str(),
                    Num(Fig(*r, "MDLs/pipe read"), 3).c_str());

    std::printf("\nTransmit. MB/s, writes/s: the adapter completes each transfer at once, from the DPC thread.\n"
                "Bytes per transfer three ways: that adapter (instant); each transfer taking a 125 us microframe\n"
                "on the real clock (bus); the virtual clock with 125 us transfers, where the writer outpaces the\n"
                "wire (virtual, also transfers and zero-length packets per write)\n");
    std::printf("  %-9s %-6s %10s %10s %9s %9s %9s %13s %10s\n", "mode", "write", "MB/s", "writes/s", "instant", "bus",
                "virtual", "transfers/wr", "ZLP/write");
    for (auto& r : gRows) {
        if (r.section != "transmit") continue;
        const Row* v = Find("transmit-structure", r.workload, r.size);
        const Row* bus = Find("transmit-bus", r.workload, r.size);
        std::printf("  %-9s %-6u %10s %10s %9s %9s %9s %13s %10s\n", r.workload.c_str(), r.size,
                    Num(Fig(r, "MB/s"), 1).c_str(), Num(Fig(r, "writes/s")).c_str(), Num(Fig(r, "bytes/transfer"), 1).c_str(),
                    bus ? Num(Fig(*bus, "bytes/transfer"), 1).c_str() : "-", v ? Num(Fig(*v, "bytes/transfer"), 1).c_str() : "-",
                    v ? Num(Fig(*v, "transfers/write"), 4).c_str() : "-", v ? Num(Fig(*v, "zero-length/write"), 3).c_str() : "-");
    }

    std::printf("\nRound trip through the loopback plug (write N, read N back)\n");
    std::printf("  %-6s %12s %12s %8s %22s %22s\n", "N", "trips/s", "pty trips/s", "ratio", "added delay, poll 0",
                "added delay, poll 10");
    for (auto& r : gRows) {
        if (r.section != "roundtrip" || r.workload != "driver") continue;
        const Row* p = Find("roundtrip", "pty", r.size);
        const Row* d0 = Find("delay", "poll 0", r.size);
        const Row* d10 = Find("delay", "poll 10", r.size);
        double pty = p ? Fig(*p, "trips/s") : NAN;
        std::printf("  %-6u %12s %12s %7sx %19s us %19s us\n", r.size, Num(Fig(r, "trips/s")).c_str(), Num(pty).c_str(),
                    Num(Fig(r, "trips/s") / pty, 2).c_str(), d0 ? Num(Fig(*d0, "added delay us"), 1).c_str() : "-",
                    d10 ? Num(Fig(*d10, "added delay us"), 1).c_str() : "-");
    }

    std::printf("\nControl requests\n");
    for (auto& r : gRows)
        if (r.section == "control")
            std::printf("  %-28s %10s requests/s, %s control transfers each\n", r.workload.c_str(),
                        Num(Fig(r, "requests/s")).c_str(), Num(Fig(r, "control transfers/request"), 2).c_str());

    std::printf("\nIdle, port open, CtlPollPeriod 10 (per virtual second)\n");
    for (auto& r : gRows)
        if (r.section == "idle")
            std::printf("  %-16s %6s pipe requests, %6s driver IRPs, %6s status reads, %6s timer DPCs; %s receive read "
                        "outstanding\n",
                        r.workload.c_str(), Num(Fig(r, "pipe requests/s"), 1).c_str(), Num(Fig(r, "driver IRPs/s"), 1).c_str(),
                        Num(Fig(r, "status reads/s"), 1).c_str(), Num(Fig(r, "timer DPCs/s"), 1).c_str(),
                        Num(Fig(r, "receive reads outstanding")).c_str());
}

void WriteFiles(const Settings& st)
{
    std::error_code error;
    std::filesystem::create_directories(st.out, error);
    if (error) {
        std::fprintf(stderr, "vcom-bench: cannot make %s: %s\n", st.out.c_str(), error.message().c_str());
        return;
    }
    std::ofstream csv(st.out + "/results.csv");
    csv << "section,workload,size,figure,median,repetitions\n";
    for (auto& r : gRows)
        for (auto& [name, value] : r.figures)
            csv << r.section << ',' << r.workload << ',' << r.size << ",\"" << name << "\"," << value << ',' << r.reps << '\n';
    std::ofstream json(st.out + "/results.json");
    json << "{\n  \"machine\": \"" << Machine() << "\",\n  \"repetitions\": " << st.reps << ",\n  \"rows\": [\n";
    for (size_t i = 0; i < gRows.size(); ++i) {
        auto& r = gRows[i];
        json << "    {\"section\": \"" << r.section << "\", \"workload\": \"" << r.workload << "\", \"size\": " << r.size
             << ", \"repetitions\": " << r.reps << ", \"figures\": {";
        bool first = true;
        for (auto& [name, value] : r.figures) {
            json << (first ? "" : ", ") << '"' << name << "\": " << (std::isfinite(value) ? value : 0);
            first = false;
        }
        json << "}}" << (i + 1 < gRows.size() ? "," : "") << '\n';
    }
    json << "  ]\n}\n";
    std::ofstream curve(st.out + "/throughput.dat");
    curve << "# read size, driver MB/s, pty MB/s\n";
    for (auto& r : gRows)
        if (r.section == "receive" && r.workload == "driver") {
            const Row* p = Find("receive", "pty", r.size);
            curve << r.size << ' ' << Fig(r, "MB/s") << ' ' << (p ? Fig(*p, "MB/s") : 0) << '\n';
        }
}

// One line per target; in smoke mode the structural ones decide the exit status.
bool Targets(bool smoke)
{
    bool structuralOk = true;
    auto line = [](const std::string& text, bool met) { std::printf("%s: %s\n", text.c_str(), met ? "met" : "NOT met"); };
    std::printf("\n");
    if (const Row* r = Find("receive", "driver", 4096)) {
        const Row* p = Find("receive", "pty", 4096);
        double mbs = Fig(*r, "MB/s"), ratio = p ? mbs / Fig(*p, "MB/s") : NAN;
        line("receive 4096: " + Num(mbs) + " MB/s (goal 1000 MB/s), " + Num(ratio, 1) + "x pty (goal 15x)",
             mbs >= 1000 && ratio >= 15);
    }
    if (const Row* r = Find("receive-structure", "driver", 4096)) {
        double pool = Fig(*r, "pool allocs/pipe read"), irps = Fig(*r, "driver IRPs/pipe read"), mdls = Fig(*r, "MDLs/pipe read");
        bool met = pool == 0 && irps == 1 && mdls == 1;
        line("allocations per pipe read: " + Num(pool, 3) + " pool, " + Num(irps, 3) + " IRPs, " + Num(mdls, 3) +
                 " MDLs (goal 0 pool, 1 IRP with its MDL; none per byte)",
             met);
        structuralOk &= met;
    }
    // How writes gather depends on how long the bus takes a transfer: measured on the
    // real clock, so a figure and not a structural check.
    if (const Row* r = Find("transmit-bus", "buffered", 1)) {
        const Row* v = Find("transmit-structure", "buffered", 1);
        double b = Fig(*r, "bytes/transfer");
        line("buffered 1-byte writes at threshold 512: " + Num(b, 1) + " bytes per transfer with 125 us transfers (" +
                 (v ? Num(Fig(*v, "bytes/transfer"), 1) : std::string("-")) +
                 " when the writer outpaces the wire) (goal 500)",
             b >= 500);
    }
    bool direct = true;
    for (auto& r : gRows)
        if (r.section == "transmit-structure" && r.workload == "direct") {
            double zlp = r.size % 512 == 0 ? 1 : 0;
            direct &= Fig(r, "transfers/write") == 1 && Fig(r, "zero-length/write") == zlp;
        }
    line("direct writes: one transfer per write, a zero-length packet after each multiple of 512", direct);
    structuralOk &= direct;
    double worst = 0;
    for (auto& r : gRows)
        if (r.section == "delay" && r.workload == "poll 0") worst = std::max(worst, Fig(r, "added delay us"));
    line("round trip on the virtual clock with RxPollPeriod 0: " + Num(worst, 1) + " us added (goal 0)", worst == 0);
    structuralOk &= worst == 0;
    if (const Row* r = Find("idle", "no status pipe", 0)) {
        double req = Fig(*r, "pipe requests/s"), irps = Fig(*r, "driver IRPs/s"), dpcs = Fig(*r, "timer DPCs/s");
        double out = Fig(*r, "receive reads outstanding");
        bool met = req == 0 && irps == 0 && dpcs == 0 && out == 1;
        line("idle without a status pipe: " + Num(req, 1) + " requests/s, " + Num(dpcs, 1) + " timer DPCs/s beyond " +
                 Num(out) + " receive read (goal 0 beyond 1)",
             met);
        structuralOk &= met;
    }
    if (const Row* r = Find("idle", "status pipe", 0)) {
        // Polling every CtlPollPeriod (10 ms): one status read per period, nothing else.
        double status = Fig(*r, "status reads/s"), req = Fig(*r, "pipe requests/s");
        bool polled = status == 100 && req == 100;
        line("idle with a status pipe: " + Num(status, 1) + " status reads/s, " + Num(req, 1) +
                 " pipe requests/s (one read per 10 ms period)",
             polled);
        structuralOk &= polled;
    }
    (void)smoke;
    return structuralOk;
}

int Usage()
{
    std::fprintf(stderr, "usage: vcom-bench [--reps N] [--seconds S] [--out DIR] [--only SECTION] [--sizes N,N,...] [--no-pty] [--smoke]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    Settings st;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--smoke") {
            st.budget.smoke = true;
            st.budget.seconds = 0.01;
            st.reps = 1;
        } else if (a == "--reps") {
            const char* v = value();
            if (!v || (st.reps = std::atoi(v)) < 1) return Usage();
        } else if (a == "--seconds") {
            const char* v = value();
            if (!v || (st.budget.seconds = std::atof(v)) <= 0) return Usage();
        } else if (a == "--sizes") {
            const char* v = value();
            if (!v) return Usage();
            gSizes.clear();
            for (const char* p = v; *p;) {
                char* end;
                unsigned long n = std::strtoul(p, &end, 10);
                if (end == p || n == 0 || n > 1048576) return Usage();
                gSizes.push_back((unsigned)n);
                p = *end == ',' ? end + 1 : end;
                if (*end && *end != ',') return Usage();
            }
        } else if (a == "--no-pty") {
            gPty = false;
        } else if (a == "--only") {
            const char* v = value();
            if (!v) return Usage();
            gOnly = v;
        } else if (a == "--out") {
            const char* v = value();
            if (!v) return Usage();
            st.out = v;
        } else {
            return Usage();
        }
    }
    const int reps = st.reps;
    const auto& b = st.budget;
    std::vector<unsigned> sizes = {1, 64, 4096, 65536};
    if (b.smoke) sizes = {1, 64, 4096};
    if (!gSizes.empty()) sizes = gSizes;

    for (unsigned n : sizes) {
        Measure("receive", "driver", n, reps, [&] { return bench::DriverReceive(n, b); });
        if (gPty) Measure("receive", "pty", n, reps, [&] { return bench::PtyReceive(n, b); });
        Measure("receive-structure", "driver", n, 1, [&] { return bench::DriverReceiveStructure(n, b); });
    }
    for (bool buffered : {false, true}) {
        const char* mode = buffered ? "buffered" : "direct";
        for (unsigned n : sizes) {
            Measure("transmit", mode, n, reps, [&] { return bench::DriverTransmit(buffered, n, b); });
            Measure("transmit-bus", mode, n, reps, [&] { return bench::DriverTransmitOnTheBus(buffered, n, b); });
            Measure("transmit-structure", mode, n, 1, [&] { return bench::DriverTransmitStructure(buffered, n, b); });
        }
    }
    for (unsigned n : {1u, 4096u}) {
        Measure("roundtrip", "driver", n, reps, [&] { return bench::DriverRoundTrip(n, b); });
        if (gPty) Measure("roundtrip", "pty", n, reps, [&] { return bench::PtyRoundTrip(n, b); });
        Measure("delay", "poll 0", n, 1, [&] { return bench::DriverDeliveryDelay(n, 0); });
        Measure("delay", "poll 10", n, 1, [&] { return bench::DriverDeliveryDelay(n, 10); });
    }
    Measure("control", "GET_COMMSTATUS", 0, reps, [&] { return bench::DriverControl(bench::Control::GetCommStatus, b); });
    Measure("control", "GET_MODEMSTATUS", 0, reps, [&] { return bench::DriverControl(bench::Control::GetModemStatus, b); });
    Measure("control", "SET_BAUD_RATE", 0, reps, [&] { return bench::DriverControl(bench::Control::SetBaudRate, b); });
    Measure("idle", "no status pipe", 0, 1, [] { return bench::DriverIdle(false); });
    Measure("idle", "status pipe", 0, 1, [] { return bench::DriverIdle(true); });
    std::fprintf(stderr, "\n");

    PrintTable(st);
    WriteFiles(st);
    bool structural = Targets(b.smoke);
    for (auto& f : gFailures) std::printf("FAILED %s\n", f.c_str());
    if (!gFailures.empty()) return 1;
    if (b.smoke && !structural) {
        std::printf("FAILED a structural figure is wrong\n");
        return 1;
    }
    return 0;
}
