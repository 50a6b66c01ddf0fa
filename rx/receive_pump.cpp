// The receive pump. Until it is built, its re-arm timer never fires.
#include "rx/receive_pump.h"

// DISPATCH_LEVEL: the re-arm timer's DPC.
VOID NTAPI RxPumpRetry(PKDPC, PVOID, PVOID, PVOID) {}
