// A small driver of the test's own above a stub bus device, whose dispatch routine
// each test scripts. Used to prove the emulation's rules from the driver's side.
#pragma once

#include <functional>

#include "support/kernel_test.h"

using DispatchFn = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

class EmuTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The scripted dispatch routine of `upper` for every major function.
    static DispatchFn dispatch;
    static NTSTATUS NTAPI Trampoline(PDEVICE_OBJECT device, PIRP irp) { return dispatch(device, irp); }
    static NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING);

    // Sends a request with this major function to `upper` from outside.
    hk::Result Send(UCHAR major, UCHAR minor = 0, NTSTATUS initial = STATUS_SUCCESS);
    // Allocates an IRP for `target` as a driver would (caller owns it).
    PIRP NewIrp(PDEVICE_OBJECT target, UCHAR major);
    // Gives the stack a device interface and a DOS name (e.g. u"\\DosDevices\\TEST8") that
    // applications open; `upper` does buffered I/O.
    void Publish(const char16_t* dosName);
    UNICODE_STRING link{};  // the interface's link, freed at tear-down

    hk::StubBus bus;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    PDEVICE_OBJECT lower = nullptr;  // what upper is attached to (the PDO)
    std::unique_ptr<hk::LoadedDriver> driver;
};
