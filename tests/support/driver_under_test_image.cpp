// The driver under test in driver_tests_pe: the shipped image. The suites' references
// to driver functions and data are bound at link time to the image's addresses at its
// preferred base, so every load maps it there.
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "hostkernel/pe.h"
#include "support/driver_under_test.h"
#include "support/image_traps.h"

namespace {
std::unique_ptr<hk::PeImage> gImage;

// The image stays mapped between loads (freshly, with its data as the file has it),
// so that tests of driver routines that need no loaded driver can call them.
void MapFresh()
{
    gImage.reset();
    std::string error;
    if (!NT_SUCCESS(hk::PeImage::Map(VCOM_SYS_PATH, &gImage, &error))) ADD_FAILURE() << error;
}

class MappedImage : public ::testing::Environment {
    void SetUp() override { MapFresh(); }
    void TearDown() override { gImage.reset(); }
};
const auto* const gEnvironment = ::testing::AddGlobalTestEnvironment(new MappedImage);
}  // namespace

NTSTATUS LoadDriverUnderTest(const std::u16string& registryPath, std::unique_ptr<hk::LoadedDriver>* out)
{
    gImage.reset();
    std::string error;
    NTSTATUS status = hk::LoadDriverImage(VCOM_SYS_PATH, registryPath, &gImage, out, &error);
    if (gImage && gImage->Base() != gImage->PreferredBase()) {
        ADD_FAILURE() << "the image could not be mapped at its preferred base, where the suites are bound to it";
        return STATUS_CONFLICTING_ADDRESSES;
    }
    if (status == STATUS_PROCEDURE_NOT_FOUND || status == STATUS_INVALID_IMAGE_FORMAT) ADD_FAILURE() << error;
    return status;
}

void ReleaseDriverUnderTest() { MapFresh(); }

void ImageSymbolMissing(const char* symbol)
{
    // 77 is what CTest is told means "skipped": the test is listed as not run, by name.
    std::fprintf(stderr, "\n%s is not in %s: this test can run only on the host build\n", symbol, VCOM_SYS_PATH);
    std::fflush(stderr);
    std::_Exit(77);
}
