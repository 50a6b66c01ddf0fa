// The benchmark's workloads and the figures they produce. Each workload runs once per
// call and returns one Sample; main() repeats it and keeps the median of every figure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

// How long one repetition of a timed workload runs, and whether the sizes are cut
// down for the smoke test.
struct Budget {
    double seconds = 0.25;
    bool smoke = false;
};

// One repetition's figures by name ("MB/s", "reads/s", ...). `ok` is false when the
// run saw a wrong byte, a failed request, a verifier report or a leak; `problem` says
// which.
struct Sample {
    std::map<std::string, double> figures;
    bool ok = true;
    bool skipped = false;  // the workload cannot run here (no pseudo-terminals): no figures, no failure
    std::string problem;
    void Fail(const std::string& what)
    {
        if (ok) problem = what;
        ok = false;
    }
};

// A repeatable pseudo-random byte stream: the adapter and the application each run
// one, so the reader checks every byte without keeping what was sent. The stream
// repeats a pseudo-random block whose length is a prime (about a megabyte), so
// that no read or transfer size lines up with it: a lost, doubled or misplaced block
// shows. Copying from the block keeps the adapter's and the checker's cost per byte
// far below the driver's.
class Stream {
public:
    Stream();
    void Fill(unsigned char* out, size_t n);
    // Whether the next n bytes of the stream are these; moves on by n either way.
    bool Check(const unsigned char* in, size_t n);

private:
    size_t at_ = 0;
};

// ---- The driver, in the kernel emulation above the simulated adapter ----
// The adapter is a high-speed one (512-byte bulk packets), without a status endpoint
// unless said; the driver reads RxReqSize = kRxReqSize from it.
constexpr unsigned kRxReqSize = 16384;
constexpr unsigned kInQueue = 1048576;  // the receive ring, set with IOCTL_SERIAL_SET_QUEUE_SIZE
constexpr unsigned kXonLimit = kInQueue / 2;   // flow control, set with IOCTL_SERIAL_SET_HANDFLOW
constexpr unsigned kXoffLimit = kInQueue / 8;

// Receive: reads of `size` bytes on the real clock, the adapter's reads served from the
// emulation's DPC thread, the application reading on the calling thread.
Sample DriverReceive(unsigned size, const Budget& budget);
// The same on the virtual clock, where the allocations per pipe read are exact.
Sample DriverReceiveStructure(unsigned size, const Budget& budget);
// Transmit in direct (TxAsync 0) or buffered (TxAsync 1, TxKickThreshold 512) mode.
Sample DriverTransmit(bool buffered, unsigned size, const Budget& budget);
// The same on the real clock with each transfer taking the adapter one 125 us
// microframe, as on a high-speed bus: how writes gather while a transfer is out.
Sample DriverTransmitOnTheBus(bool buffered, unsigned size, const Budget& budget);
// The same on the virtual clock, where the writer outpaces the wire: transfers per
// write and bytes per transfer only.
Sample DriverTransmitStructure(bool buffered, unsigned size, const Budget& budget);
// Write `size` bytes through the loopback plug and read them back, on real threads.
Sample DriverRoundTrip(unsigned size, const Budget& budget);
// Virtual time from the adapter delivering `size` bytes to the waiting read completing.
Sample DriverDeliveryDelay(unsigned size, unsigned rxPollPeriod);
// Requests per second of one control request.
enum class Control { GetCommStatus, GetModemStatus, SetBaudRate };
Sample DriverControl(Control which, const Budget& budget);
// Pipe requests and timer DPCs per virtual second with the port open and idle.
Sample DriverIdle(bool statusPipe);

// ---- A Linux pseudo-terminal pair in raw mode ----
Sample PtyReceive(unsigned size, const Budget& budget);
Sample PtyRoundTrip(unsigned size, const Budget& budget);

// Seconds on the monotonic clock.
double Seconds();

}  // namespace bench
