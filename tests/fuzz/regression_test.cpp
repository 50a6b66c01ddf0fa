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

