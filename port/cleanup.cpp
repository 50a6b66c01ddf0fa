// Cleanup, flush and purge. Until they are built in full, cleanup ends the pending
// wait-on-mask request (it alone would keep the handle's file object, and with it the
// open port, alive after CloseHandle), flush is refused, and there is never a read to
// cancel.
#include "driver/driver.h"
#include "lines/wait_mask.h"
#include "port/port.h"

// PASSIVE_LEVEL; takes what CompletePendingWait takes.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CompletePendingWait(PortOf(DeviceObject));
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

// PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST); }

// Any IRQL up to DISPATCH_LEVEL. No read is ever queued yet.
VOID CancelReads(PortExtension*) {}
