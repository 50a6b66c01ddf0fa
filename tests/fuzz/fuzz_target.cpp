// The libFuzzer target on the port's request surface (preset fuzz). A finding aborts,
// so that libFuzzer keeps the input as a crash.
#include <cstdio>
#include <cstdlib>

#include "request_surface.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string finding = fuzz::RunRequestSurface(data, size);
    if (!finding.empty()) {
        std::fprintf(stderr, "request surface finding: %s\n", finding.c_str());
        std::abort();
    }
    return 0;
}
