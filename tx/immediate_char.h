// The immediate character: IOCTL_SERIAL_IMMEDIATE_CHAR.
#pragma once

#include "driver/port_extension.h"

// PASSIVE_LEVEL (control requests); takes CommStatusLock.
DRIVER_DISPATCH ImmediateCharRequest;
// <= DISPATCH_LEVEL: the completion routine of the handed-down request (context: the port).
IO_COMPLETION_ROUTINE ImmediateCharComplete;
