// Status-line polling of the adapter's status pipe.
#pragma once

#include "driver/port_extension.h"

KDEFERRED_ROUTINE StatusPollDpc;

// PASSIVE_LEVEL. Reads the modem status byte once, at open.
NTSTATUS ReadModemStatusOnce(PortExtension* Port);
// PASSIVE_LEVEL. Clears StatusStopped and starts polling when it is enabled.
NTSTATUS StartStatusPolling(PortExtension* Port);
// PASSIVE_LEVEL. Stops polling and returns when no read of it is outstanding.
NTSTATUS StopStatusPolling(PortExtension* Port);
