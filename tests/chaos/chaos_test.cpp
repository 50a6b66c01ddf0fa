// The short form of the randomized concurrency runs (ChaosOnRealThreads: a few seeds
// of each kind, bounded), and the checks they rest on, shown to catch what they are
// for (ChaosChecks: no kernel, no threads).
#include <gtest/gtest.h>

#include "chaos/chaos.h"
#include "chaos/streams.h"
#include "hostkernel/kernel.h"

using chaos::Bytes;
using chaos::ReadOutcome;
using chaos::Source;
using chaos::WriteOutcome;

namespace {

Source Stream(size_t n, bool noFF = false) { return Source(chaos::StreamBytes(42, 0, n, noFF)); }

Bytes Piece(const Source& s, size_t from, size_t to) { return Bytes(s.bytes().begin() + from, s.bytes().begin() + to); }

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<bool> All(const Source& s) { return std::vector<bool>(s.size(), true); }

// Writes laid end to end in the stream, with their outcomes.
std::vector<WriteOutcome> Writes(std::initializer_list<std::tuple<uint32_t, NTSTATUS, uint32_t>> outcomes)
{
    std::vector<WriteOutcome> w;
    uint64_t at = 0;
    for (auto [length, status, information] : outcomes) {
        w.push_back({at, length, status, information});
        at += length;
    }
    return w;
}

}  // namespace

TEST(ChaosChecks, StreamBytesDependOnTheirPlaceAndWriteStreamsLeaveOutTheImmediateCharacter)
{
    Bytes b = chaos::StreamBytes(7, 0, 100000, true);
    EXPECT_EQ(b.end(), std::find(b.begin(), b.end(), 0xFF));
    EXPECT_NE(chaos::StreamBytes(7, 0, 16, false), chaos::StreamBytes(8, 0, 16, false)) << "the salt names the stream";
    Bytes longer = chaos::StreamBytes(7, 0, 13, false);
    EXPECT_EQ(chaos::StreamBytes(7, 5, 8, false), Bytes(longer.begin() + 5, longer.end())) << "a byte is its place's";
    Source s(b);
    for (size_t place : {size_t(0), size_t(1), size_t(777), size_t(99992)}) EXPECT_EQ(place, s.Locate(&b[place]));
}

TEST(ChaosChecks, PlacingInOrderAcceptsGapsButNoDuplicateReorderedInventedOrForbiddenBytes)
{
    Source s = Stream(4000);
    EXPECT_TRUE(chaos::PlaceInOrder(s, All(s), Join({Piece(s, 0, 100), Piece(s, 300, 302), Piece(s, 900, 1500)})).ok());
    EXPECT_TRUE(chaos::PlaceInOrder(s, All(s), {}).ok());

    auto dup = chaos::PlaceInOrder(s, All(s), Join({Piece(s, 0, 100), Piece(s, 90, 200)}));
    EXPECT_FALSE(dup.ok());
    EXPECT_NE(std::string::npos, dup.failure.find("duplicated or out of order")) << dup.failure;
    EXPECT_FALSE(chaos::PlaceInOrder(s, All(s), Join({Piece(s, 500, 600), Piece(s, 100, 200)})).ok()) << "reordered";
    EXPECT_FALSE(chaos::PlaceInOrder(s, All(s), Join({Piece(s, 3990, 4000), Bytes{s.bytes()[3999]}})).ok()) << "a byte past the end";

    std::vector<bool> allowed = All(s);
    std::fill(allowed.begin() + 200, allowed.begin() + 300, false);
    auto forbidden = chaos::PlaceInOrder(s, allowed, Piece(s, 150, 260));
    EXPECT_FALSE(forbidden.ok());
    EXPECT_TRUE(chaos::PlaceInOrder(s, allowed, Join({Piece(s, 150, 200), Piece(s, 300, 350)})).ok());
}

TEST(ChaosChecks, ExactReadsMayOnlySkipWhatCancelledReadsCouldHaveTaken)
{
    Source s = Stream(1000);
    auto read = [&](size_t from, size_t to, uint32_t length = 0) {
        return ReadOutcome{length ? length : (uint32_t)(to - from), false, Piece(s, from, to)};
    };
    ReadOutcome cancelled{50, true, {}};
    EXPECT_TRUE(chaos::CheckReadsExact(s, {read(0, 10), read(10, 400, 500), read(400, 1000)}, true).ok());
    EXPECT_TRUE(chaos::CheckReadsExact(s, {read(0, 10), cancelled, read(60, 1000)}, true).ok());
    EXPECT_TRUE(chaos::CheckReadsExact(s, {read(0, 10), cancelled, read(13, 14), read(14, 1000)}, true).ok())
        << "a short read after a cancelled one";
    EXPECT_FALSE(chaos::CheckReadsExact(s, {read(0, 10), cancelled, read(61, 1000)}, true).ok()) << "more than it asked for";
    EXPECT_FALSE(chaos::CheckReadsExact(s, {read(0, 10), read(11, 1000)}, true).ok()) << "a byte lost with no cancel";
    EXPECT_FALSE(chaos::CheckReadsExact(s, {read(0, 10), read(9, 1000)}, true).ok()) << "a byte delivered twice";
    EXPECT_FALSE(chaos::CheckReadsExact(s, {read(0, 10), cancelled, read(10, 11), read(60, 1000)}, true).ok())
        << "a read after the cancelled one's successor may not skip";
    EXPECT_FALSE(chaos::CheckReadsExact(s, {read(0, 900)}, true).ok()) << "the tail never came";
    EXPECT_TRUE(chaos::CheckReadsExact(s, {read(0, 900)}, false).ok());
    EXPECT_FALSE(chaos::CheckReadsExact(s, {read(0, 10), ReadOutcome{50, true, Piece(s, 10, 20)}, read(20, 1000)}, true).ok())
        << "a cancelled read that returned bytes";

    // A one-byte read after the skip whose value also stands earlier in the skipped
    // bytes: the place the next read continues from decides which one it was.
    size_t t = 0, earlier = 0;
    for (size_t i = 11; i < 60 && !t; ++i)
        for (size_t x = 10; x < i && !t; ++x)
            if (s.bytes()[x] == s.bytes()[i]) t = i, earlier = x;
    ASSERT_NE(0u, t) << "the stream has a value twice among its bytes 10 to 59";
    EXPECT_TRUE(chaos::CheckReadsExact(s, {read(0, 10), cancelled, read(t, t + 1), read(t + 1, 1000)}, true).ok());
    EXPECT_TRUE(chaos::CheckReadsExact(s, {read(0, 10), cancelled, read(earlier, earlier + 1), read(earlier + 1, 1000)}, true).ok());
    EXPECT_FALSE(chaos::CheckReadsExact(s, {read(0, 10), cancelled, read(t, t + 1), read(t + 2, 1000)}, true).ok());
}

TEST(ChaosChecks, DirectWritesMustBeOnTheWireWholeOnceAndInOrderAsReported)
{
    Source s = Stream(300, true);
    auto w = Writes({{100, STATUS_SUCCESS, 100}, {50, STATUS_TIMEOUT, 0}, {100, STATUS_SUCCESS, 100}, {50, STATUS_CANCELLED, 0}});
    Bytes a = Piece(s, 0, 100), b = Piece(s, 100, 150), c = Piece(s, 150, 250), d = Piece(s, 250, 300);
    EXPECT_TRUE(chaos::CheckDirectWrites(s, w, {a, c}, true).ok());
    EXPECT_FALSE(chaos::CheckDirectWrites(s, w, {a}, true).ok()) << "a write reported sent is missing";
    EXPECT_FALSE(chaos::CheckDirectWrites(s, w, {a, b, c}, true).ok()) << "a write reported unsent arrived in a run without failures";
    EXPECT_TRUE(chaos::CheckDirectWrites(s, w, {a, b, c, d}, false).ok()) << "a timed-out or cancelled pass may have gone out";
    EXPECT_FALSE(chaos::CheckDirectWrites(s, w, {a, c, c}, false).ok()) << "duplicated";
    EXPECT_FALSE(chaos::CheckDirectWrites(s, w, {c, a}, false).ok()) << "reordered";
    EXPECT_FALSE(chaos::CheckDirectWrites(s, w, {a, Piece(s, 150, 200), c}, false).ok()) << "part of a write";

    auto refused = Writes({{100, STATUS_SUCCESS, 0}});
    EXPECT_FALSE(chaos::CheckDirectWrites(s, refused, {a}, false).ok()) << "succeeded with nothing sent, yet sent";
    EXPECT_FALSE(chaos::CheckDirectWrites(s, Writes({{100, STATUS_TIMEOUT, 40}}), {a}, false).ok()) << "a direct write goes whole";
}

TEST(ChaosChecks, DirectWritesThatLookAlikeAreMatchedSoThatEveryReportedOneFindsItsTransfer)
{
    // Two one-byte writes of the same value: the first cancelled (it may have gone out),
    // the second sent. One transfer of that value must be the second, not the first.
    Bytes stream{5, 5, 9};
    Source s(stream);
    auto w = Writes({{1, STATUS_CANCELLED, 0}, {1, STATUS_SUCCESS, 1}, {1, STATUS_SUCCESS, 1}});
    EXPECT_TRUE(chaos::CheckDirectWrites(s, w, {{5}, {9}}, false).ok());
    EXPECT_TRUE(chaos::CheckDirectWrites(s, w, {{5}, {5}, {9}}, false).ok());
    EXPECT_FALSE(chaos::CheckDirectWrites(s, w, {{5}, {5}, {5}, {9}}, false).ok());
}

TEST(ChaosChecks, BufferedWritesCarryExactlyTheirReportedBytesWhenNothingWasDropped)
{
    Source s = Stream(400, true);
    auto w = Writes({{100, STATUS_SUCCESS, 100}, {100, STATUS_TIMEOUT, 30}, {100, STATUS_CANCELLED, 0}, {100, STATUS_SUCCESS, 100}});
    Bytes first = Piece(s, 0, 100), timedOut = Piece(s, 100, 130), last = Piece(s, 300, 400);
    EXPECT_TRUE(chaos::CheckBufferedWrites(s, w, Join({first, timedOut, last}), true).ok());
    EXPECT_TRUE(chaos::CheckBufferedWrites(s, w, Join({first, timedOut, Piece(s, 200, 270), last}), true).ok())
        << "a cancelled write's bytes already in the ring go out";
    EXPECT_TRUE(chaos::CheckBufferedWrites(s, w, Join({first, timedOut, Piece(s, 200, 300), last}), true).ok())
        << "all of them, when it was cancelled as its last byte went in";
    EXPECT_FALSE(chaos::CheckBufferedWrites(s, w, Join({first, Piece(s, 100, 131), last}), true).ok()) << "past what the timeout reported";
    EXPECT_FALSE(chaos::CheckBufferedWrites(s, w, Join({first, Piece(s, 100, 129), last}), true).ok()) << "a byte lost";
    EXPECT_FALSE(chaos::CheckBufferedWrites(s, w, Join({first, timedOut, Piece(s, 210, 270), last}), true).ok())
        << "a cancelled write's bytes go from its start";
    EXPECT_FALSE(chaos::CheckBufferedWrites(s, w, Join({first, timedOut, last, last}), true).ok()) << "duplicated";

    EXPECT_TRUE(chaos::CheckBufferedWrites(s, w, Join({Piece(s, 0, 40), Piece(s, 90, 130), last}), false).ok())
        << "a purge or a failed transfer drops pieces";
    EXPECT_FALSE(chaos::CheckBufferedWrites(s, w, Join({first, Piece(s, 50, 100), timedOut}), false).ok()) << "duplicated";
    EXPECT_FALSE(chaos::CheckBufferedWrites(s, w, Join({first, Piece(s, 100, 140)}), false).ok())
        << "past what the timeout reported";
}

// ---- The runs ----------------------------------------------------------------------------

namespace {

constexpr uint64_t kRequests = 600;

void Expect(const chaos::Result& r)
{
    std::string all;
    for (const auto& f : r.failures) all += "\n  " + f;
    EXPECT_TRUE(r.ok()) << "seed 0x" << std::hex << r.plan.seed << std::dec << " (" << r.plan.Describe() << "):" << all
                        << "\nreplay: vcom-chaos --seed 0x" << std::hex << r.plan.seed << std::dec << " --run-requests " << r.plan.requests;
}

chaos::Result RunOne(uint64_t seed, chaos::Profile profile, bool buffered)
{
    chaos::Plan plan = chaos::PlanFor(seed, kRequests, profile);
    plan.buffered = buffered;
    return chaos::Run(plan, chaos::Limits{}, nullptr);
}

}  // namespace

TEST(ChaosOnRealThreads, CleanRunsCarryEveryByteOnceInOrderInBothWriteModes)
{
    uint64_t cancelled = 0;
    for (bool buffered : {false, true}) {
        auto r = RunOne(buffered ? 2 : 1, chaos::Profile::Clean, buffered);
        Expect(r);
        EXPECT_GT(r.figures.bytesRead, 0u);
        EXPECT_GT(r.figures.bytesOnWire, 0u);
        cancelled += r.figures.cancelled;
    }
    EXPECT_GT(cancelled, 0u) << "nothing was cancelled: the runs prove nothing about cancels";
}

TEST(ChaosOnRealThreads, PurgesPowerCyclesAndPipeFailuresBreakNoInvariant)
{
    for (bool buffered : {false, true}) {
        chaos::Plan plan = chaos::PlanFor(buffered ? 12 : 11, kRequests, chaos::Profile::Rough);
        plan.buffered = buffered;
        plan.powerAt = {kRequests / 4, kRequests / 2};
        auto r = chaos::Run(plan, chaos::Limits{}, nullptr);
        Expect(r);
        EXPECT_GE(r.figures.systemEvents, 5u) << "two power cycles and the removal";
    }
}

TEST(ChaosOnRealThreads, ASurpriseRemovalAtARandomMomentLeavesNothingBehind)
{
    for (bool gone : {false, true}) {
        chaos::Plan plan = chaos::PlanFor(gone ? 22 : 21, kRequests, chaos::Profile::Removal);
        plan.adapterGone = gone;
        plan.buffered = gone;
        auto r = chaos::Run(plan, chaos::Limits{}, nullptr);
        Expect(r);
        EXPECT_TRUE(r.figures.removed);
    }
}
