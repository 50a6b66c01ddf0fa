// Loads the driver into the kernel emulation, adds one adapter, removes it and
// unloads, printing what the driver did at each step.
#include <cstdio>
#include <string>

#include "driver/driver.h"
#include "hostkernel/frontend.h"

namespace {
std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }
}  // namespace

int main()
{
    hk::Reset(hk::ClockMode::Virtual);
    std::unique_ptr<hk::LoadedDriver> driver;
    NTSTATUS status = hk::LoadedDriver::Load(DriverEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vcomusb", &driver);
    std::printf("DriverEntry: 0x%08x\n", (unsigned)status);
    if (!NT_SUCCESS(status)) return 1;

    hk::StubBus bus;
    PDEVICE_OBJECT pdo = bus.CreatePdo(u"USB\\VID_0403&PID_6001\\DEMO0", DO_POWER_PAGABLE,
                                       {hk::RegistryValue::Dword(u"EndPointCaps", 1), hk::RegistryValue::Dword(u"TxAsync", 1)});
    hk::DeviceStack stack(pdo);
    status = stack.AddDevice(*driver);
    std::printf("AddDevice: 0x%08x\n", (unsigned)status);
    if (NT_SUCCESS(status)) {
        PortExtension* port = PortOf(stack.Top());
        for (const auto& link : hk::names::InterfacesOf(pdo)) std::printf("  COM-port interface: %s\n", Narrow(link).c_str());
        std::printf("  EndPointCaps %u, TxAsync %u, CtlPollPeriod %d, TxRing %u bytes, baud %u\n", port->EndPointCaps,
                    port->TxAsync, port->CtlPollPeriod, port->TxRing.Size, port->BaudRate);
        std::printf("  pool: %zu bytes outstanding\n", [] {
            size_t n = 0;
            for (auto& b : hk::OutstandingPool()) n += b.size;
            return n;
        }());
        hk::Result r = stack.Remove();
        std::printf("IRP_MN_REMOVE_DEVICE: 0x%08x\n", (unsigned)r.status);
    }
    driver->Unload();
    bus.DeletePdos();
    auto violations = hk::TakeViolations();
    std::printf("verifier: %zu violation(s)\n%s", violations.size(), hk::Describe(violations).c_str());
    hk::Reset();  // release what the kernel still holds of the run
    return violations.empty() ? 0 : 1;
}
