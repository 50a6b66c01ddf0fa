// Port naming: the "\DosDevices\" link under the name in the device key's "PortName",
// pointing at the port's interface link, and the port's value in the SERIALCOMM
// device map. The device's one record of being named is DosDeviceName's buffer: it
// holds the link's name only once the link and the map value both exist, so a
// removal never deletes a link or a value that another device made.
#include "driver/naming.h"

#include "driver/driver.h"
#include "driver/pool_tags.h"

namespace {

constexpr USHORT DosNameSize = 256;              // bytes of DosDeviceName's buffer
constexpr ULONG PortNameSize = 256;              // bytes of the port-name buffer
constexpr ULONG MaxPortNameChars = 116;          // what fits after "\DosDevices\" in 256 bytes
constexpr WCHAR DosDevicesPrefix[] = WSTR("\\DosDevices\\");
constexpr WCHAR PortNameValue[] = WSTR("PortName");
constexpr WCHAR SerialCommKey[] = WSTR("SERIALCOMM");

// PASSIVE_LEVEL. Reads "PortName" into Name and checks it: a string value, its data
// within the buffer, ending in a wide NUL there, not empty, short enough for the DOS
// name, and without a backslash. *Chars gets its length without the NUL.
NTSTATUS ReadPortName(PDEVICE_OBJECT Pdo, PWCHAR Name, PULONG Chars)
{
    HANDLE key;
    NTSTATUS status = IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (status != STATUS_SUCCESS) return status;
    RtlZeroMemory(Name, PortNameSize);
    ULONG length = 0;
    ULONG type = REG_NONE;
    status = ReadRegistryString(key, PortNameValue, sizeof PortNameValue, Name, PortNameSize, TAG_INIT, &length, &type);
    ZwClose(key);
    if (!NT_SUCCESS(status)) return status;
    // Only text names a port: a number, raw bytes or a list read as characters would
    // give it a name nobody wrote. REG_EXPAND_SZ is taken as written; nothing in the
    // kernel expands it.
    if (type != REG_SZ && type != REG_EXPAND_SZ) return STATUS_INVALID_PARAMETER;
    if (length > PortNameSize || length < 2 * sizeof(WCHAR) || length % sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
    ULONG chars = 0;
    while (chars < length / sizeof(WCHAR) && Name[chars]) ++chars;
    if (chars == 0 || chars == length / sizeof(WCHAR) || chars > MaxPortNameChars) return STATUS_INVALID_PARAMETER;
    // A backslash would make the DOS name a path: the link would land in another
    // object directory, or nowhere.
    for (ULONG i = 0; i < chars; ++i)
        if (Name[i] == (WCHAR)'\\') return STATUS_INVALID_PARAMETER;
    *Chars = chars;
    return STATUS_SUCCESS;
}

}  // namespace

// PASSIVE_LEVEL. The data is copied only when it fits; *DataLength (when asked for)
// gets the value's length either way, so that a caller can tell a value that was too
// long from one that was copied.
NTSTATUS ReadRegistryString(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PVOID Buffer, ULONG BufferSize, ULONG Tag,
                            PULONG DataLength, PULONG Type)
{
    UNICODE_STRING name;
    name.Buffer = (PWSTR)ValueName;
    name.Length = (USHORT)(ValueNameSize - sizeof(WCHAR));
    name.MaximumLength = (USHORT)ValueNameSize;
    ULONG size = ValueNameSize + BufferSize + 24;
    auto* info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, Tag);
    if (!info) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG result = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, info, size, &result);
    if (NT_SUCCESS(status)) {
        if (Type) *Type = info->Type;
        if (DataLength) *DataLength = info->DataLength;
        if (info->DataLength <= BufferSize && info->DataOffset <= size && info->DataLength <= size - info->DataOffset)
            RtlCopyMemory(Buffer, (PUCHAR)info + info->DataOffset, info->DataLength);
        else if (DataLength)
            *DataLength = MAXULONG;  // too long for the buffer: nothing was copied
    }
    ExFreePoolWithTag(info, Tag);
    return status;
}

NTSTATUS NamePort(PDEVICE_OBJECT DeviceObject)
{
    PortExtension* port = PortOf(DeviceObject);
    if (port->DosDeviceName.Buffer) return STATUS_SUCCESS;  // a restart keeps the first start's name

    WCHAR name[PortNameSize / sizeof(WCHAR)];
    ULONG chars = 0;
    NTSTATUS status = ReadPortName(port->PhysicalDevice, name, &chars);
    if (!NT_SUCCESS(status)) return status;

    UNICODE_STRING dosName;
    dosName.Length = 0;
    dosName.MaximumLength = DosNameSize;
    dosName.Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, DosNameSize, TAG_INIT);
    if (!dosName.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
    RtlAppendUnicodeToString(&dosName, DosDevicesPrefix);
    RtlAppendUnicodeToString(&dosName, name);

    status = IoCreateSymbolicLink(&dosName, &port->InterfaceLinkName);
    if (NT_SUCCESS(status)) {
        status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, port->InterfaceLinkName.Buffer, REG_SZ,
                                       name, (chars + 1) * sizeof(WCHAR));
        if (!NT_SUCCESS(status)) IoDeleteSymbolicLink(&dosName);
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(dosName.Buffer, TAG_INIT);
        return status;
    }
    port->DosDeviceName = dosName;
    return STATUS_SUCCESS;
}

VOID UnnamePort(PortExtension* Port)
{
    if (!Port->DosDeviceName.Buffer) return;
    IoDeleteSymbolicLink(&Port->DosDeviceName);
    ExFreePoolWithTag(Port->DosDeviceName.Buffer, TAG_INIT);
    Port->DosDeviceName.Buffer = nullptr;
    Port->DosDeviceName.Length = Port->DosDeviceName.MaximumLength = 0;
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Port->InterfaceLinkName.Buffer);
}
