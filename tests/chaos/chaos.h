// Randomized concurrency on real threads: one port on a simulated adapter, several
// application threads sharing one handle and issuing every kind of request at random,
// an adapter thread delivering a numbered stream, changing its lines and stalling,
// holding, delaying and failing requests, power cycles (in rough runs and about a
// third of the clean ones), and in rough runs purges and a surprise removal at a
// random moment. At the end of each run every invariant is
// checked: each request completed exactly once, no verifier report, no hang (a watchdog
// prints every outstanding request and stops the process), the received and the
// transmitted bytes against their streams, the output queue back to zero, and nothing
// left after removal.
//
// A seed decides everything a run chooses (its settings and each thread's choices); the
// interleaving is the machine's, so a seed replays a run's choices, not its timing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace chaos {

enum class Profile {
    Random,   // chosen by the seed
    Clean,    // no purge, failure or removal: every byte fed must be read, in order; power cycles
              // in about a third of them, and without one the writes too must come through whole
    Rough,    // purges, power cycles and pipe failures, no removal
    Removal,  // rough, with a surprise removal at a random moment
};

// Everything a seed decides before the run starts.
struct Plan {
    uint64_t seed = 0;
    uint64_t requests = 0;  // application requests to issue
    bool buffered = false;  // TxAsync
    bool rough = false;
    bool removal = false;
    bool adapterGone = false;       // after the surprise removal the pipes fail everything
    uint64_t removalAt = 0;         // application requests issued before the surprise removal
    std::vector<uint64_t> powerAt;  // ... before each power cycle
    int appThreads = 3;
    // Registry values and adapter.
    uint32_t rxReqSize = 0, rxPollPeriod = 0, ctlPollPeriod = 10, txKickThreshold = 0, txAllowNullPacket = 1;
    uint32_t noBaudCheck = 0, endPointCaps = 0;
    bool statusEndpoint = true;
    bool powerPageable = true;
    uint32_t maxPacketIn = 64, maxPacketOut = 64;

    std::string Describe() const;
};

Plan PlanFor(uint64_t seed, uint64_t requests, Profile profile = Profile::Random);

struct Figures {
    uint64_t requests = 0;        // application requests issued
    uint64_t cancels = 0;         // Request::Cancel and CancelIo calls
    uint64_t adapterEvents = 0;   // feeds, line changes, faults, holds, releases, mode changes
    uint64_t systemEvents = 0;    // power requests, PnP requests
    uint64_t reads = 0, writes = 0;
    uint64_t bytesFed = 0, bytesRead = 0, bytesWritten = 0, bytesOnWire = 0;
    uint64_t cancelled = 0;  // requests that ended STATUS_CANCELLED
    bool removed = false;
    uint64_t Operations() const { return requests + cancels + adapterEvents + systemEvents; }
};

struct Result {
    Plan plan;
    Figures figures;
    std::vector<std::string> failures;
    double seconds = 0;
    bool ok() const { return failures.empty(); }
};

struct Limits {
    // No request issued or completed for this long: a hang. The driver's flush waits
    // up to 30 s for a stuck transmitter, so less would report it.
    int stallSeconds = 60;
    int runSeconds = 1800;
};

// One run. `log` (may be null) gets the plan line before the run starts, so that a hang
// or a sanitizer report that ends the process names its seed. On a hang the watchdog
// prints every outstanding request to stderr and aborts the process.
Result Run(const Plan& plan, const Limits& limits, std::FILE* log);

}  // namespace chaos
