// The whole receive path under a long pseudo-random stream: the adapter delivers it
// in random pieces at random moments while an application reads with random lengths,
// timeouts and cancels. The bytes that reads delivered (those that completed with
// success or a timeout), in the order the reads were issued, must be the stream with
// nothing duplicated, reordered or invented; the only gaps are where a cancelled read
// took bytes (it reports none). Without cancels they are exactly the stream.
#include <random>
#include <thread>

#include "driver/sim_fixture.h"

namespace {

Bytes Timeouts(ULONG ri, ULONG rm, ULONG rc)
{
    SERIAL_TIMEOUTS t{ri, rm, rc, 0, 0};
    return Bytes((const UCHAR*)&t, (const UCHAR*)&t + sizeof t);
}

struct Issued {
    std::shared_ptr<hk::Request> request;
    ULONG length = 0;
    bool cancelled = false;
};

// Checks the delivered bytes against the stream: each read's bytes continue where the
// previous one stopped, except after cancelled reads, where the stream may skip ahead
// by at most what those reads could have taken.
::testing::AssertionResult DeliveredInOrder(const Bytes& stream, const std::vector<Issued>& reads, size_t* deliveredTotal)
{
    size_t at = 0;
    size_t mayskip = 0;
    *deliveredTotal = 0;
    for (size_t i = 0; i < reads.size(); ++i) {
        const auto& r = reads[i];
        if (r.request->Status() == STATUS_CANCELLED) {
            if (r.request->Information() != 0) return ::testing::AssertionFailure() << "cancelled read " << i << " reported bytes";
            mayskip += r.length;
            continue;
        }
        if (r.request->Status() != STATUS_SUCCESS && r.request->Status() != STATUS_TIMEOUT)
            return ::testing::AssertionFailure() << "read " << i << " ended with " << std::hex << r.request->Status();
        const Bytes& got = r.request->Output();
        if (got.size() != r.request->Information()) return ::testing::AssertionFailure() << "read " << i << " size";
        if (got.empty()) continue;
        size_t found = at;
        auto matches = [&](size_t pos) { return pos + got.size() <= stream.size() && std::equal(got.begin(), got.end(), stream.begin() + pos); };
        if (!matches(found)) {
            if (!mayskip) return ::testing::AssertionFailure() << "read " << i << " does not continue the stream at " << at;
            while (found <= at + mayskip && found < stream.size() && !matches(found)) ++found;
            if (found > at + mayskip || found >= stream.size())
                return ::testing::AssertionFailure() << "read " << i << " does not continue the stream within what cancelled reads took";
        }
        at = found + got.size();
        *deliveredTotal += got.size();
        mayskip = 0;
    }
    return ::testing::AssertionSuccess();
}
}  // namespace

class ReceiveStream : public SimPortTest {
protected:
    // Streams `total` bytes and reads them back; returns how many bytes were delivered.
    void Run(unsigned seed, size_t total, bool cancels)
    {
        ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
        std::unique_ptr<hk::File> file;
        ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
        std::mt19937 random(seed);
        Bytes stream(total);
        for (auto& b : stream) b = (UCHAR)random();
        std::vector<Issued> reads;
        size_t fed = 0;
        const Bytes modes[] = {Timeouts(MAXULONG, 0, 0), Timeouts(MAXULONG, MAXULONG, 30), Timeouts(5, 1, 20), Timeouts(0, 0, 0)};
        while (fed < stream.size()) {
            if (random() % 3 == 0) {
                size_t n = std::min<size_t>(1 + random() % 700, stream.size() - fed);
                sim->Feed(Bytes(stream.begin() + fed, stream.begin() + fed + n), random() % 2);
                fed += n;
            }
            // A read may be issued only when none is pending in a mode without timers,
            // so that the stream's end cannot leave one waiting for ever.
            bool pending = !reads.empty() && !reads.back().request->Done();
            if (!pending && random() % 2 == 0) {
                ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, modes[random() % 4], 0)->Status());
                ULONG length = 1 + random() % 400;
                reads.push_back({file->StartRead(length), length});
            }
            if (cancels && pending && random() % 7 == 0) reads.back().cancelled = reads.back().request->Cancel();
            hk::AdvanceMs(random() % 12);
        }
        // Drain what is left: wait for the pending read, then read at once until nothing comes.
        if (!reads.empty() && !reads.back().request->Done()) {
            hk::RunUntil([&] { return reads.back().request->Done(); }, 10LL * 10000000);
            if (!reads.back().request->Done()) reads.back().request->Cancel();
        }
        ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, modes[0], 0)->Status());
        for (int idle = 0; idle < 50;) {
            hk::AdvanceMs(10);
            reads.push_back({file->StartRead(4096), 4096});
            idle = reads.back().request->Information() ? 0 : idle + 1;
        }
        size_t delivered = 0;
        EXPECT_TRUE(DeliveredInOrder(stream, reads, &delivered));
        int cancelled = 0;
        for (auto& r : reads) cancelled += r.request->Status() == STATUS_CANCELLED;
        if (cancels) EXPECT_GT(cancelled, 0) << "the run cancelled nothing: it proves nothing about cancels";
        else EXPECT_EQ(stream.size(), delivered) << "without cancels every byte arrives";
        file->Close();
    }
    // One run per seed, each on a fresh adapter.
    void RunSeeds(std::initializer_list<unsigned> seeds, bool cancels)
    {
        for (unsigned seed : seeds) {
            SCOPED_TRACE(seed);
            Run(seed, 60000, cancels);
            if (HasFatalFailure()) return;
            stack->Remove();
            port = nullptr;
        }
    }
};

TEST_F(ReceiveStream, ALongRandomStreamArrivesWholeAndInOrder) { RunSeeds({1u, 2u, 3u}, false); }

TEST_F(ReceiveStream, WithCancelsOnlyTheCancelledReadsLoseTheirBytes) { RunSeeds({11u, 12u, 13u}, true); }

// The same on real threads: the adapter delivers from its own thread while the
// application reads and cancels, so that ThreadSanitizer sees the pump, the read
// path and the cancel routines race for real.
class ReceiveStreamOnRealThreads : public SimPortTest {
protected:
    hk::ClockMode Clock() const override { return hk::ClockMode::Real; }
};

TEST_F(ReceiveStreamOnRealThreads, TheStreamArrivesInOrderWhileReadsAndCancelsRace)
{
    ASSERT_EQ(STATUS_SUCCESS, AddAdapter());
    std::unique_ptr<hk::File> file;
    ASSERT_EQ(STATUS_SUCCESS, hk::File::Open(hk::names::InterfacesOf(sim->Pdo()).at(0), &file));
    ASSERT_EQ(STATUS_SUCCESS, file->StartIoctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(MAXULONG, MAXULONG, 5), 0)->Wait());
    std::mt19937 random(99);
    Bytes stream(30000);
    for (auto& b : stream) b = (UCHAR)random();
    hk::Thread adapter([&] {
        std::mt19937 pieces(7);
        for (size_t fed = 0; fed < stream.size();) {
            size_t n = std::min<size_t>(1 + pieces() % 500, stream.size() - fed);
            sim->Feed(Bytes(stream.begin() + fed, stream.begin() + fed + n));
            fed += n;
            std::this_thread::yield();
        }
    });
    std::vector<Issued> reads;
    LONGLONG deadline = hk::Now() + 60LL * 10000000;
    int idle = 0;
    while (idle < 200 && hk::Now() < deadline) {
        ULONG length = 1 + random() % 300;
        reads.push_back({file->StartRead(length), length});
        if (random() % 9 == 0) reads.back().cancelled = reads.back().request->Cancel();
        reads.back().request->Wait();
        idle = reads.back().request->Information() || !adapter.Finished() ? 0 : idle + 1;
    }
    adapter.Join();
    EXPECT_EQ(200, idle) << "the run ended by the deadline, not by the stream running dry";
    size_t total = 0;
    EXPECT_TRUE(DeliveredInOrder(stream, reads, &total));
    size_t lost = 0;
    for (auto& r : reads) lost += r.request->Status() == STATUS_CANCELLED ? r.length : 0;
    EXPECT_GE(total + lost, stream.size()) << "every byte was delivered or could have gone with a cancelled read";
    file->Close();
}
