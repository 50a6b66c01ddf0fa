// The transmit path on real threads, in both modes: several application threads write
// at once while the adapter completes, stalls, holds and fails pipe writes at its own
// pace, and (in the rough runs) purges and cancels cut in. Every byte that reaches the
// adapter must belong to a write, in its writer's order, at most once; a write must
// not report bytes sent that never reached the adapter (direct mode); with no purge,
// cancel or pipe failure exactly the bytes each write reports sent arrive.
//
// Each byte names its writer in its top two bits. The first byte of a write has bit 5
// set and the write's sequence number's low five bits; the other bytes have bit 5
// clear, the second the sequence number's next five bits, the rest a hash of writer,
// write and position. So inside one transfer a byte with bit 5 clear continues the
// byte before it.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#include "driver/sim_fixture.h"
#include "rx/ring_buffer.h"

namespace {

constexpr int kWriters = 3;                  // at most 4: two bits of each byte
constexpr unsigned kMaxWrites = 1000;        // per writer: sequence numbers have ten bits
constexpr LONGLONG kWriting = 150 * 10000;  // how long the writers go on (100 ns units)
constexpr NTSTATUS kPipeFailure = STATUS_DEVICE_DATA_ERROR;

UCHAR Code(int w, unsigned s, ULONG i)
{
    if (i == 0) return (UCHAR)(w << 6 | 0x20 | (s & 31));
    if (i == 1) return (UCHAR)(w << 6 | ((s >> 5) & 31));
    ULONG x = s * 0x9E3779B1u + i * 0x85EBCA77u + (ULONG)w * 0xC2B2AE3Du;
    x ^= x >> 15;
    x *= 0x2C1B3C6Du;
    x ^= x >> 12;
    return (UCHAR)(w << 6 | (x & 31));
}

Bytes Content(int w, unsigned s, ULONG length)
{
    Bytes b(length);
    for (ULONG i = 0; i < length; ++i) b[i] = Code(w, s, i);
    return b;
}

Bytes Dword(ULONG v) { return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)}; }

LONG Peek(const volatile void* field) { return InterlockedCompareExchange((volatile LONG*)field, 0, 0); }

enum Need { kNever, kMay, kMust };  // whether the adapter can have received bytes of a write

struct Issued {
    Bytes bytes;
    std::shared_ptr<hk::Request> request;
    Need need = kMay;
    ULONG got = 0;        // bytes of it the adapter received
    size_t transfer = 0;  // the transfer that carried its first byte
};
using Writes = std::vector<std::vector<Issued>>;  // [writer][sequence]

// Splits the transfers into runs (the first byte of a write with the bytes that follow
// it, or the bytes a transfer starts with) and places each run at the earliest place in
// its writer's writes after the last run placed, never past a write that must have
// arrived: a run that fits nowhere is a byte no write carried, a duplicate or a
// reordering. `gaps`: bytes may have been lost with a failed transfer, so a transfer
// may start anywhere later; else it continues the previous one. `whole`: a transfer
// carries one whole write (direct mode).
::testing::AssertionResult Place(const std::vector<Bytes>& transfers, Writes& writes, bool gaps, bool whole)
{
    struct Cursor {
        int s = -1;
        ULONG next = 0;
    };
    std::vector<Cursor> cur(writes.size());
    int last = -1;  // the writer of the last byte placed
    for (size_t t = 0; t < transfers.size(); ++t) {
        const Bytes& x = transfers[t];
        if (x.empty()) {
            if (!t || transfers[t - 1].empty() || transfers[t - 1].size() % 64)
                return ::testing::AssertionFailure() << "empty transfer " << t << " follows no transfer of whole packets";
            continue;
        }
        for (size_t p = 0; p < x.size();) {
            int w = x[p] >> 6;
            bool first = x[p] & 0x20;
            size_t end = p + 1;
            while (end < x.size() && !(x[end] & 0x20)) ++end;
            ULONG n = (ULONG)(end - p);
            auto fail = [&] {
                return ::testing::AssertionFailure() << "transfer " << t << " of " << x.size() << " bytes, bytes " << p << ".."
                                                     << end << " of writer " << w << ": ";
            };
            if (w >= (int)writes.size()) return fail() << "no such writer";
            if (!first && p) return fail() << "continue nothing";
            if (!first && !gaps && (w != last || cur[w].s < 0)) return fail() << "do not continue the previous transfer";
            if (whole && (p || end != x.size())) return fail() << "more than one write in a transfer";
            bool found = false;
            for (int s = first ? cur[w].s + 1 : std::max(cur[w].s, 0); s < (int)writes[w].size() && !found; ++s) {
                Issued& e = writes[w][s];
                bool started = s == cur[w].s;
                if (e.need == kNever) continue;
                ULONG from = first ? 0 : started ? cur[w].next : 1;
                ULONG to = first || !gaps ? from : (ULONG)e.bytes.size();
                for (ULONG i = from; i <= to && i + n <= e.bytes.size() && !found; ++i) {
                    if ((whole && n != e.bytes.size()) || !std::equal(x.begin() + p, x.begin() + end, e.bytes.begin() + i)) continue;
                    found = true;
                    cur[w] = {s, i + n};
                    if (!e.got) e.transfer = t;
                    e.got += n;
                }
                if ((!found && e.need == kMust && !started) || (!first && !gaps)) break;
            }
            if (!found) return fail() << "fit nowhere after the writer's last bytes";
            last = w;
            p = end;
        }
    }
    return ::testing::AssertionSuccess();
}
}  // namespace

class WritesOnRealThreads : public SimPortTest {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
    void TearDown() override
    {
        if (file) file->Close();
        file.reset();
        SimPortTest::TearDown();
    }
    std::unique_ptr<hk::File> file;

    void Run(unsigned seed, bool buffered, bool rough)
    {
        std::mt19937 random(seed);
        pipesim::Options o;
        o.registry = {hk::RegistryValue::Dword(u"TxAsync", buffered),
                      hk::RegistryValue::Dword(u"TxKickThreshold", random() % 2 ? 0u : 512u)};
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter(o));
        ASSERT_EQ(STATUS_SUCCESS, stack->Pnp(IRP_MN_START_DEVICE).status);
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
        // Write total timeouts: none with even seeds, a few milliseconds with odd ones.
        SERIAL_TIMEOUTS t{0, 0, 0, seed % 2 ? (ULONG)(random() % 2) : 0, seed % 2 ? (ULONG)(1 + random() % 5) : 0};
        ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes((UCHAR*)&t, (UCHAR*)(&t + 1)), 0)->Wait());
        sim->CompleteLater(pipesim::Kind::Write, 0);

        Writes writes(kWriters);
        std::mutex lock;  // guards `live`
        std::vector<std::shared_ptr<hk::Request>> live;
        std::atomic<int> writing{kWriters};
        std::atomic<bool> draining{false}, stop{false};
        std::vector<std::unique_ptr<hk::Thread>> threads;
        LONGLONG end = hk::Now() + kWriting;
        for (int w = 0; w < kWriters; ++w) {
            threads.push_back(std::make_unique<hk::Thread>([&, w] {
                std::mt19937 r(seed * 31 + w);
                size_t window = 1 + r() % 8;  // writes outstanding at once
                auto& mine = writes[w];
                for (unsigned s = 0; s < kMaxWrites && hk::Now() < end; ++s) {
                    ULONG length = r() % 4 ? 1 + r() % 300 : 64 * (1 + r() % 4);
                    Bytes bytes = Content(w, s, length);
                    auto request = file->StartWrite(bytes);
                    mine.push_back({std::move(bytes), request});
                    {
                        std::lock_guard<std::mutex> g(lock);
                        live.push_back(mine.back().request);
                    }
                    if (s >= window) mine[s - window].request->Wait();
                }
                for (auto& e : mine) e.request->Wait();
                writing--;
            }));
        }
        // The adapter: completes pipe writes later or at once, stalls them (cancellable)
        // and holds them (not cancellable) and lets them go, and in rough runs fails some.
        threads.push_back(std::make_unique<hk::Thread>([&] {
            std::mt19937 r(seed * 31 + 7);
            while (!stop) {
                LONGLONG until = hk::Now() + r() % 5000;
                while (hk::Now() < until && !stop) std::this_thread::yield();
                if (draining) {
                    sim->ClearFaults();
                    sim->CompleteLater(pipesim::Kind::Write, 0);
                    while (sim->CompleteHeld(pipesim::Pipe::DataOut, STATUS_SUCCESS, MAXULONG)) {}
                    continue;
                }
                pipesim::Fault f;
                switch (r() % 8) {
                case 0:
                    sim->CompleteSynchronously(pipesim::Kind::Write);
                    break;
                case 1:
                    sim->CompleteLater(pipesim::Kind::Write, r() % 15000);
                    break;
                case 2:
                    f.stall = true;
                    f.times = 1 + (int)(r() % 3);
                    sim->InjectFault(pipesim::Pipe::DataOut, pipesim::Kind::Write, f);
                    break;
                case 3:
                    sim->HoldNext(pipesim::Kind::Write);
                    break;
                case 4:
                    f.status = kPipeFailure;
                    f.times = 1;
                    if (rough) sim->InjectFault(pipesim::Pipe::DataOut, pipesim::Kind::Write, f);
                    break;
                default:
                    sim->CompleteHeld(pipesim::Pipe::DataOut, STATUS_SUCCESS, MAXULONG);
                }
            }
        }));
        // Purges (the first at once, then every few milliseconds), and between them
        // cancels of the latest writes.
        if (rough) {
            threads.push_back(std::make_unique<hk::Thread>([&] {
                std::mt19937 r(seed * 31 + 8);
                for (LONGLONG purge = hk::Now(); writing;) {
                    if (hk::Now() >= purge) {
                        EXPECT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_PURGE, Dword(SERIAL_PURGE_TXABORT), 0)->Wait());
                        purge = hk::Now() + 2000 + r() % 60000;
                        continue;
                    }
                    LONGLONG until = hk::Now() + r() % 3000;
                    while (hk::Now() < until && writing) std::this_thread::yield();
                    std::shared_ptr<hk::Request> victim;
                    {
                        std::lock_guard<std::mutex> g(lock);
                        if (!live.empty()) victim = live[live.size() - 1 - r() % std::min<size_t>(live.size(), 12)];
                    }
                    if (victim) victim->Cancel();
                }
            }));
        }

        // A write the driver never completes leaves its writer waiting for ever: the
        // threads cannot be joined, so the run ends here.
        if (!hk::RunUntil([&] { return writing == 0; }, 30LL * 10000000)) {
            std::fprintf(stderr, "seed %u: writes never completed; ring %lu, TxBusy %ld, pipe writes outstanding %zu\n", seed,
                         (unsigned long)RingCount(&Port()->TxRing), (long)Peek(&Port()->TxBusy), sim->Outstanding(pipesim::Pipe::DataOut));
            std::abort();
        }
        draining = true;
        // The ring empties and the engine comes to rest (direct mode: at once).
        bool rest = hk::RunUntil([&] {
            return !RingCount(&Port()->TxRing) && !Peek(&Port()->TxBusy) && !sim->Outstanding(pipesim::Pipe::DataOut);
        }, 10LL * 10000000);
        stop = true;
        for (auto& th : threads) th->Join();
        ASSERT_TRUE(rest) << "the transmitter did not come to rest";
        EXPECT_EQ(0, Peek(&Port()->CommStatus.AmountInOutQueue));

        // What each write's outcome says about whether its bytes can have arrived.
        for (auto& mine : writes) {
            for (auto& e : mine) {
                ASSERT_TRUE(e.request->Done());
                NTSTATUS status = e.request->Status();
                ULONG_PTR info = e.request->Information();
                cancelled += status == STATUS_CANCELLED;
                if (!buffered)  // a pass reports only what the adapter took
                    e.need = info == e.bytes.size() ? kMust : rough && !info && (status == STATUS_CANCELLED || status == STATUS_TIMEOUT) ? kMay : kNever;
                else if (!rough)
                    e.need = info ? kMust : kNever;
                else  // a write while a purge has the transmitter stopped puts nothing into the ring
                    e.need = status == STATUS_SUCCESS && !info ? kNever : kMay;
            }
        }
        std::vector<Bytes> transfers = sim->OutTransfers();
        ASSERT_TRUE(Place(transfers, writes, rough, !buffered));
        for (int w = 0; w < kWriters; ++w) {
            for (size_t s = 0; s < writes[w].size(); ++s) {
                const Issued& e = writes[w][s];
                SCOPED_TRACE(::testing::Message() << "writer " << w << " write " << s << " of " << e.bytes.size() << " bytes");
                NTSTATUS status = e.request->Status();
                ULONG_PTR info = e.request->Information();
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED || status == STATUS_TIMEOUT ||
                            (rough && (status == STATUS_PIPE_BROKEN || status == kPipeFailure)))
                    << std::hex << status;
                // Stopped by a purge, a write succeeds with nothing sent.
                EXPECT_TRUE(status != STATUS_SUCCESS || info == e.bytes.size() || (rough && !info)) << info;
                if (!buffered) {
                    EXPECT_LE(info, e.got) << "reported bytes sent that the adapter never received";
                    if (!rough && status == STATUS_SUCCESS && e.bytes.size() % 64 == 0) {
                        EXPECT_TRUE(e.transfer + 1 < transfers.size() && transfers[e.transfer + 1].empty()) << "no zero-length pass";
                    }
                } else {
                    EXPECT_TRUE(status != STATUS_CANCELLED || !info) << info;
                    EXPECT_TRUE(status != STATUS_TIMEOUT || info < e.bytes.size()) << info;
                }
                if (!rough) {
                    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT) << std::hex << status;
                    EXPECT_EQ(info, e.got) << "without purges, cancels or failures the adapter receives what the write reports sent";
                }
            }
        }
        if (!rough) {
            EXPECT_EQ((LONG)sim->OutBytes().size(), Peek(&Port()->PerfStats.TransmittedCount));
        }
        file->Close();
        file.reset();
    }

    // One run per seed, each on a fresh adapter.
    void RunSeeds(std::initializer_list<unsigned> seeds, bool buffered, bool rough)
    {
        for (unsigned seed : seeds) {
            SCOPED_TRACE(seed);
            Run(seed, buffered, rough);
            if (HasFatalFailure()) return;
            stack->Remove();
            port = nullptr;
        }
        if (rough) {
            EXPECT_GT(cancelled, 0) << "no write was cancelled: the runs prove nothing about cancels";
        }
    }

    int cancelled = 0;  // writes that ended STATUS_CANCELLED, over all seeds
};

TEST_F(WritesOnRealThreads, DirectWritesArriveAsReported)
{
    RunSeeds({1u, 2u}, false, false);
}

TEST_F(WritesOnRealThreads, BufferedWritesArriveAsReported) { RunSeeds({1u, 2u}, true, false); }

TEST_F(WritesOnRealThreads, DirectPurgesCancelsAndPipeFailuresNeverDuplicateReorderOrInventBytes)
{
    RunSeeds({11u, 12u, 13u}, false, true);
}

TEST_F(WritesOnRealThreads, BufferedPurgesCancelsAndPipeFailuresNeverDuplicateReorderOrInventBytes) { RunSeeds({11u, 12u, 13u}, true, true); }
