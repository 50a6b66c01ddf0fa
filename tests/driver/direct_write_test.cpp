// The direct write path: each application write goes to the pipe driver as itself,
// one at a time, with its zero-length packet, its write total timeout and the end of
// the queue posted as SERIAL_EV_TXEMPTY.
#include <numeric>

#include "driver/sim_fixture.h"
#include "tx/write.h"

namespace {
using Bytes = std::vector<UCHAR>;

Bytes Sequence(size_t n, UCHAR first = 0)
{
    Bytes b(n);
    std::iota(b.begin(), b.end(), first);
    return b;
}
}  // namespace

class DirectWrites : public OpenPortTest {
protected:
    std::vector<ULONG> WriteLengths() const
    {
        std::vector<ULONG> lengths;
        for (const auto& a : sim->Arrivals())
            if (a.major == IRP_MJ_DEVICE_CONTROL && a.code == pipesim::kIoctlPipeWrite) lengths.push_back(a.length);
        return lengths;
    }
};

TEST_F(DirectWrites, AWriteOfWholePacketsIsFollowedByAZeroLengthPass)
{
    sim->ClearRecords();
    auto w = file->StartWrite(Sequence(128));
    ASSERT_TRUE(w->Done());
    EXPECT_EQ(STATUS_SUCCESS, w->Status());
    EXPECT_EQ(128u, w->Information());
    EXPECT_EQ((std::vector<ULONG>{128, 0}), WriteLengths());
    EXPECT_EQ(Sequence(128), sim->OutBytes());
    EXPECT_EQ(0u, Port()->CommStatus.AmountInOutQueue);
}
