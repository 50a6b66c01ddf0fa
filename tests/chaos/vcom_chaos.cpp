// vcom-chaos: the randomized concurrency runs, long form. Runs seed after seed until
// the operations asked for are done, printing each run's seed and outcome, then the
// figures; or replays the runs of the seeds given.
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "chaos/chaos.h"

namespace {

void Usage(std::FILE* to)
{
    std::fprintf(to,
                 "usage: vcom-chaos [--ops N] [--seed S]... [--first-seed S] [--run-requests N]\n"
                 "                  [--profile random|clean|rough|removal] [--stall-seconds N] [--quiet]\n"
                 "  --ops N            run seeds from --first-seed on until N operations are done\n"
                 "                     (application requests, cancels, adapter events, power and PnP requests)\n"
                 "  --seed S           run the seed S (decimal or 0x hex) and nothing else; may be repeated\n"
                 "  --first-seed S     the first seed of an --ops run (default 1)\n"
                 "  --run-requests N   application requests per run (default 3000)\n"
                 "  --profile P        what the runs do: chosen by each seed (random, the default), or all clean,\n"
                 "                     all rough (purges, power cycles, failures), all with a surprise removal\n"
                 "  --stall-seconds N  how long nothing may happen before a run is a hang (default 60)\n"
                 "  --quiet            print only failing runs and the figures\n");
}

bool Number(const char* text, uint64_t* out)
{
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (!*text || *end) return false;
    *out = v;
    return true;
}

std::string Machine()
{
    std::string model;
    std::ifstream cpu("/proc/cpuinfo");
    for (std::string line; std::getline(cpu, line);) {
        if (line.rfind("model name", 0) == 0) {
            auto colon = line.find(':');
            if (colon != std::string::npos) model = line.substr(colon + 2);
            break;
        }
    }
    utsname u{};
    uname(&u);
    return (model.empty() ? std::string("unknown processor") : model) + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) +
           " processors, " + u.sysname + " " + u.release;
}

const char* Build()
{
#if defined(__SANITIZE_THREAD__)
    return "ThreadSanitizer";
#elif defined(__SANITIZE_ADDRESS__)
    return "AddressSanitizer and UBSan";
#else
    return "no sanitizer";
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    uint64_t ops = 0, firstSeed = 1, runRequests = 3000;
    std::vector<uint64_t> seeds;
    chaos::Profile profile = chaos::Profile::Random;
    chaos::Limits limits;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        uint64_t v = 0;
        auto value = [&](uint64_t* out) {
            if (i + 1 >= argc || !Number(argv[i + 1], out)) {
                std::fprintf(stderr, "vcom-chaos: %s needs a number\n", a.c_str());
                std::exit(2);
            }
            ++i;
        };
        if (a == "--ops") {
            value(&ops);
        } else if (a == "--seed") {
            value(&v);
            seeds.push_back(v);
        } else if (a == "--first-seed") {
            value(&firstSeed);
        } else if (a == "--run-requests") {
            value(&runRequests);
            if (!runRequests) {
                std::fprintf(stderr, "vcom-chaos: --run-requests must be at least 1\n");
                return 2;
            }
        } else if (a == "--stall-seconds") {
            value(&v);
            limits.stallSeconds = (int)v;
        } else if (a == "--profile" && i + 1 < argc) {
            std::string p = argv[++i];
            if (p == "random") profile = chaos::Profile::Random;
            else if (p == "clean") profile = chaos::Profile::Clean;
            else if (p == "rough") profile = chaos::Profile::Rough;
            else if (p == "removal") profile = chaos::Profile::Removal;
            else {
                std::fprintf(stderr, "vcom-chaos: unknown profile '%s'\n", p.c_str());
                return 2;
            }
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "vcom-chaos: unknown argument '%s'\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (seeds.empty() && !ops) {
        Usage(stderr);
        return 2;
    }
    const char* profileName[] = {"random", "clean", "rough", "removal"};

    auto start = std::chrono::steady_clock::now();
    chaos::Figures total;
    uint64_t runs = 0, clean = 0, removals = 0, buffered = 0;
    std::vector<uint64_t> failed;
    auto runOne = [&](uint64_t seed) {
        chaos::Plan plan = chaos::PlanFor(seed, runRequests, profile);
        chaos::Result r = chaos::Run(plan, limits, quiet ? nullptr : stdout);
        ++runs;
        clean += !plan.rough;
        removals += r.figures.removed;
        buffered += plan.buffered;
        const chaos::Figures& f = r.figures;
        total.requests += f.requests;
        total.cancels += f.cancels;
        total.adapterEvents += f.adapterEvents;
        total.systemEvents += f.systemEvents;
        total.reads += f.reads;
        total.writes += f.writes;
        total.bytesFed += f.bytesFed;
        total.bytesRead += f.bytesRead;
        total.bytesWritten += f.bytesWritten;
        total.bytesOnWire += f.bytesOnWire;
        total.cancelled += f.cancelled;
        if (r.ok()) {
            if (!quiet)
                std::printf("  ok: %llu operations (%llu requests, %llu cancelled), %llu/%llu bytes received, %llu/%llu sent, %.1f s\n",
                            (unsigned long long)f.Operations(), (unsigned long long)f.requests, (unsigned long long)f.cancelled,
                            (unsigned long long)f.bytesRead, (unsigned long long)f.bytesFed, (unsigned long long)f.bytesOnWire,
                            (unsigned long long)f.bytesWritten, r.seconds);
        } else {
            failed.push_back(seed);
            if (quiet) std::printf("seed 0x%llx: %s\n", (unsigned long long)seed, plan.Describe().c_str());
            std::printf("  FAILED (%.1f s):\n", r.seconds);
            for (const auto& what : r.failures) std::printf("    %s\n", what.c_str());
            std::printf("  replay: vcom-chaos --seed 0x%llx --run-requests %llu --profile %s\n", (unsigned long long)seed,
                        (unsigned long long)runRequests, profileName[(int)profile]);
        }
        std::fflush(stdout);
    };
    if (!seeds.empty()) {
        for (uint64_t s : seeds) runOne(s);
    } else {
        for (uint64_t s = firstSeed; total.Operations() < ops; ++s) runOne(s);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("\nvcom-chaos (%s), %s\n", Build(), Machine().c_str());
    std::printf("operations        %llu (application requests %llu, cancels %llu, adapter events %llu, power and PnP requests %llu)\n",
                (unsigned long long)total.Operations(), (unsigned long long)total.requests, (unsigned long long)total.cancels,
                (unsigned long long)total.adapterEvents, (unsigned long long)total.systemEvents);
    std::printf("runs              %llu (%llu clean, %llu rough, %llu of them with a surprise removal; %llu buffered, %llu direct)\n",
                (unsigned long long)runs, (unsigned long long)clean, (unsigned long long)(runs - clean), (unsigned long long)removals,
                (unsigned long long)buffered, (unsigned long long)(runs - buffered));
    std::printf("reads, writes     %llu reads (%llu of %llu bytes fed received), %llu writes (%llu of %llu bytes on the wire); %llu requests cancelled\n",
                (unsigned long long)total.reads, (unsigned long long)total.bytesRead, (unsigned long long)total.bytesFed,
                (unsigned long long)total.writes, (unsigned long long)total.bytesOnWire, (unsigned long long)total.bytesWritten,
                (unsigned long long)total.cancelled);
    std::printf("faults found      %zu", failed.size());
    for (size_t i = 0; i < failed.size(); ++i) std::printf("%s0x%llx", i ? ", " : " (seeds ", (unsigned long long)failed[i]);
    std::printf("%s\n", failed.empty() ? "" : ")");
    std::printf("time              %.0f s\n", seconds);
    return failed.empty() ? 0 : 1;
}
