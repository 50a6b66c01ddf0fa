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
// <= DISPATCH_LEVEL. The same with Information and a priority boost of the caller's.
NTSTATUS CompleteRequestWith(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost);
// PASSIVE_LEVEL; waits. Hands a request down with a copy of the current stack location
// (through PoCallDriver for a power request) and waits for it to come back; returns
// its status. The caller completes it.
NTSTATUS ForwardAndWait(PortExtension* Port, PIRP Irp, BOOLEAN Power);
// PASSIVE_LEVEL; waits. A passive-level lock made of a synchronization event
// (signalled = free), held in a critical region so that a suspended holder cannot
// stall the others.
VOID AcquirePassiveLock(PKEVENT Lock);
VOID ReleasePassiveLock(PKEVENT Lock);
