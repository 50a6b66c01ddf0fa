// Port open, close, cleanup and flush. Until the port's open sequence is built, an
// open and a close succeed without touching the adapter, and flush is refused.
#include "driver/driver.h"

// PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_SUCCESS); }

// PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_SUCCESS); }

// PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST); }
