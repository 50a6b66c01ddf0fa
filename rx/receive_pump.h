// The receive pump: one read outstanding on the bulk IN pipe at a time.
#pragma once

#include "driver/port_extension.h"

KDEFERRED_ROUTINE RxPumpRetry;

// PASSIVE_LEVEL or DISPATCH_LEVEL. Starts the pump unless it runs already.
NTSTATUS RxPumpStart(PortExtension* Port);
// PASSIVE_LEVEL. Stops the pump and returns when no read of it is outstanding.
NTSTATUS RxPumpStop(PortExtension* Port);
