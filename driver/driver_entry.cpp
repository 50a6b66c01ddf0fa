// Driver entry (placeholder until the driver frame lands).
#include "platform/kernel.h"

extern "C" NTSTATUS NTAPI DispatchPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver((PDEVICE_OBJECT)DeviceObject->DeviceExtension, Irp);
}

extern "C" VCOM_PAGED VOID NTAPI DriverUnload(PDRIVER_OBJECT)
{
    PAGED_CODE();
}

extern "C" VCOM_INIT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = DispatchPassDown;
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
