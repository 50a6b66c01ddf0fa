// The driver above the simulated pipe driver and adapter.
#pragma once

#include <optional>

#include "driver/driver.h"
#include "driver/pool_tags.h"
#include "pipesim/pipesim.h"
#include "support/kernel_test.h"

class SimPortTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;
    NTSTATUS AddAdapter(pipesim::Options options = {});
    PortExtension* Port() const { return PortOf(port); }

    std::unique_ptr<hk::LoadedDriver> driver;
    std::unique_ptr<pipesim::PipeSim> sim;
    std::optional<hk::DeviceStack> stack;
    PDEVICE_OBJECT port = nullptr;
};
