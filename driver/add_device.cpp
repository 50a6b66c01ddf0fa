// AddDevice: one port device per adapter, configured from the device's registry key,
// with every piece of per-device state initialised before the first request.
#include "driver/device.h"
#include "driver/driver.h"
#include "driver/pool_tags.h"
#include "lines/status_polling.h"
#include "lower/pipe.h"
#include "rx/read.h"
#include "rx/receive_pump.h"
#include "tx/write.h"
#include "wmi/wmi_provider.h"

namespace {

// The serial settings a port has before anybody changes them.
VOID ApplyInitialSettings(PortExtension* Port)
{
    Port->BaudRate = DEFAULT_BAUD_RATE;
    Port->LineControl.StopBits = STOP_BIT_1;
    Port->LineControl.Parity = NO_PARITY;
    Port->LineControl.WordLength = 8;
    Port->Timeouts.ReadIntervalTimeout = MAXULONG;
    Port->Timeouts.ReadTotalTimeoutMultiplier = 0;
    Port->Timeouts.ReadTotalTimeoutConstant = 0;
    Port->Timeouts.WriteTotalTimeoutMultiplier = 0;
    Port->Timeouts.WriteTotalTimeoutConstant = 0;
    Port->ReadMode = ReadModeReturnNow;
    RtlZeroMemory(&Port->HandFlow, sizeof Port->HandFlow);
    RtlZeroMemory(&Port->Chars, sizeof Port->Chars);
    Port->WaitMask = 0;
    Port->ModemControlByte = 0;
    Port->InSize = DEFAULT_QUEUE_SIZE;
    Port->OutSize = DEFAULT_QUEUE_SIZE;
}

// The longest pause either pump keeps between two reads, in milliseconds. Every stop
// of a pump (cleanup, close, power-down, removal) waits for a chain parked on its timer
// to see the stop when the timer expires, so a longer period would hold all of those
// up for as long: up to weeks for the largest values.
constexpr ULONG LongestPollPeriodMs = 10000;

// The per-device tuning values, with their defaults and adjustments.
VOID ReadConfiguration(PortExtension* Port, PDEVICE_OBJECT Pdo)
{
    Port->RxReqSize = 0;
    ReadDeviceDword(Pdo, WSTR("RxReqSize"), &Port->RxReqSize);
    Port->RxPollPeriod = 0;
    ReadDeviceDword(Pdo, WSTR("RxPollPeriod"), &Port->RxPollPeriod);
    // Unsigned: a period of 2^31 ms or more is long, not negative.
    if (Port->RxPollPeriod > LongestPollPeriodMs) Port->RxPollPeriod = LongestPollPeriodMs;
    ULONG value = 10;
    ReadDeviceDword(Pdo, WSTR("CtlPollPeriod"), &value);
    // Signed: a negative period turns status polling off and stays as it is.
    Port->CtlPollPeriod = (LONG)value;
    if (Port->CtlPollPeriod > (LONG)LongestPollPeriodMs) Port->CtlPollPeriod = (LONG)LongestPollPeriodMs;
    Port->TxKickThreshold = 0;
    if (NT_SUCCESS(ReadDeviceDword(Pdo, WSTR("TxKickThreshold"), &value))) {
        if (value == 0) value = 1;
        if (value >= TX_STAGING_SIZE) value = 2048;
        Port->TxKickThreshold = value;
    }
    Port->TxAsync = 0;
    ReadDeviceDword(Pdo, WSTR("TxAsync"), &Port->TxAsync);
    Port->NoBaudCheck = 0;
    ReadDeviceDword(Pdo, WSTR("NoBaudCheck"), &Port->NoBaudCheck);
    Port->TxAllowNullPacket = 1;
    ReadDeviceDword(Pdo, WSTR("TxAllowNullPacket"), &Port->TxAllowNullPacket);
}

}  // namespace

// PASSIVE_LEVEL, from the PnP manager, before any request can reach the new device;
// takes no lock. On a failure after the device object exists, everything done so far
// is undone, so that a failed AddDevice leaves nothing behind.
VCOM_PAGED NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    ULONG value;
    if (NT_SUCCESS(ReadDeviceDword(PhysicalDeviceObject, WSTR("DebugLevel"), &value))) DebugLevel = value;
    ULONG endPointCaps = 0;
    ReadDeviceDword(PhysicalDeviceObject, WSTR("EndPointCaps"), &endPointCaps);

    PDEVICE_OBJECT device;
    NTSTATUS status = CreatePortDevice(DriverObject, PhysicalDeviceObject, &device);
    if (!NT_SUCCESS(status)) return status;
    PortExtension* port = PortOf(device);
    port->PowerWorkItem = IoAllocateWorkItem(device);
    if (!port->PowerWorkItem) {
        ReleasePortDevice(port);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    device->Flags |= port->LowerDevice->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH);
    device->Flags |= DO_BUFFERED_IO;
    port->EndPointCaps = endPointCaps;
    port->PortDeviceObject = device;

    PipeHandlePrepare(&port->DataInPipe, PIPE_NAME_DATA_IN, device);
    PipeHandlePrepare(&port->DataOutPipe, PIPE_NAME_DATA_OUT, device);
    if (endPointCaps) PipeHandlePrepare(&port->StatusPipe, PIPE_NAME_STATUS, device);

    // The device's own reference, dropped only by IRP_MN_REMOVE_DEVICE.
    IoInitializeRemoveLock(&port->PortRemoveLock, TAG_KLVO, 1, 10);
    IoAcquireRemoveLock(&port->PortRemoveLock, nullptr);

    port->RxStopped = 1;
    KeInitializeEvent(&port->RxIdleEvent, SynchronizationEvent, FALSE);
    port->StatusStopped = 1;
    KeInitializeEvent(&port->StatusIdleEvent, SynchronizationEvent, FALSE);
    port->TxStopped = 1;
    KeInitializeEvent(&port->TxIdleEvent, NotificationEvent, TRUE);

    KeInitializeSpinLock(&port->CommStatusLock);
    KeInitializeEvent(&port->ConfigLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&port->OpenPowerLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&port->StatusControlLock, SynchronizationEvent, TRUE);
    KeInitializeSpinLock(&port->EventLock);
    KeInitializeDeviceQueue(&port->ReadQueue);

    ApplyInitialSettings(port);

    KeInitializeTimer(&port->RxPumpTimer);
    KeInitializeDpc(&port->RxPumpDpc, RxPumpRetry, device);
    KeInitializeTimer(&port->ReadIntervalTimer);
    KeInitializeDpc(&port->ReadIntervalDpc, ReadIntervalTimeoutDpc, device);
    KeInitializeTimer(&port->ReadTotalTimer);
    KeInitializeDpc(&port->ReadTotalDpc, ReadTotalTimeoutDpc, device);

    ReadConfiguration(port, PhysicalDeviceObject);

    KeInitializeTimer(&port->TxKickTimer);
    KeInitializeDpc(&port->TxKickDpc, TxKickRetry, port);
    port->TxKickDelay.QuadPart = -100000;  // 10 ms

    RingInitialize(&port->RxRing);
    RingInitialize(&port->TxRing);
    status = RingAllocate(&port->TxRing, port->OutSize);
    if (!NT_SUCCESS(status)) {
        ReleasePortDevice(port);
        return status;
    }

    KeInitializeTimer(&port->StatusTimer);
    KeInitializeDpc(&port->StatusDpc, StatusPollDpc, device);

    if (port->TxAsync)
        BufferedWriteInit(port);
    else
        DirectWriteInit(port);

    status = WmiRegister(port);
    if (!NT_SUCCESS(status)) {
        RingFree(&port->TxRing);
        ReleasePortDevice(port);
        return status;
    }

    port->RunState = RUN_NOT_STARTED;
    port->PnpState = PNP_NOT_STARTED;
    port->PreviousPnpState = PNP_NOT_STARTED;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

// PASSIVE_LEVEL. Creates the unnamed, exclusive port device, registers and enables its
// COM-port interface, keeps a copy of the interface's link name and attaches the
// device above the pipe driver. On failure nothing remains.
NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice, PDEVICE_OBJECT* PortDevice)
{
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(PortExtension), nullptr, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) return status;
    PortExtension* port = PortOf(device);
    RtlZeroMemory(port, sizeof *port);
    port->PortDeviceObject = device;
    port->PhysicalDevice = PhysicalDevice;

    UNICODE_STRING link = {};
    status = IoRegisterDeviceInterface(PhysicalDevice, &GUID_DEVINTERFACE_COMPORT, nullptr, &link);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    status = IoSetDeviceInterfaceState(&link, TRUE);
    if (!NT_SUCCESS(status)) {
        RtlFreeUnicodeString(&link);
        IoDeleteDevice(device);
        return status;
    }

    USHORT size = (USHORT)(link.Length + sizeof(WCHAR));
    port->InterfaceLinkName.Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, size, TAG_INIT);
    if (!port->InterfaceLinkName.Buffer) {
        IoSetDeviceInterfaceState(&link, FALSE);
        RtlFreeUnicodeString(&link);
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(port->InterfaceLinkName.Buffer, size);
    port->InterfaceLinkName.Length = 0;
    port->InterfaceLinkName.MaximumLength = size;
    RtlAppendUnicodeStringToString(&port->InterfaceLinkName, &link);
    RtlFreeUnicodeString(&link);

    port->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDevice);
    if (!port->LowerDevice) {
        ReleasePortDevice(port);
        return STATUS_NO_SUCH_DEVICE;
    }
    *PortDevice = device;
    return status;
}

// PASSIVE_LEVEL. Reads a 32-bit value from the device's PnP key; writes *Value only on
// success. A value too large for the query buffer, or with fewer than 4 bytes of
// data, is not taken.
NTSTATUS ReadDeviceDword(PDEVICE_OBJECT PhysicalDevice, PCWSTR ValueName, PULONG Value)
{
    HANDLE key;
    NTSTATUS status = IoOpenDeviceRegistryKey(PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) return status;

    WCHAR nameBuffer[256];
    ULONG chars = 0;
    while (ValueName[chars] && chars < RTL_NUMBER_OF(nameBuffer) - 1) {
        nameBuffer[chars] = ValueName[chars];
        ++chars;
    }
    nameBuffer[chars] = 0;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, nameBuffer);

    // The query's buffer is on the stack: reading a value takes no pool, so a moment
    // short of memory cannot turn a configured value into its default (EndPointCaps 0
    // would leave the adapter unconfigured while every line setting reports success).
    ULONG size = name.MaximumLength + 28;
    ULONG storage[(sizeof nameBuffer + 28 + sizeof(ULONG) - 1) / sizeof(ULONG)];
    auto* info = (PKEY_VALUE_FULL_INFORMATION)storage;
    ULONG resultLength = 0;
    status = ZwQueryValueKey(key, &name, KeyValueFullInformation, info, size, &resultLength);
    if (NT_SUCCESS(status)) {
        if (info->DataLength >= sizeof(ULONG) && info->DataOffset <= size - sizeof(ULONG))
            RtlCopyMemory(Value, (PUCHAR)info + info->DataOffset, sizeof(ULONG));
        else
            status = STATUS_INFO_LENGTH_MISMATCH;
    }
    ZwClose(key);
    return status;
}

// PASSIVE_LEVEL. The last steps of a port device's life, also used to undo a failed
// AddDevice: interface disabled, detached, link name and power work item freed, device
// deleted. The extension is gone afterwards.
VOID ReleasePortDevice(PortExtension* Port)
{
    if (Port->PowerWorkItem) {
        IoFreeWorkItem(Port->PowerWorkItem);
        Port->PowerWorkItem = nullptr;
    }
    if (Port->InterfaceLinkName.Buffer) IoSetDeviceInterfaceState(&Port->InterfaceLinkName, FALSE);
    if (Port->LowerDevice) {
        IoDetachDevice(Port->LowerDevice);
        Port->LowerDevice = nullptr;
    }
    if (Port->InterfaceLinkName.Buffer) {
        ExFreePoolWithTag(Port->InterfaceLinkName.Buffer, TAG_INIT);
        Port->InterfaceLinkName.Buffer = nullptr;
    }
    IoDeleteDevice(Port->PortDeviceObject);
}
