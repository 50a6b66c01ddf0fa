// The port's WMI provider. The WMI library decodes IRP_MJ_SYSTEM_CONTROL for the six
// registered blocks and calls the routines below; each completes the request through
// WmiCompleteRequest. The port answers the standard port-name and performance blocks
// and its private block (the driver's debug level and the model name); it refuses the
// other three standard serial blocks. Everything here runs at PASSIVE_LEVEL and takes
// no lock: the counters and the debug level are single 32-bit words. The provider
// stays registered from AddDevice to removal; between surprise removal and removal it
// answers every request with STATUS_DELETE_PENDING.
#include "wmi/wmi_provider.h"

#include "driver/driver.h"
#include "driver/naming.h"
#include "driver/pool_tags.h"
#include "wmi/wmi_guids.h"

namespace {

// GuidIndex values: the order of WmiGuidList.
enum : ULONG {
    WMI_PORT_NAME = 0,
    WMI_COMM = 1,
    WMI_HW = 2,
    WMI_PERF = 3,
    WMI_PROPERTIES = 4,
    WMI_PRIVATE = 5,
};

// Data item ids of the private block.
enum : ULONG {
    WMI_ITEM_DEBUG_LEVEL = 1,
    WMI_ITEM_MODEL_NAME = 2,
};

WMIGUIDREGINFO WmiGuidList[WMI_GUID_COUNT] = {
    {&VcomWmiPortNameGuid, 1, 0}, {&VcomWmiCommGuid, 1, 0},       {&VcomWmiHwGuid, 1, 0},
    {&VcomWmiPerfGuid, 1, 0},     {&VcomWmiPropertiesGuid, 1, 0}, {&VcomWmiPrivateGuid, 1, 0},
};

constexpr WCHAR MofResourceName[] = WSTR("MofResourceName");
constexpr WCHAR PortNameValue[] = WSTR("PortName");
constexpr WCHAR ModelName[] = WSTR("Quorvanel");  // with its NUL: 20 bytes
constexpr ULONG PortNameChars = 64;                // the name buffer: 128 bytes
constexpr ULONG PerfBlockSize = 6 * sizeof(ULONG);
constexpr ULONG PrivateBlockSize = sizeof(ULONG) + sizeof(USHORT) + sizeof ModelName;
static_assert(sizeof ModelName == 20 && PrivateBlockSize == 26, "the private block's layout is fixed");

// The status of a block the port registers but does not serve, or of an index it never
// registered.
NTSTATUS RefusedBlock(ULONG GuidIndex)
{
    return GuidIndex < WMI_GUID_COUNT ? STATUS_INVALID_DEVICE_REQUEST : STATUS_WMI_GUID_NOT_FOUND;
}

// PASSIVE_LEVEL. The port-name block: a 16-bit byte length (with the NUL) and the name
// from the device key's "PortName", read afresh. A value too long for the 128-byte
// buffer is not copied and leaves an empty name.
NTSTATUS QueryPortName(PortExtension* Port, PULONG InstanceLength, ULONG BufferAvail, PUCHAR Buffer, PULONG Used)
{
    HANDLE key;
    // The handle is opened for what it is used for, querying a value (KEY_QUERY_VALUE
    // is part of KEY_READ), though a kernel-mode caller's rights are not checked.
    NTSTATUS status = IoOpenDeviceRegistryKey(Port->PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;
    WCHAR name[PortNameChars];
    RtlZeroMemory(name, sizeof name);
    status = ReadRegistryString(key, PortNameValue, sizeof PortNameValue, name, sizeof name, TAG_MWMI, nullptr);
    ZwClose(key);
    // A value much longer than the buffer does not even fit the query's own buffer:
    // like one that only misses the name buffer, it is not copied and the name is
    // empty, rather than the whole block failing.
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        RtlZeroMemory(name, sizeof name);
        status = STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) return status;

    // A value that fills the buffer has no NUL inside it: the count stops at the
    // buffer's end and the block's NUL is written below, not read.
    ULONG chars = 0;
    while (chars < PortNameChars && name[chars]) ++chars;
    USHORT length = (USHORT)((chars + 1) * sizeof(WCHAR));
    *Used = sizeof(USHORT) + length;
    if (BufferAvail < *Used) return STATUS_BUFFER_TOO_SMALL;
    const WCHAR nul = 0;
    RtlCopyMemory(Buffer, &length, sizeof length);
    RtlCopyMemory(Buffer + sizeof(USHORT), name, chars * sizeof(WCHAR));
    RtlCopyMemory(Buffer + sizeof(USHORT) + chars * sizeof(WCHAR), &nul, sizeof nul);
    *InstanceLength = *Used;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL. The routines the WMI library calls. The first three complete the
// request; the registration callback only answers the library.

NTSTATUS NTAPI QueryWmiRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                               PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceNameOut, PDEVICE_OBJECT* Pdo)
{
    // Instance names come from the physical device object; no base name of our own.
    *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
    InstanceName->Length = 0;
    InstanceName->MaximumLength = 0;
    InstanceName->Buffer = nullptr;
    *RegistryPath = &DriverRegistryPath;
    RtlInitUnicodeString(MofResourceNameOut, MofResourceName);
    *Pdo = PortOf(DeviceObject)->PhysicalDevice;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryWmiDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG, ULONG,
                                 PULONG InstanceLengthArray, ULONG BufferAvail, PUCHAR Buffer)
{
    PortExtension* port = PortOf(DeviceObject);
    NTSTATUS status;
    ULONG used = 0;
    switch (GuidIndex) {
    case WMI_PORT_NAME:
        status = QueryPortName(port, InstanceLengthArray, BufferAvail, Buffer, &used);
        break;
    case WMI_PERF: {
        used = PerfBlockSize;
        if (BufferAvail < used) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        // Each counter read whole: the receive pump and the transmit path add to them
        // on other processors.
        auto* from = (volatile LONG*)&port->WmiPerfStats;
        ULONG counters[6];
        for (ULONG i = 0; i < 6; ++i) counters[i] = (ULONG)InterlockedCompareExchange(from + i, 0, 0);
        RtlCopyMemory(Buffer, counters, sizeof counters);
        *InstanceLengthArray = used;
        status = STATUS_SUCCESS;
        break;
    }
    case WMI_PRIVATE: {
        used = PrivateBlockSize;
        if (BufferAvail < used) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        const ULONG level = DebugLevel;
        const USHORT nameLength = sizeof ModelName;
        RtlCopyMemory(Buffer, &level, sizeof level);
        RtlCopyMemory(Buffer + sizeof level, &nameLength, sizeof nameLength);
        RtlCopyMemory(Buffer + sizeof level + sizeof nameLength, ModelName, sizeof ModelName);
        *InstanceLengthArray = used;
        status = STATUS_SUCCESS;
        break;
    }
    default:
        status = RefusedBlock(GuidIndex);
        break;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, used, IO_NO_INCREMENT);
}

// The debug level from a set's buffer, whose size the caller has checked.
NTSTATUS SetDebugLevel(PUCHAR Buffer, PULONG Used)
{
    ULONG level;
    RtlCopyMemory(&level, Buffer, sizeof level);
    DebugLevel = level;
    *Used = sizeof level;
    return STATUS_SUCCESS;
}

// What a set of any block but the private one gets: the counters cannot be set, the
// other blocks are refused.
NTSTATUS RefusedSet(ULONG GuidIndex)
{
    return GuidIndex == WMI_PERF ? STATUS_UNSUCCESSFUL : RefusedBlock(GuidIndex);
}

NTSTATUS NTAPI SetWmiDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG, ULONG BufferSize,
                               PUCHAR Buffer)
{
    NTSTATUS status;
    ULONG used = 0;
    if (GuidIndex != WMI_PRIVATE)
        status = RefusedSet(GuidIndex);
    else if (BufferSize < sizeof(ULONG))
        status = STATUS_INFO_LENGTH_MISMATCH;
    else
        status = SetDebugLevel(Buffer, &used);  // the first item is the only writable one; the rest is ignored
    return WmiCompleteRequest(DeviceObject, Irp, status, used, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SetWmiDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG, ULONG DataItemId,
                              ULONG BufferSize, PUCHAR Buffer)
{
    NTSTATUS status;
    ULONG used = 0;
    if (GuidIndex != WMI_PRIVATE)
        status = RefusedSet(GuidIndex);
    else if (DataItemId != WMI_ITEM_DEBUG_LEVEL)
        status = STATUS_WMI_READ_ONLY;
    else if (BufferSize != sizeof(ULONG))
        status = STATUS_INFO_LENGTH_MISMATCH;
    else
        status = SetDebugLevel(Buffer, &used);
    return WmiCompleteRequest(DeviceObject, Irp, status, used, IO_NO_INCREMENT);
}

}  // namespace

// PASSIVE_LEVEL, from AddDevice.
NTSTATUS WmiRegister(PortExtension* Port)
{
    Port->WmiLibInfo.GuidCount = WMI_GUID_COUNT;
    Port->WmiLibInfo.GuidList = WmiGuidList;
    Port->WmiLibInfo.QueryWmiRegInfo = QueryWmiRegInfo;
    Port->WmiLibInfo.QueryWmiDataBlock = QueryWmiDataBlock;
    Port->WmiLibInfo.SetWmiDataBlock = SetWmiDataBlock;
    Port->WmiLibInfo.SetWmiDataItem = SetWmiDataItem;
    Port->WmiLibInfo.ExecuteWmiMethod = nullptr;
    Port->WmiLibInfo.WmiFunctionControl = nullptr;
    return IoWMIRegistrationControl(Port->PortDeviceObject, WMIREG_ACTION_REGISTER);
}

// PASSIVE_LEVEL, from removal before the request goes down.
VOID WmiDeregister(PortExtension* Port)
{
    IoWMIRegistrationControl(Port->PortDeviceObject, WMIREG_ACTION_DEREGISTER);
}

// PASSIVE_LEVEL. What the library does not take for this device's registration goes
// down to the pipe driver, whose status is then the result.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (PortRemoved(port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    SYSCTL_IRP_DISPOSITION disposition = IrpNotWmi;
    NTSTATUS status = WmiSystemControl(&port->WmiLibInfo, DeviceObject, Irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        break;  // the routine completed it
    case IrpNotCompleted:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);  // the library set its status
        break;
    default:  // IrpNotWmi, IrpForward
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(port->LowerDevice, Irp);
        break;
    }
    return status;
}
