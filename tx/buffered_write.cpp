// The buffered write path. Until it is built, writes are refused.
#include "driver/driver.h"
#include "tx/write.h"

// <= DISPATCH_LEVEL.
NTSTATUS NTAPI BufferedWrite(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST); }

// PASSIVE_LEVEL, from AddDevice: the write path's timer, queue and lock.
VOID BufferedWriteInit(PortExtension* Port)
{
    KeInitializeTimer(&Port->WriteTimer);
    KeInitializeDpc(&Port->WriteTimerDpc, BufferedWriteTimeout, Port);
    KeInitializeSpinLock(&Port->WriteQueueLock);
    InitializeListHead(&Port->WriteQueue);
    Port->CurrentWrite = nullptr;
    Port->CurrentWriteState = 0;
    Port->TxBusy = 0;
}

// DISPATCH_LEVEL: the write timer's and the kick timer's DPCs. Nothing to send yet.
VOID NTAPI BufferedWriteTimeout(PKDPC, PVOID, PVOID, PVOID) {}
VOID NTAPI TxKickRetry(PKDPC, PVOID, PVOID, PVOID) {}
