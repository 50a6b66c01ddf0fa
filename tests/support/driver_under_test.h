// The driver the driver suites test: in the host builds the driver's sources linked
// into the suite; in driver_tests_pe the shipped vcomusb.sys, mapped by the
// emulation's PE loader (a fresh mapping, with fresh data, for every load).
#pragma once

#include <memory>
#include <string>

#include "hostkernel/frontend.h"

// Loads the driver as the system does (DriverEntry with this registry path).
NTSTATUS LoadDriverUnderTest(const std::u16string& registryPath, std::unique_ptr<hk::LoadedDriver>* out);
// After the driver unloaded (or failed to load): lets go of what the load mapped.
void ReleaseDriverUnderTest();
