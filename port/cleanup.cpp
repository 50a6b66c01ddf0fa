// Cleanup, flush and purge. Until they are built in full, cleanup ends the pending
// reads and the pending wait-on-mask request (any of them would keep the handle's
// file object, and with it the open port, alive after CloseHandle) and flush is
// refused. CancelReads lives with the read queue it empties (rx/read.cpp).
#include "driver/driver.h"
#include "lines/wait_mask.h"
#include "port/port.h"

// PASSIVE_LEVEL; takes what CompletePendingWait takes.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CancelReads(PortOf(DeviceObject));
    CompletePendingWait(PortOf(DeviceObject));
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

// PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST); }
