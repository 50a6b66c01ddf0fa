#include "hostkernel/emu_fixture.h"

DispatchFn EmuTest::dispatch;

NTSTATUS NTAPI EmuTest::TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& f : driver->MajorFunction) f = Trampoline;
    return STATUS_SUCCESS;
}

void EmuTest::SetUp()
{
    KernelTest::SetUp();
    dispatch = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    pdo = bus.CreatePdo(u"ROOT\\TEST\\0000");
    ASSERT_EQ(STATUS_SUCCESS, hk::LoadedDriver::Load(TestEntry, u"\\REGISTRY\\MACHINE\\TEST", &driver));
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver->Object(), 256, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper));
    lower = IoAttachDeviceToDeviceStack(upper, pdo);
    upper->Flags &= ~DO_DEVICE_INITIALIZING;
}

void EmuTest::TearDown()
{
    if (link.Buffer) RtlFreeUnicodeString(&link);
    if (lower) IoDetachDevice(lower);
    if (upper) IoDeleteDevice(upper);
    if (driver) driver->Unload();
    bus.DeletePdos();
    dispatch = nullptr;
    KernelTest::TearDown();
}

hk::Result EmuTest::Send(UCHAR major, UCHAR minor, NTSTATUS initial)
{
    return hk::SendRequest(
        upper,
        [&](PIO_STACK_LOCATION s) {
            s->MajorFunction = major;
            s->MinorFunction = minor;
        },
        initial);
}

PIRP EmuTest::NewIrp(PDEVICE_OBJECT target, UCHAR major)
{
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    return irp;
}

void EmuTest::Publish(const char16_t* dosName)
{
    static const GUID guid = {9, 9, 9, {9, 9, 9, 9, 9, 9, 9, 9}};
    ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &guid, nullptr, &link));
    IoSetDeviceInterfaceState(&link, TRUE);
    UNICODE_STRING dos;
    RtlInitUnicodeString(&dos, dosName);
    IoCreateSymbolicLink(&dos, &link);
    upper->Flags |= DO_BUFFERED_IO;
}
