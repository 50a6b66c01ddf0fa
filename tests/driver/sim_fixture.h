// The driver above the simulated pipe driver and adapter, in the stack Windows builds:
// the adapter's PDO, the pipe driver's device on it, the port on top.
#pragma once

#include <optional>

#include "driver/driver.h"
#include "driver/pool_tags.h"
#include "pipesim/pipesim.h"
#include "support/driver_under_test.h"
#include "support/kernel_test.h"

using Bytes = std::vector<UCHAR>;

// n bytes whose value at i is a function of first + i that does not repeat every 256
// bytes, so that a misplaced, lost or doubled block shows.
Bytes Sequence(size_t n, size_t first = 0);
// The values with a "PortName" of a COM name no other adapter of the test run has,
// unless the test gives one (or gives its own, to test the naming).
std::vector<hk::RegistryValue> WithPortName(std::vector<hk::RegistryValue> values);
// A DWORD value for the adapter's device key.
inline hk::RegistryValue Dword(const char16_t* name, ULONG value) { return hk::RegistryValue::Dword(name, value); }

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

// The same with the adapter added, the device started and the port opened by an
// application; the handle is closed at the end of the test.
class OpenPortTest : public SimPortTest {
protected:
    void SetUp() override;
    void TearDown() override;
    std::unique_ptr<hk::File> file;
};
