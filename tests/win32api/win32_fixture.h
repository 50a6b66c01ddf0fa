// A simulation with one port, COM5, opened through the Win32 API. Its adapter has the
// status endpoint and the three-byte configuration (EndPointCaps 3), so that every
// line setting and both modem lines reach it, and the loopback plug in.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "vcomsim.h"

#include <windows.h>

class Win32Test : public ::testing::Test {
protected:
    void SetUp() override;
    // Closes the handle and expects a clean leak report.
    void TearDown() override;
    virtual vcomsim::Clock SimClock() const { return vcomsim::Clock::Virtual; }
    virtual DWORD OpenFlags() const { return 0; }
    static vcomsim::PortOptions Com5();

    // The device control codes sent since the last call, in order.
    std::vector<ULONG> TakeSentCodes();
    std::vector<vcomsim::SentRequest> TakeSent();

    std::unique_ptr<vcomsim::Simulation> sim;
    vcomsim::Port* port = nullptr;
    HANDLE h = INVALID_HANDLE_VALUE;

private:
    std::mutex sentLock_;
    std::vector<vcomsim::SentRequest> sent_;
};

class OverlappedTest : public Win32Test {
protected:
    DWORD OpenFlags() const override { return FILE_FLAG_OVERLAPPED; }
};

// A DCB with every member written out, for comparisons that show what differs.
std::string Describe(const DCB& d);
