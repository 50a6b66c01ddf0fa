// The port's WMI provider. The data blocks are registered with the device; until the
// block routines are built, system-control requests go down to the pipe driver.
#include "wmi/wmi_provider.h"

#include "driver/driver.h"
#include "wmi/wmi_guids.h"

namespace {
WMIGUIDREGINFO WmiGuidList[WMI_GUID_COUNT] = {
    {&VcomWmiPortNameGuid, 1, 0}, {&VcomWmiCommGuid, 1, 0},       {&VcomWmiHwGuid, 1, 0},
    {&VcomWmiPerfGuid, 1, 0},     {&VcomWmiPropertiesGuid, 1, 0}, {&VcomWmiPrivateGuid, 1, 0},
};
}  // namespace

// PASSIVE_LEVEL, from AddDevice.
NTSTATUS WmiRegister(PortExtension* Port)
{
    Port->WmiLibInfo.GuidCount = WMI_GUID_COUNT;
    Port->WmiLibInfo.GuidList = WmiGuidList;
    Port->WmiLibInfo.QueryWmiRegInfo = nullptr;
    Port->WmiLibInfo.QueryWmiDataBlock = nullptr;
    Port->WmiLibInfo.SetWmiDataBlock = nullptr;
    Port->WmiLibInfo.SetWmiDataItem = nullptr;
    Port->WmiLibInfo.ExecuteWmiMethod = nullptr;
    Port->WmiLibInfo.WmiFunctionControl = nullptr;
    return IoWMIRegistrationControl(Port->PortDeviceObject, WMIREG_ACTION_REGISTER);
}

// PASSIVE_LEVEL, from removal before the request goes down.
VOID WmiDeregister(PortExtension* Port) { IoWMIRegistrationControl(Port->PortDeviceObject, WMIREG_ACTION_DEREGISTER); }

// PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (port->DeviceRemoved || port->SurpriseRemoved) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(port->LowerDevice, Irp);
}
