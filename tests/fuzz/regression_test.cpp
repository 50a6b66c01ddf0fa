// Inputs the request-surface fuzzer found faults with, each replayed by a test named
// for the behaviour it keeps. The inputs live in tests/fuzz/regressions.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "request_surface.h"

namespace fuzz_regression {

// The finding of one input of tests/fuzz/regressions, or an empty string.
std::string Replay(const std::string& name)
{
    std::ifstream in(std::string(VCOM_FUZZ_DIR) + "/regressions/" + name, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.empty()) return "no input " + name;
    return fuzz::RunRequestSurface(data.data(), data.size());
}

}  // namespace fuzz_regression

using fuzz_regression::Replay;

// IOCTL_SERIAL_PURGE answered with 4 bytes whatever the output buffer: with 1 to 3
// bytes of it the I/O manager would copy the 4 into the caller's smaller buffer.
TEST(FuzzRegression, APurgeWithAnOutputBufferTooSmallForTheFlagsReportsNoBytes)
{
    EXPECT_EQ("", Replay("purge_output_too_small_for_the_flags"));
}

// A bulk IN read that the pipe driver failed at once with STATUS_INSUFFICIENT_RESOURCES
// ended the pump's chain in its completion routine, and the same status, returned by
// the call that issued the read, made the pump arm its retry timer as well: the timer
// outlived the close and the device ("freed-armed-timer").
TEST(FuzzRegression, AReadThePipeDriverFailsAtOnceForLackOfMemoryIsNotRetriedFromTheTimerToo)
{
    EXPECT_EQ("", Replay("pump_retry_timer_armed_after_a_failed_read"));
}

// The same for the status polling's reads and its timer.
TEST(FuzzRegression, AStatusReadThePipeDriverFailsAtOnceForLackOfMemoryIsNotRetriedFromTheTimerToo)
{
    EXPECT_EQ("", Replay("status_retry_timer_armed_after_a_failed_read"));
}

// The harness's own fault: a flush that waited out its 30 s took the input past its
// 20 s of virtual time, and the next advance then moved the clock back by the excess.
TEST(FuzzRegression, AnAdvanceAfterAFlushPastTheTimeBudgetLeavesTheClockWhereItIs)
{
    EXPECT_EQ("", Replay("flush_past_the_time_budget_then_an_advance"));
}
