// Power. The driver is not the power policy owner; until the port's own power
// handling is built, every power request goes down untouched.
#include "driver/driver.h"

// PASSIVE_LEVEL (the device is power-pageable like the pipe driver's); no lock.
VCOM_PAGED NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(PortOf(DeviceObject)->LowerDevice, Irp);
}
