// The driver under test in the host builds: its sources, linked in.
#include "support/driver_under_test.h"

#include "driver/driver.h"

NTSTATUS LoadDriverUnderTest(const std::u16string& registryPath, std::unique_ptr<hk::LoadedDriver>* out)
{
    return hk::LoadedDriver::Load(DriverEntry, registryPath, out);
}

void ReleaseDriverUnderTest() {}
