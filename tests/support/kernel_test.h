// The base of every test that runs against the kernel emulation: a fresh kernel per
// test and a verifier that fails the test on anything it saw and the test did not
// provoke on purpose.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostkernel/frontend.h"
#include "hostkernel/host.h"

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    virtual hk::ClockMode Clock() const { return hk::ClockMode::Virtual; }

    // Takes what the verifier has seen so far and expects the rule among it.
    std::vector<hk::Violation> ExpectViolation(const std::string& rule);
    // Takes what the verifier has seen so far and expects nothing.
    void ExpectClean();
};

// Wide string helper for tests.
std::u16string W(const char* s);
