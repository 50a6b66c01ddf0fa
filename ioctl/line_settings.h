// Line settings and the configuration protocols that carry them to the adapter.
#pragma once

#include "driver/port_extension.h"

// PASSIVE_LEVEL (control requests); take ConfigLock and send the adapter's commands.
// Each tells SET from GET by the SET code; any other code routed to it is the GET.
DRIVER_DISPATCH BaudRateRequest;     // IOCTL_SERIAL_SET_BAUD_RATE, GET_BAUD_RATE
DRIVER_DISPATCH LineControlRequest;  // IOCTL_SERIAL_SET_LINE_CONTROL, GET_LINE_CONTROL
DRIVER_DISPATCH HandFlowRequest;     // IOCTL_SERIAL_SET_HANDFLOW, GET_HANDFLOW
DRIVER_DISPATCH CharsRequest;        // IOCTL_SERIAL_SET_CHARS, GET_CHARS

// PASSIVE_LEVEL; the caller holds ConfigLock. Hands the whole stored configuration to
// the adapter with the protocol EndPointCaps selects; returns that protocol's status.
NTSTATUS ApplyLineSettings(PDEVICE_OBJECT DeviceObject);
