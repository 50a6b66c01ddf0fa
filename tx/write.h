// The two write paths: direct (each write handed to the bulk OUT pipe) and buffered
// (writes copied into TxRing and sent by a transfer engine). TxAsync, fixed per
// device, chooses one.
#pragma once

#include "driver/port_extension.h"

DRIVER_DISPATCH DirectWrite;
DRIVER_DISPATCH BufferedWrite;
VOID DirectWriteInit(PortExtension* Port);
VOID BufferedWriteInit(PortExtension* Port);
KDEFERRED_ROUTINE DirectWriteTimeout;
KDEFERRED_ROUTINE BufferedWriteTimeout;
KDEFERRED_ROUTINE TxKickRetry;

// PASSIVE_LEVEL. Writes may reach DataOutPipe again.
VOID TxStart(PortExtension* Port);
// PASSIVE_LEVEL. Stops the transmitter and returns when nothing of it is outstanding.
VOID TxStop(PortExtension* Port);
