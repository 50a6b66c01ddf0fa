// The receive pump: one read outstanding on the bulk IN pipe at a time, its data moved
// into RxRing under receive flow control.
#pragma once

#include "driver/port_extension.h"

// DISPATCH_LEVEL: RxPumpTimer's DPC (context: the port device object).
KDEFERRED_ROUTINE RxPumpRetry;
// <= DISPATCH_LEVEL: the completion routine of every pump read (context: the port).
IO_COMPLETION_ROUTINE RxPumpComplete;

// PASSIVE_LEVEL or DISPATCH_LEVEL; never waits. Starts the pump unless it runs
// already or a stop is under way.
NTSTATUS RxPumpStart(PortExtension* Port);
// PASSIVE_LEVEL. Stops the pump and returns when no read of it is outstanding and its
// timer is not armed. Bytes received but not yet in RxRing are kept for the restart.
NTSTATUS RxPumpStop(PortExtension* Port);
// <= DISPATCH_LEVEL. One step of the chain: the next read on the bulk IN pipe.
NTSTATUS RxPumpIssue(PortExtension* Port);
// <= DISPATCH_LEVEL, pump stopped. Drops the received bytes kept for a restart (close,
// purge of the receive side).
VOID RxPumpDiscard(PortExtension* Port);
// <= DISPATCH_LEVEL; no lock. The read side has let bytes in again: a chain that
// waits on its timer goes on at once rather than at its next look.
VOID RxPumpResume(PortExtension* Port);
// <= DISPATCH_LEVEL; takes RxRing.Lock. Empties RxRing (a purge of the receive
// side); the room it makes lets the pump fill it again.
VOID RxRingClear(PortExtension* Port);
