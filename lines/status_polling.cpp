// Status-line polling. Until it is built, the status pipe is never read: starting
// and stopping change nothing, and its timer never fires.
#include "lines/status_polling.h"

// DISPATCH_LEVEL: the polling timer's DPC.
VOID NTAPI StatusPollDpc(PKDPC, PVOID, PVOID, PVOID) {}

NTSTATUS ReadModemStatusOnce(PortExtension*) { return STATUS_SUCCESS; }

NTSTATUS StartStatusPolling(PortExtension*) { return STATUS_SUCCESS; }

NTSTATUS StopStatusPolling(PortExtension*) { return STATUS_SUCCESS; }
