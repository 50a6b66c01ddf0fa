// Application reads. Until the read path is built, reads are refused and there is no
// current read to serve.
#include "rx/read.h"

#include "driver/driver.h"

// <= DISPATCH_LEVEL.
NTSTATUS NTAPI ReadDispatch(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST); }

// DISPATCH_LEVEL: the read timers' DPCs. No read is ever current yet.
VOID NTAPI ReadTotalTimeoutDpc(PKDPC, PVOID, PVOID, PVOID) {}
VOID NTAPI ReadIntervalTimeoutDpc(PKDPC, PVOID, PVOID, PVOID) {}

VOID ReadService(PortExtension*) {}
