// The direct write path. Until it is built, writes are refused.
#include "driver/driver.h"
#include "tx/write.h"

// <= DISPATCH_LEVEL.
NTSTATUS NTAPI DirectWrite(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST); }

// PASSIVE_LEVEL, from AddDevice: the write path's timer, queue and lock.
VOID DirectWriteInit(PortExtension* Port)
{
    KeInitializeTimer(&Port->WriteTimer);
    KeInitializeDpc(&Port->WriteTimerDpc, DirectWriteTimeout, Port);
    KeInitializeSpinLock(&Port->WriteQueueLock);
    InitializeListHead(&Port->WriteQueue);
    Port->CurrentWrite = nullptr;
    Port->CurrentWriteState = 0;
    Port->WriteCancelGuard = 0;
    Port->TotalWritten = 0;
}

// DISPATCH_LEVEL: the write timer's DPC. No write is ever current yet.
VOID NTAPI DirectWriteTimeout(PKDPC, PVOID, PVOID, PVOID) {}

// PASSIVE_LEVEL; no lock. Until writes are built nothing is ever sent, so starting
// and stopping only move the flag.
VOID TxStart(PortExtension* Port) { Port->TxStopped = 0; }

VOID TxStop(PortExtension* Port) { Port->TxStopped = 1; }
