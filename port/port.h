// The port's life between an application's open and its close.
#pragma once

#include "driver/port_extension.h"

// PASSIVE_LEVEL. The open sequence; on failure everything it did is undone.
NTSTATUS PortOpen(PDEVICE_OBJECT DeviceObject);
// PASSIVE_LEVEL. The close sequence; returns the status of the last pipe close.
NTSTATUS PortClose(PDEVICE_OBJECT DeviceObject);
// PASSIVE_LEVEL. Stops the receive pump, then the status-line polling.
NTSTATUS StopPumps(PDEVICE_OBJECT DeviceObject);
// PASSIVE_LEVEL or DISPATCH_LEVEL. Completes the current read and every queued read
// with STATUS_CANCELLED.
VOID CancelReads(PortExtension* Port);
// PASSIVE_LEVEL (control requests). IOCTL_SERIAL_PURGE.
DRIVER_DISPATCH PurgeRequest;
