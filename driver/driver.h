// The driver frame: driver-wide state and every routine of the dispatch table.
#pragma once

#include "driver/port_extension.h"
#include "platform/kernel.h"

// Driver-wide state (one copy per loaded driver).
extern UNICODE_STRING DriverRegistryPath;  // driver entry; freed by unload; read by WMI
extern volatile ULONG DebugLevel;          // AddDevice (registry) and WMI; no lock

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;

// Dispatch routines, by major function.
DRIVER_DISPATCH DispatchPassDown;
DRIVER_DISPATCH DispatchReadWrite;
DRIVER_DISPATCH DispatchCreateClose;
DRIVER_DISPATCH DispatchFlush;
DRIVER_DISPATCH DispatchCleanup;
DRIVER_DISPATCH DispatchDeviceControl;
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchSystemControl;
DRIVER_DISPATCH DispatchPnpEntry;  // pageable stub in the table
DRIVER_DISPATCH DispatchPnp;       // resident

// DISPATCH_LEVEL or below: the completion routine of a request forwarded and waited
// for; sets the event in Context and keeps the request for the dispatcher that sent it.
IO_COMPLETION_ROUTINE SyncForwardCompletion;

// Completes a request with a status, no data and no priority boost; returns the status.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);
