// The WMI library: decodes IRP_MJ_SYSTEM_CONTROL requests for a provider's
// WMILIB_CONTEXT, calls its routines, and completes requests in the WNODE forms.
#include "internal.h"

namespace hk::detail {
namespace {
struct WmiCall {
    ULONG dataOffset = 0;
    ULONG instanceCount = 0;
    std::vector<ULONG> lengths;
};
std::mutex gWmiLock;
std::unordered_map<PIRP, WmiCall> gCalls;

void Remember(PIRP irp, WmiCall call)
{
    std::lock_guard<std::mutex> g(gWmiLock);
    gCalls[irp] = std::move(call);
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

ULONG* LengthSlot(PIRP irp, ULONG count)
{
    std::lock_guard<std::mutex> g(gWmiLock);
    auto& c = gCalls[irp];
    c.lengths.assign(count ? count : 1, 0);
    return c.lengths.data();
}

NTSTATUS Finish(PIRP irp, NTSTATUS status)
{
    Take(irp);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
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
    *IrpDisposition = IrpProcessed;
    auto* buffer = (PUCHAR)stack->Parameters.WMI.Buffer;
    ULONG size = stack->Parameters.WMI.BufferSize;

    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX) {
        ULONG flags = 0;
        UNICODE_STRING instanceName = {};
        PUNICODE_STRING registryPath = nullptr;
        UNICODE_STRING mofName = {};
        PDEVICE_OBJECT pdo = nullptr;
        NTSTATUS status = WmiLibInfo->QueryWmiRegInfo
                              ? CallDriver("WMI registration callback", WmiLibInfo->QueryWmiRegInfo, DeviceObject, &flags, &instanceName, &registryPath, &mofName, &pdo)
                              : STATUS_SUCCESS;
        if (NT_SUCCESS(status)) {
            // WMIREGINFO: the header and one WMIREGGUIDW per block, then the registry
            // path and the MOF resource name as counted strings.
            ULONG count = WmiLibInfo->GuidCount;
            ULONG head = (ULONG)(offsetof(WMIREGINFOW, WmiRegGuid) + count * sizeof(WMIREGGUIDW));
            USHORT pathLength = registryPath && registryPath->Buffer ? registryPath->Length : 0;
            USHORT mofLength = mofName.Buffer ? mofName.Length : 0;
            ULONG needed = head + 2 + pathLength + 2 + mofLength;
            if (!buffer || size < needed) {
                if (buffer && size >= sizeof(ULONG)) std::memcpy(buffer, &needed, sizeof needed);
                Irp->IoStatus.Information = sizeof(ULONG);
                status = STATUS_BUFFER_TOO_SMALL;
            } else {
                std::memset(buffer, 0, needed);
                auto* info = (PWMIREGINFOW)buffer;
                info->BufferSize = needed;
                info->GuidCount = count;
                for (ULONG i = 0; i < count; ++i) {
                    WMIREGGUIDW& g = info->WmiRegGuid[i];
                    g.Guid = *WmiLibInfo->GuidList[i].Guid;
                    g.Flags = WmiLibInfo->GuidList[i].Flags | flags;
                    g.InstanceCount = WmiLibInfo->GuidList[i].InstanceCount;
                    if (flags & WMIREG_FLAG_INSTANCE_PDO) g.Pdo = (ULONG_PTR)pdo;
                }
                info->RegistryPath = head;
                std::memcpy(buffer + head, &pathLength, 2);
                if (pathLength) std::memcpy(buffer + head + 2, registryPath->Buffer, pathLength);
                info->MofResourceName = head + 2 + pathLength;
                std::memcpy(buffer + info->MofResourceName, &mofLength, 2);
                if (mofLength) std::memcpy(buffer + info->MofResourceName + 2, mofName.Buffer, mofLength);
                Irp->IoStatus.Information = needed;
            }
        }
        Irp->IoStatus.Status = status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    auto* guid = (const GUID*)stack->Parameters.WMI.DataPath;
    ULONG index = 0;
    while (index < WmiLibInfo->GuidCount && !(guid && IsEqualGUID(*WmiLibInfo->GuidList[index].Guid, *guid))) ++index;
    if (index == WmiLibInfo->GuidCount) return Finish(Irp, STATUS_WMI_GUID_NOT_FOUND);
    ULONG instances = WmiLibInfo->GuidList[index].InstanceCount;

    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
        if (!WmiLibInfo->QueryWmiDataBlock) return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST);
        ULONG offset = (ULONG)((FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                                instances * sizeof(OFFSETINSTANCEDATAANDLENGTH) + 7) & ~7u);
        WmiCall call;
        call.dataOffset = offset;
        call.instanceCount = instances;
        Remember(Irp, call);
        ULONG* lengths = LengthSlot(Irp, instances);
        ULONG avail = size > offset ? size - offset : 0;
        return CallDriver("WMI query callback", WmiLibInfo->QueryWmiDataBlock, DeviceObject, Irp, index, 0, instances, lengths, avail, buffer + offset);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        if (!WmiLibInfo->QueryWmiDataBlock) return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST);
        auto* wnode = (PWNODE_SINGLE_INSTANCE)buffer;
        if (wnode->InstanceIndex >= instances) return Finish(Irp, STATUS_WMI_INSTANCE_NOT_FOUND);
        WmiCall call;
        call.dataOffset = wnode->DataBlockOffset;
        call.instanceCount = 1;
        Remember(Irp, call);
        ULONG* lengths = LengthSlot(Irp, 1);
        ULONG avail = size > wnode->DataBlockOffset ? size - wnode->DataBlockOffset : 0;
        return CallDriver("WMI query callback", WmiLibInfo->QueryWmiDataBlock, DeviceObject, Irp, index, wnode->InstanceIndex, 1, lengths, avail,
                                             buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        auto* wnode = (PWNODE_SINGLE_INSTANCE)buffer;
        if (!WmiLibInfo->SetWmiDataBlock) return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST);
        if (wnode->InstanceIndex >= instances) return Finish(Irp, STATUS_WMI_INSTANCE_NOT_FOUND);
        return CallDriver("WMI set callback", WmiLibInfo->SetWmiDataBlock, DeviceObject, Irp, index, wnode->InstanceIndex, wnode->SizeDataBlock,
                                           buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        auto* wnode = (PWNODE_SINGLE_ITEM)buffer;
        if (!WmiLibInfo->SetWmiDataItem) return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST);
        if (wnode->InstanceIndex >= instances) return Finish(Irp, STATUS_WMI_INSTANCE_NOT_FOUND);
        return CallDriver("WMI set callback", WmiLibInfo->SetWmiDataItem, DeviceObject, Irp, index, wnode->InstanceIndex, wnode->ItemId,
                                          wnode->SizeDataItem, buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_EXECUTE_METHOD: {
        auto* wnode = (PWNODE_SINGLE_INSTANCE)buffer;
        if (!WmiLibInfo->ExecuteWmiMethod) return Finish(Irp, STATUS_INVALID_DEVICE_REQUEST);
        ULONG avail = size > wnode->DataBlockOffset ? size - wnode->DataBlockOffset : 0;
        return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, index, wnode->InstanceIndex, wnode->WnodeHeader.ClientContext,
                                            wnode->SizeDataBlock, avail, buffer + wnode->DataBlockOffset);
    }
    default: {
        if (!WmiLibInfo->WmiFunctionControl) return Finish(Irp, STATUS_SUCCESS);
        bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
        bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
        return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, index, events ? WmiEventControl : WmiDataBlockControl, enable);
    }
    }
}

NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT, PIRP Irp, NTSTATUS Status, ULONG BufferUsed, CCHAR PriorityBoost)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto* buffer = (PUCHAR)stack->Parameters.WMI.Buffer;
    ULONG size = stack->Parameters.WMI.BufferSize;
    WmiCall call = Take(Irp);
    ULONG_PTR information = 0;
    bool query = stack->MinorFunction == IRP_MN_QUERY_ALL_DATA || stack->MinorFunction == IRP_MN_QUERY_SINGLE_INSTANCE;
    if (query && Status == STATUS_BUFFER_TOO_SMALL) {
        // Too small: the caller learns the size it needs and retries.
        if (size >= sizeof(WNODE_TOO_SMALL)) {
            auto* small = (PWNODE_TOO_SMALL)buffer;
            small->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
            small->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
            small->SizeNeeded = call.dataOffset + BufferUsed;
            information = sizeof(WNODE_TOO_SMALL);
            Status = STATUS_SUCCESS;
        } else {
            Status = STATUS_BUFFER_TOO_SMALL;
        }
    } else if (query && NT_SUCCESS(Status)) {
        if (stack->MinorFunction == IRP_MN_QUERY_SINGLE_INSTANCE) {
            auto* wnode = (PWNODE_SINGLE_INSTANCE)buffer;
            wnode->SizeDataBlock = BufferUsed;
            wnode->WnodeHeader.BufferSize = call.dataOffset + BufferUsed;
            information = call.dataOffset + BufferUsed;
        } else {
            auto* wnode = (PWNODE_ALL_DATA)buffer;
            wnode->DataBlockOffset = call.dataOffset;
            wnode->InstanceCount = call.instanceCount;
            ULONG offset = call.dataOffset;
            for (ULONG i = 0; i < call.instanceCount; ++i) {
                wnode->OffsetInstanceDataAndLength[i].OffsetInstanceData = offset;
                wnode->OffsetInstanceDataAndLength[i].LengthInstanceData = call.lengths.empty() ? 0 : call.lengths[i];
                offset += (call.lengths.empty() ? 0 : call.lengths[i] + 7) & ~7u;
            }
            wnode->WnodeHeader.Flags |= WNODE_FLAG_ALL_DATA;
            wnode->WnodeHeader.BufferSize = call.dataOffset + BufferUsed;
            information = call.dataOffset + BufferUsed;
        }
    } else if (NT_SUCCESS(Status)) {
        information = BufferUsed;
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = NT_SUCCESS(Status) ? information : 0;
    IofCompleteRequest(Irp, PriorityBoost);
    return Status;
}
