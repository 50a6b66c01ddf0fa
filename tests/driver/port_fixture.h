// A loaded driver with one adapter: the driver's AddDevice run above a stub bus
// device with the registry values a test chooses. Removal and unload at the end let
// the verifier's leak checks see everything the driver allocated.
#pragma once

#include <optional>

#include "driver/driver.h"
#include "driver/pool_tags.h"
#include "support/driver_under_test.h"
#include "support/kernel_test.h"

constexpr const char16_t* kServiceKey = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vcomusb";

class DriverTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Creates the adapter's PDO (with these registry values and flags) and runs AddDevice.
    NTSTATUS AddAdapter(const std::vector<hk::RegistryValue>& values = {}, ULONG pdoFlags = 0);
    PortExtension* Port() const { return PortOf(port); }
    // Sends IRP_MN_REMOVE_DEVICE; the port device is gone afterwards.
    void RemoveAdapter();

    hk::StubBus bus;
    std::unique_ptr<hk::LoadedDriver> driver;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT port = nullptr;
    std::optional<hk::DeviceStack> stack;
};
