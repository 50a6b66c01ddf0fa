// Wait-on-mask events: the event accumulator that the receive pump, the transmit
// paths and the status-line polling post into, the wait mask, and the one pending
// IOCTL_SERIAL_WAIT_ON_MASK request.
#pragma once

#include "driver/port_extension.h"

// <= DISPATCH_LEVEL; takes EventLock. ORs the bits into PendingEvents; completes nothing.
NTSTATUS PostEvents(PDEVICE_OBJECT DeviceObject, ULONG Events);
// <= DISPATCH_LEVEL; takes EventLock, then the cancel spin lock. Completes the pending
// wait when the mask and the accumulated events meet (outside both locks).
NTSTATUS CheckWait(PDEVICE_OBJECT DeviceObject);
// <= DISPATCH_LEVEL; takes EventLock, then the cancel spin lock. Completes the pending
// wait, if any, with an empty mask and no bytes (cleanup, removal).
VOID CompletePendingWait(PortExtension* Port);

// PASSIVE_LEVEL (control requests). IOCTL_SERIAL_SET_WAIT_MASK (EventLock, then the
// cancel spin lock) and GET_WAIT_MASK (EventLock).
DRIVER_DISPATCH WaitMaskRequest;
// PASSIVE_LEVEL (control requests); takes EventLock, then the cancel spin lock.
// IOCTL_SERIAL_WAIT_ON_MASK.
DRIVER_DISPATCH WaitOnMaskRequest;
// DISPATCH_LEVEL, cancel spin lock held on entry; never takes EventLock.
DRIVER_CANCEL WaitCancelRoutine;
