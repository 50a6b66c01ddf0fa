// Cleanup, flush and purge. Until they are built, cleanup succeeds without touching
// the port, flush is refused, and there is never a read to cancel.
#include "driver/driver.h"
#include "port/port.h"

// PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_SUCCESS); }

// PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST); }

// Any IRQL up to DISPATCH_LEVEL. No read is ever queued yet.
VOID CancelReads(PortExtension*) {}
