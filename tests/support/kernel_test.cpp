#include "support/kernel_test.h"

void KernelTest::SetUp()
{
    hk::Reset(Clock());
    auto stale = hk::TakeViolations();
    ASSERT_TRUE(stale.empty()) << "violations left over from an earlier test:\n" << hk::Describe(stale);
}

void KernelTest::TearDown()
{
    auto seen = hk::TakeViolations();
    EXPECT_TRUE(seen.empty()) << "the verifier reported:\n" << hk::Describe(seen);
    // Release everything the kernel still holds, so each test ends with nothing alive.
    hk::Shutdown();
    hk::Reset(hk::ClockMode::Virtual);
    seen = hk::TakeViolations();
    EXPECT_TRUE(seen.empty()) << "at the end of the test:\n" << hk::Describe(seen);
}

std::vector<hk::Violation> KernelTest::ExpectViolation(const std::string& rule)
{
    auto seen = hk::TakeViolations();
    bool found = false;
    for (const auto& v : seen) found |= v.rule == rule;
    EXPECT_TRUE(found) << "expected a '" << rule << "' violation; the verifier reported:\n" << hk::Describe(seen);
    return seen;
}

void KernelTest::ExpectClean()
{
    auto seen = hk::TakeViolations();
    EXPECT_TRUE(seen.empty()) << hk::Describe(seen);
}

std::u16string W(const char* s) { return std::u16string(s, s + std::strlen(s)); }
