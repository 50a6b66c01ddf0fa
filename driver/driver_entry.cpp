// The driver's load-time frame: the entry point, the unload routine, and the two
// dispatch routines that belong to no other area.
#include "driver/driver.h"

#include "driver/pool_tags.h"
#include "rx/read.h"
#include "tx/write.h"

UNICODE_STRING DriverRegistryPath;
volatile ULONG DebugLevel;

// PASSIVE_LEVEL, once, from the I/O manager. Keeps a copy of the registry path that
// always ends in a wide NUL and fills the dispatch table.
extern "C" VCOM_INIT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    DebugLevel = 0;  // as a freshly loaded image has it, also when the host loads the driver again
    DriverRegistryPath.Length = RegistryPath->Length;
    DriverRegistryPath.MaximumLength = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    DriverRegistryPath.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, DriverRegistryPath.MaximumLength, TAG_FILT);
    if (!DriverRegistryPath.Buffer) {
        DriverRegistryPath.Length = 0;
        DriverRegistryPath.MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(DriverRegistryPath.Buffer, DriverRegistryPath.MaximumLength);
    RtlCopyMemory(DriverRegistryPath.Buffer, RegistryPath->Buffer, RegistryPath->Length);

    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = DispatchPassDown;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnpEntry;
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, after every port device is gone. Per-device resources were released
// by removal; only the registry path copy remains.
VCOM_PAGED VOID NTAPI DriverUnload(PDRIVER_OBJECT)
{
    PAGED_CODE();
    if (DriverRegistryPath.Buffer) {
        ExFreePoolWithTag(DriverRegistryPath.Buffer, TAG_FILT);
        DriverRegistryPath.Buffer = nullptr;
    }
}

// Any IRQL the caller has; no lock. Hands the request to the pipe driver unchanged.
NTSTATUS NTAPI DispatchPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(PortOf(DeviceObject)->LowerDevice, Irp);
}

// <= DISPATCH_LEVEL; no lock (the removal flags only go from 0 to 1, TxAsync is fixed
// for the device's life). The routine the request goes to owns it from then on.
NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (PortRemoved(port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ) return ReadDispatch(DeviceObject, Irp);
    return port->TxAsync ? BufferedWrite(DeviceObject, Irp) : DirectWrite(DeviceObject, Irp);
}

// <= DISPATCH_LEVEL.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) { return CompleteRequestWith(Irp, Status, 0, IO_NO_INCREMENT); }

NTSTATUS CompleteRequestWith(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, Boost);
    return Status;
}

VOID AcquirePassiveLock(PKEVENT Lock)
{
    KeEnterCriticalRegion();
    KeWaitForSingleObject(Lock, Executive, KernelMode, FALSE, nullptr);
}

VOID ReleasePassiveLock(PKEVENT Lock)
{
    KeSetEvent(Lock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}
