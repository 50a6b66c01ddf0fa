// The driver above the simulated pipe driver and adapter, in the stack Windows builds:
// the adapter's PDO, the pipe driver's device on it, the port on top.
#pragma once

#include <optional>

#include "driver/driver.h"
#include "driver/pool_tags.h"
#include "pipesim/pipesim.h"
#include "support/driver_under_test.h"
#include "support/kernel_test.h"

class SimPortTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // A new simulated adapter (replacing the last one) and the driver's AddDevice on its PDO.
    NTSTATUS AddAdapter(pipesim::Options options = {});
    PortExtension* Port() const { return PortOf(port); }

    std::unique_ptr<hk::LoadedDriver> driver;
    std::unique_ptr<pipesim::PipeSim> sim;
    std::optional<hk::DeviceStack> stack;
    PDEVICE_OBJECT port = nullptr;
};
