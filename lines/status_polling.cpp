// Status-line polling. Until it is built, its timer never fires.
#include "lines/status_polling.h"

// DISPATCH_LEVEL: the polling timer's DPC.
VOID NTAPI StatusPollDpc(PKDPC, PVOID, PVOID, PVOID) {}
