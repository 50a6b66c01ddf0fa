// The receive pump. Until it is built, nothing is ever read from the bulk IN pipe:
// starting and stopping it change nothing, and its re-arm timer never fires.
#include "rx/receive_pump.h"

// DISPATCH_LEVEL: the re-arm timer's DPC.
VOID NTAPI RxPumpRetry(PKDPC, PVOID, PVOID, PVOID) {}

NTSTATUS RxPumpStart(PortExtension*) { return STATUS_SUCCESS; }

NTSTATUS RxPumpStop(PortExtension*) { return STATUS_SUCCESS; }
