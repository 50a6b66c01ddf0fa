// Application reads.
#pragma once

#include "driver/port_extension.h"

DRIVER_DISPATCH ReadDispatch;
KDEFERRED_ROUTINE ReadTotalTimeoutDpc;
KDEFERRED_ROUTINE ReadIntervalTimeoutDpc;
// DISPATCH_LEVEL, cancel spin lock held on entry.
DRIVER_CANCEL ReadCancel;
// PASSIVE_LEVEL (control requests). IOCTL_SERIAL_SET_TIMEOUTS and GET_TIMEOUTS.
DRIVER_DISPATCH TimeoutsRequest;
// PASSIVE_LEVEL (control requests). IOCTL_SERIAL_SET_QUEUE_SIZE.
DRIVER_DISPATCH QueueSizeRequest;

// <= DISPATCH_LEVEL; takes the cancel spin lock. Moves bytes from RxRing into the
// current read and completes it when it is done (outside the lock).
VOID ReadService(PortExtension* Port);
