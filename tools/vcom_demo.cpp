// Loads the driver into the kernel emulation and prints what it did.
#include <cstdio>

#include "hostkernel/frontend.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

int main()
{
    hk::Reset(hk::ClockMode::Virtual);
    std::unique_ptr<hk::LoadedDriver> driver;
    NTSTATUS status = hk::LoadedDriver::Load(DriverEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vcomusb", &driver);
    std::printf("DriverEntry: 0x%08x\n", (unsigned)status);
    if (!NT_SUCCESS(status)) return 1;
    int routed = 0;
    for (auto f : driver->Object()->MajorFunction) routed += f != nullptr;
    std::printf("major functions routed: %d of %d\n", routed, IRP_MJ_MAXIMUM_FUNCTION + 1);
    driver->Unload();
    auto violations = hk::TakeViolations();
    std::printf("verifier: %zu violation(s)\n%s", violations.size(), hk::Describe(violations).c_str());
    return violations.empty() ? 0 : 1;
}
