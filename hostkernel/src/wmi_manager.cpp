// The WMI manager: registration information, queries and changes of data blocks,
// sent to a provider as WMI sends them.
#include <algorithm>
#include "hostkernel/frontend.h"
#include "internal.h"

namespace hk {
using namespace detail;

// ---- WMI ----------------------------------------------------------------------------------

namespace {
constexpr ULONG kWnodeData = (ULONG)((offsetof(WNODE_SINGLE_ITEM, VariableData) + 2 + 7) & ~(size_t)7);

WmiResult SendWmi(PDEVICE_OBJECT provider, ULONG_PTR providerId, UCHAR minor, const GUID& guid, std::vector<UCHAR>& buffer)
{
    WmiResult r;
    Result res = SendRequest(IoGetAttachedDeviceReference(provider), [&](PIO_STACK_LOCATION s) {
        s->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        s->MinorFunction = minor;
        s->Parameters.WMI.ProviderId = providerId;
        s->Parameters.WMI.DataPath = (PVOID)&guid;
        s->Parameters.WMI.BufferSize = (ULONG)buffer.size();
        s->Parameters.WMI.Buffer = buffer.data();
    });
    r.status = res.status;
    r.information = res.information;
    return r;
}

std::vector<UCHAR> SingleInstanceBuffer(const GUID& guid, ULONG dataSize, ULONG instance)
{
    std::vector<UCHAR> buffer(kWnodeData + dataSize, 0);
    auto* w = (PWNODE_SINGLE_INSTANCE)buffer.data();
    w->WnodeHeader.BufferSize = (ULONG)buffer.size();
    w->WnodeHeader.Guid = guid;
    w->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    w->OffsetInstanceName = (ULONG)offsetof(WNODE_SINGLE_INSTANCE, VariableData);
    w->InstanceIndex = instance;
    w->DataBlockOffset = kWnodeData;
    w->SizeDataBlock = dataSize;
    return buffer;
}
}  // namespace

WmiResult WmiQuerySingleInstance(PDEVICE_OBJECT provider, const GUID& guid, ULONG dataBufferSize, ULONG instance)
{
    std::vector<UCHAR> buffer = SingleInstanceBuffer(guid, dataBufferSize, instance);
    WmiResult r = SendWmi(provider, (ULONG_PTR)provider, IRP_MN_QUERY_SINGLE_INSTANCE, guid, buffer);
    auto* w = (PWNODE_SINGLE_INSTANCE)buffer.data();
    if (NT_SUCCESS(r.status) && (w->WnodeHeader.Flags & WNODE_FLAG_TOO_SMALL)) {
        r.tooSmall = true;
        r.sizeNeeded = ((PWNODE_TOO_SMALL)buffer.data())->SizeNeeded - kWnodeData;
    } else if (NT_SUCCESS(r.status)) {
        ULONG n = std::min<ULONG>(w->SizeDataBlock, dataBufferSize);
        r.data.assign(buffer.begin() + kWnodeData, buffer.begin() + kWnodeData + n);
    }
    return r;
}

WmiResult WmiQueryAllData(PDEVICE_OBJECT provider, const GUID& guid, ULONG bufferSize)
{
    std::vector<UCHAR> buffer(bufferSize, 0);
    auto* w = (PWNODE_ALL_DATA)buffer.data();
    if (bufferSize >= sizeof(WNODE_HEADER)) {
        w->WnodeHeader.BufferSize = bufferSize;
        w->WnodeHeader.Guid = guid;
        w->WnodeHeader.Flags = WNODE_FLAG_ALL_DATA;
    }
    WmiResult r = SendWmi(provider, (ULONG_PTR)provider, IRP_MN_QUERY_ALL_DATA, guid, buffer);
    if (!NT_SUCCESS(r.status) || bufferSize < sizeof(WNODE_TOO_SMALL)) return r;
    if (w->WnodeHeader.Flags & WNODE_FLAG_TOO_SMALL) {
        r.tooSmall = true;
        r.sizeNeeded = ((PWNODE_TOO_SMALL)buffer.data())->SizeNeeded;
        return r;
    }
    if (buffer.size() < sizeof(WNODE_ALL_DATA)) return r;  // no room for an answer with data
    size_t answered = std::min<size_t>(r.information, buffer.size());
    r.wnode.assign(buffer.begin(), buffer.begin() + answered);
    const ULONG arrayAt = (ULONG)FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength);
    bool fixed = w->WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE;
    for (ULONG i = 0; i < w->InstanceCount; ++i) {
        size_t offset, length;
        if (fixed) {
            offset = w->DataBlockOffset + (size_t)i * ((w->FixedInstanceSize + 7) & ~(size_t)7);
            length = w->FixedInstanceSize;
        } else if (arrayAt + (i + 1) * sizeof(OFFSETINSTANCEDATAANDLENGTH) <= answered) {
            offset = w->OffsetInstanceDataAndLength[i].OffsetInstanceData;
            length = w->OffsetInstanceDataAndLength[i].LengthInstanceData;
        } else {
            offset = length = answered + 1;  // the array itself runs past the answer
        }
        if (offset > answered || length > answered - offset) {
            Report("wmi-layout", "instance " + std::to_string(i) + " of a WNODE_ALL_DATA lies outside the " +
                                     std::to_string(answered) + " bytes answered");
            break;
        }
        r.instances.emplace_back(buffer.begin() + offset, buffer.begin() + offset + length);
    }
    if (!r.instances.empty()) r.data = r.instances[0];
    return r;
}

WmiResult WmiSetSingleInstance(PDEVICE_OBJECT provider, const GUID& guid, const std::vector<UCHAR>& data, ULONG instance)
{
    std::vector<UCHAR> buffer = SingleInstanceBuffer(guid, (ULONG)data.size(), instance);
    std::copy(data.begin(), data.end(), buffer.begin() + kWnodeData);
    return SendWmi(provider, (ULONG_PTR)provider, IRP_MN_CHANGE_SINGLE_INSTANCE, guid, buffer);
}

WmiResult WmiSetSingleItem(PDEVICE_OBJECT provider, const GUID& guid, ULONG itemId, const std::vector<UCHAR>& data,
                           ULONG instance)
{
    std::vector<UCHAR> buffer(kWnodeData + data.size(), 0);
    auto* w = (PWNODE_SINGLE_ITEM)buffer.data();
    w->WnodeHeader.BufferSize = (ULONG)buffer.size();
    w->WnodeHeader.Guid = guid;
    w->WnodeHeader.Flags = WNODE_FLAG_SINGLE_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES;
    w->OffsetInstanceName = (ULONG)offsetof(WNODE_SINGLE_ITEM, VariableData);
    w->InstanceIndex = instance;
    w->ItemId = itemId;
    w->DataBlockOffset = kWnodeData;
    w->SizeDataItem = (ULONG)data.size();
    std::copy(data.begin(), data.end(), buffer.begin() + kWnodeData);
    return SendWmi(provider, (ULONG_PTR)provider, IRP_MN_CHANGE_SINGLE_ITEM, guid, buffer);
}

WmiResult WmiRegInfo(PDEVICE_OBJECT provider)
{
    std::vector<UCHAR> buffer(4096, 0);
    static const GUID none{};
    WmiResult r = SendWmi(provider, (ULONG_PTR)provider, IRP_MN_REGINFO, none, buffer);
    if (NT_SUCCESS(r.status)) r.data.assign(buffer.begin(), buffer.begin() + std::min<size_t>(r.information, buffer.size()));
    return r;
}

WmiResult WmiSendForeign(PDEVICE_OBJECT stackTop, ULONG_PTR providerId, const GUID& guid)
{
    std::vector<UCHAR> buffer = SingleInstanceBuffer(guid, 16, 0);
    return SendWmi(stackTop, providerId, IRP_MN_QUERY_SINGLE_INSTANCE, guid, buffer);
}

}  // namespace hk
