// The WMI library: decodes IRP_MJ_SYSTEM_CONTROL requests for a provider's
// WMILIB_CONTEXT, calls its routines, and completes requests in the WNODE forms.
//
// As on Windows, the library completes a request only through WmiCompleteRequest,
// that is only when a provider routine ran. The registration information and the
// library's own refusals (a block or instance the provider does not have, a routine it
// did not supply) come back as IrpNotCompleted, with the status set, for the
// provider's dispatch routine to complete; one that takes IrpNotCompleted for done
// leaves the request hanging, and the verifier reports it.
#include "internal.h"

namespace hk::detail {
namespace {
// What WmiCompleteRequest needs of a request the library handed to a provider.
struct WmiCall {
    ULONG dataOffset = 0;  // where the data starts in the WNODE
    ULONG avail = 0;       // the room the provider was given there
    ULONG instanceCount = 0;
    std::vector<ULONG> lengths;  // the instance lengths of an all-data query
};
std::mutex gWmiLock;
std::unordered_map<PIRP, WmiCall> gCalls;

// A WNODE_METHOD_ITEM: a WNODE_SINGLE_INSTANCE with the method id before the data.
struct WnodeMethodItem {
    WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG MethodId;
    ULONG DataBlockOffset;
    ULONG SizeDataBlock;
};

// The lengths array lives in the call record, so register the call first.
ULONG* Remember(PIRP irp, ULONG dataOffset, ULONG avail, ULONG instances)
{
    std::lock_guard<std::mutex> g(gWmiLock);
    WmiCall& c = gCalls[irp];
    c = WmiCall{};
    c.dataOffset = dataOffset;
    c.avail = avail;
    c.instanceCount = instances;
    c.lengths.assign(instances ? instances : 1, 0);
    return c.lengths.data();
}

WmiCall Take(PIRP irp)
{
    std::lock_guard<std::mutex> g(gWmiLock);
    WmiCall c;
    auto it = gCalls.find(irp);
    if (it != gCalls.end()) {
        c = std::move(it->second);
        gCalls.erase(it);
    }
    return c;
}

// The library's own answer: the status is set, the request is left to the caller.
NTSTATUS NotCompleted(PIRP irp, NTSTATUS status, ULONG_PTR information, PSYSCTL_IRP_DISPOSITION disposition)
{
    Take(irp);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    *disposition = IrpNotCompleted;
    return status;
}

ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

NTSTATUS RegInfo(PWMILIB_CONTEXT info, PDEVICE_OBJECT device, PIRP irp, PUCHAR buffer, ULONG size,
                 PSYSCTL_IRP_DISPOSITION disposition)
{
    ULONG flags = 0;
    UNICODE_STRING instanceName = {};
    PUNICODE_STRING registryPath = nullptr;
    UNICODE_STRING mofName = {};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = info->QueryWmiRegInfo
                          ? CallDriver("WMI registration callback", info->QueryWmiRegInfo, device, &flags, &instanceName,
                                       &registryPath, &mofName, &pdo)
                          : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return NotCompleted(irp, status, 0, disposition);
    // WMI names the instances from the PDO or from a base name; with neither it has no
    // names for the blocks, and with the PDO flag it reads the PDO it was given.
    if (flags & WMIREG_FLAG_INSTANCE_PDO) {
        if (!pdo) Report("wmi-registration", "the WMI registration callback asked for PDO instance names but gave no PDO");
    } else if (!(flags & WMIREG_FLAG_INSTANCE_BASENAME)) {
        Report("wmi-registration", "the WMI registration callback set neither WMIREG_FLAG_INSTANCE_PDO nor "
                                   "WMIREG_FLAG_INSTANCE_BASENAME: its blocks have no instance names");
    }
    // WMIREGINFO: the header and one WMIREGGUIDW per block, then the registry path and
    // the MOF resource name as counted strings.
    ULONG count = info->GuidCount;
    ULONG head = (ULONG)(offsetof(WMIREGINFOW, WmiRegGuid) + count * sizeof(WMIREGGUIDW));
    USHORT pathLength = registryPath && registryPath->Buffer ? registryPath->Length : 0;
    USHORT mofLength = mofName.Buffer ? mofName.Length : 0;
    ULONG needed = head + 2 + pathLength + 2 + mofLength;
    if (!buffer || size < needed) {
        // Too small: the needed size as a ULONG at the start of the buffer.
        if (buffer && size >= sizeof(ULONG)) std::memcpy(buffer, &needed, sizeof needed);
        return NotCompleted(irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG), disposition);
    }
    std::memset(buffer, 0, needed);
    auto* reg = (PWMIREGINFOW)buffer;
    reg->BufferSize = needed;
    reg->GuidCount = count;
    for (ULONG i = 0; i < count; ++i) {
        WMIREGGUIDW& g = reg->WmiRegGuid[i];
        g.Guid = *info->GuidList[i].Guid;
        g.Flags = info->GuidList[i].Flags | flags;
        g.InstanceCount = info->GuidList[i].InstanceCount;
        if (flags & WMIREG_FLAG_INSTANCE_PDO) g.Pdo = (ULONG_PTR)pdo;
    }
    reg->RegistryPath = head;
    std::memcpy(buffer + head, &pathLength, 2);
    if (pathLength) std::memcpy(buffer + head + 2, registryPath->Buffer, pathLength);
    reg->MofResourceName = head + 2 + pathLength;
    std::memcpy(buffer + reg->MofResourceName, &mofLength, 2);
    if (mofLength) std::memcpy(buffer + reg->MofResourceName + 2, mofName.Buffer, mofLength);
    return NotCompleted(irp, STATUS_SUCCESS, needed, disposition);
}
}  // namespace
}  // namespace hk::detail

using namespace hk::detail;

NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PSYSCTL_IRP_DISPOSITION IrpDisposition)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) Report("irql", "WmiSystemControl above PASSIVE_LEVEL");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minor = stack->MinorFunction;
    if (stack->MajorFunction != IRP_MJ_SYSTEM_CONTROL || (minor > IRP_MN_EXECUTE_METHOD && minor != IRP_MN_REGINFO_EX)) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if ((PDEVICE_OBJECT)stack->Parameters.WMI.ProviderId != DeviceObject) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    auto* buffer = (PUCHAR)stack->Parameters.WMI.Buffer;
    ULONG size = stack->Parameters.WMI.BufferSize;
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX)
        return RegInfo(WmiLibInfo, DeviceObject, Irp, buffer, size, IrpDisposition);

    auto* guid = (const GUID*)stack->Parameters.WMI.DataPath;
    ULONG index = 0;
    while (index < WmiLibInfo->GuidCount && !(guid && IsEqualGUID(*WmiLibInfo->GuidList[index].Guid, *guid))) ++index;
    if (index == WmiLibInfo->GuidCount) return NotCompleted(Irp, STATUS_WMI_GUID_NOT_FOUND, 0, IrpDisposition);
    ULONG instances = WmiLibInfo->GuidList[index].InstanceCount;

    // The requests for one instance name it by index among the static names the
    // registration gave; the library knows no other kind of name.
    ULONG instance = 0;
    if (minor == IRP_MN_QUERY_SINGLE_INSTANCE || minor == IRP_MN_CHANGE_SINGLE_INSTANCE ||
        minor == IRP_MN_CHANGE_SINGLE_ITEM || minor == IRP_MN_EXECUTE_METHOD) {
        auto* wnode = (PWNODE_SINGLE_INSTANCE)buffer;
        instance = wnode->InstanceIndex;
        if (!(wnode->WnodeHeader.Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES) || instance >= instances)
            return NotCompleted(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, 0, IrpDisposition);
    }

    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
        if (!WmiLibInfo->QueryWmiDataBlock) return NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition);
        // The data follows the array of instance offsets and lengths, 8-byte aligned.
        ULONG offset = Align8((ULONG)(FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                                      instances * sizeof(OFFSETINSTANCEDATAANDLENGTH)));
        ULONG avail = size > offset ? size - offset : 0;
        ULONG* lengths = Remember(Irp, offset, avail, instances);
        *IrpDisposition = IrpProcessed;
        // With no room the provider gets neither a buffer nor a lengths array: it
        // only reports the size it needs.
        return CallDriver("WMI query callback", WmiLibInfo->QueryWmiDataBlock, DeviceObject, Irp, index, 0UL, instances,
                          avail ? lengths : nullptr, avail, avail ? buffer + offset : nullptr);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        if (!WmiLibInfo->QueryWmiDataBlock) return NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition);
        ULONG offset = ((PWNODE_SINGLE_INSTANCE)buffer)->DataBlockOffset;
        ULONG avail = size > offset ? size - offset : 0;
        ULONG* lengths = Remember(Irp, offset, avail, 1);
        *IrpDisposition = IrpProcessed;
        return CallDriver("WMI query callback", WmiLibInfo->QueryWmiDataBlock, DeviceObject, Irp, index, instance, 1UL,
                          avail ? lengths : nullptr, avail, avail ? buffer + offset : nullptr);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        // A block the provider cannot set is read-only.
        if (!WmiLibInfo->SetWmiDataBlock) return NotCompleted(Irp, STATUS_WMI_READ_ONLY, 0, IrpDisposition);
        auto* wnode = (PWNODE_SINGLE_INSTANCE)buffer;
        Remember(Irp, wnode->DataBlockOffset, 0, 1);
        *IrpDisposition = IrpProcessed;
        return CallDriver("WMI set callback", WmiLibInfo->SetWmiDataBlock, DeviceObject, Irp, index, instance,
                          wnode->SizeDataBlock, buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        if (!WmiLibInfo->SetWmiDataItem) return NotCompleted(Irp, STATUS_WMI_READ_ONLY, 0, IrpDisposition);
        auto* wnode = (PWNODE_SINGLE_ITEM)buffer;
        Remember(Irp, wnode->DataBlockOffset, 0, 1);
        *IrpDisposition = IrpProcessed;
        return CallDriver("WMI set callback", WmiLibInfo->SetWmiDataItem, DeviceObject, Irp, index, instance,
                          wnode->ItemId, wnode->SizeDataItem, buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_EXECUTE_METHOD: {
        if (!WmiLibInfo->ExecuteWmiMethod) return NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, 0, IrpDisposition);
        auto* wnode = (WnodeMethodItem*)buffer;
        // The input and the output share the buffer from DataBlockOffset on.
        ULONG avail = size > wnode->DataBlockOffset ? size - wnode->DataBlockOffset : 0;
        Remember(Irp, wnode->DataBlockOffset, avail, 1);
        *IrpDisposition = IrpProcessed;
        return CallDriver("WMI method callback", WmiLibInfo->ExecuteWmiMethod, DeviceObject, Irp, index, instance,
                          wnode->MethodId, wnode->SizeDataBlock, avail, buffer + wnode->DataBlockOffset);
    }
    default: {
        // Enabling or disabling events or collection of a provider without a control
        // routine has nothing to do.
        if (!WmiLibInfo->WmiFunctionControl) return NotCompleted(Irp, STATUS_SUCCESS, 0, IrpDisposition);
        bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
        bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
        Remember(Irp, 0, 0, 1);
        *IrpDisposition = IrpProcessed;
        return CallDriver("WMI function control callback", WmiLibInfo->WmiFunctionControl, DeviceObject, Irp, index,
                          events ? WmiEventControl : WmiDataBlockControl, (BOOLEAN)enable);
    }
    }
}

NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT, PIRP Irp, NTSTATUS Status, ULONG BufferUsed, CCHAR PriorityBoost)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) Report("irql", "WmiCompleteRequest above DISPATCH_LEVEL");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto* buffer = (PUCHAR)stack->Parameters.WMI.Buffer;
    ULONG size = stack->Parameters.WMI.BufferSize;
    UCHAR minor = stack->MinorFunction;
    WmiCall call = Take(Irp);
    ULONG_PTR information = 0;
    // Only queries and methods answer with data; sets and controls return none.
    if (minor == IRP_MN_QUERY_ALL_DATA || minor == IRP_MN_QUERY_SINGLE_INSTANCE || minor == IRP_MN_EXECUTE_METHOD) {
        if (NT_SUCCESS(Status) && BufferUsed > call.avail) {
            Report("buffer-overrun", "a WMI provider completed IRP " + Hex((ULONG_PTR)Irp) + " with success and " +
                                         std::to_string(BufferUsed) + " bytes of data for a buffer of " +
                                         std::to_string(call.avail));
            Status = STATUS_BUFFER_TOO_SMALL;
        }
        ULONG needed = call.dataOffset + BufferUsed;
        if (NT_SUCCESS(Status) && needed > size) Status = STATUS_BUFFER_TOO_SMALL;
        if (Status == STATUS_BUFFER_TOO_SMALL) {
            // Too small: the caller learns the size of the whole WNODE it needs and
            // retries; a buffer too small even for that answer fails.
            if (size >= sizeof(WNODE_TOO_SMALL)) {
                auto* small = (PWNODE_TOO_SMALL)buffer;
                small->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
                small->WnodeHeader.Flags = WNODE_FLAG_TOO_SMALL;
                small->SizeNeeded = needed;
                information = sizeof(WNODE_TOO_SMALL);
                Status = STATUS_SUCCESS;
            }
        } else if (NT_SUCCESS(Status) && minor == IRP_MN_QUERY_ALL_DATA) {
            // Instances of any size: each one's offset and length in the array, each
            // starting on an 8-byte boundary.
            auto* wnode = (PWNODE_ALL_DATA)buffer;
            wnode->DataBlockOffset = call.dataOffset;
            wnode->InstanceCount = call.instanceCount;
            ULONG offset = call.dataOffset;
            for (ULONG i = 0; i < call.instanceCount; ++i) {
                wnode->OffsetInstanceDataAndLength[i].OffsetInstanceData = offset;
                wnode->OffsetInstanceDataAndLength[i].LengthInstanceData = call.lengths[i];
                offset = Align8(offset + call.lengths[i]);
            }
            wnode->WnodeHeader.Flags = (wnode->WnodeHeader.Flags | WNODE_FLAG_ALL_DATA) & ~WNODE_FLAG_FIXED_INSTANCE_SIZE;
            wnode->WnodeHeader.BufferSize = needed;
            information = needed;
        } else if (NT_SUCCESS(Status)) {
            // A WNODE_SINGLE_INSTANCE, or a WNODE_METHOD_ITEM with the output.
            ULONG* sizeDataBlock = minor == IRP_MN_EXECUTE_METHOD ? &((WnodeMethodItem*)buffer)->SizeDataBlock
                                                                  : &((PWNODE_SINGLE_INSTANCE)buffer)->SizeDataBlock;
            *sizeDataBlock = BufferUsed;
            ((PWNODE_HEADER)buffer)->BufferSize = needed;
            information = needed;
        }
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = NT_SUCCESS(Status) ? information : 0;
    IofCompleteRequest(Irp, PriorityBoost);
    return Status;
}
