// Port open and close. The open binds the port to the adapter: it opens the pipes,
// sizes the receive ring, fits its transfer sizes to the pipes' packet sizes, enables
// the adapter's port with DTR and RTS raised, and starts the receive pump and the
// status-line polling. The close undoes it in reverse. One open at a time.
#include "driver/driver.h"
#include "driver/pool_tags.h"
#include "lines/status_polling.h"
#include "lower/pipe.h"
#include "lower/port_command.h"
#include "port/port.h"
#include "rx/receive_pump.h"
#include "rx/ring_buffer.h"
#include "tx/write.h"

namespace {

constexpr ULONG OpenQueueSize = 4096;
constexpr ULONG UnknownPacketSize = 64;  // a pipe that reports 0

// PASSIVE_LEVEL. The maximum packet size of a pipe, 64 when it reports none.
ULONG MaxPacketOf(PDEVICE_OBJECT DeviceObject, PipeHandle* Pipe)
{
    ULONG size = 0;
    PipeGetMaxPacketSize(DeviceObject, Pipe, &size);
    return size ? size : UnknownPacketSize;
}

// PASSIVE_LEVEL. Undoes a failed open: the transfer buffer and the ring storage go,
// and every pipe the open may have opened is closed (a close of a pipe that is not
// open is harmless).
NTSTATUS UnwindOpen(PDEVICE_OBJECT DeviceObject, PortExtension* Port, NTSTATUS Status)
{
    if (Port->RxTransferBuffer) {
        ExFreePoolWithTag(Port->RxTransferBuffer, TAG_CREA);
        Port->RxTransferBuffer = nullptr;
    }
    // The ring's storage goes too: left behind, the next open would allocate over it.
    Port->RxAllowed = 0;
    RingFree(&Port->RxRing);
    PipeOpenClose(DeviceObject, &Port->DataOutPipe, FALSE);
    PipeOpenClose(DeviceObject, &Port->DataInPipe, FALSE);
    if (StatusPipeInUse(Port)) PipeOpenClose(DeviceObject, &Port->StatusPipe, FALSE);
    return Status;
}

// Any IRQL. A transfer size fitted to a maximum packet size: at least one packet,
// and a whole number of them. A size so large that rounding up would wrap past 32
// bits becomes the largest whole number of packets instead of a small one.
ULONG AlignToPacket(ULONG Size, ULONG MaxPacket)
{
    if (MaxPacket > Size) return MaxPacket;
    if (Size % MaxPacket == 0) return Size;
    if (Size > MAXULONG - (MaxPacket - 1)) return MaxPacket * (MAXULONG / MaxPacket);
    return MaxPacket * ((Size + MaxPacket - 1) / MaxPacket);
}

}  // namespace

NTSTATUS PortOpen(PDEVICE_OBJECT DeviceObject)
{
    PortExtension* port = PortOf(DeviceObject);
    NTSTATUS status = PipeOpenClose(DeviceObject, &port->DataOutPipe, TRUE);
    if (!NT_SUCCESS(status)) return UnwindOpen(DeviceObject, port, status);
    status = PipeOpenClose(DeviceObject, &port->DataInPipe, TRUE);
    if (!NT_SUCCESS(status)) return UnwindOpen(DeviceObject, port, status);
    if (StatusPipeInUse(port)) {
        status = PipeOpenClose(DeviceObject, &port->StatusPipe, TRUE);
        if (!NT_SUCCESS(status)) {
            // Polling is off for good; an adapter without a status pipe is no failure.
            port->CtlPollPeriod = -1;
            if (status != STATUS_INVALID_HANDLE) return UnwindOpen(DeviceObject, port, status);
        }
    }

    port->InSize = OpenQueueSize;
    port->OutSize = OpenQueueSize;
    status = RingAllocate(&port->RxRing, port->InSize);
    if (!NT_SUCCESS(status)) return UnwindOpen(DeviceObject, port, status);
    port->RxAllowed = 1;
    port->HandFlow.XonLimit = (LONG)(port->RxRing.Size / 2);
    port->HandFlow.XoffLimit = (LONG)(port->RxRing.Size / 8);

    // PendingWait is written under the cancel spin lock too, as everywhere else.
    KIRQL oldIrql, cancelIrql;
    KeAcquireSpinLock(&port->EventLock, &oldIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
    port->PendingEvents = 0;
    port->PendingWait = nullptr;
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&port->EventLock, oldIrql);
    InterlockedExchange((volatile LONG*)&port->ModemStatus, 0);

    VcomWriteFlag(&port->RxStopped, 1);
    KeInitializeEvent(&port->RxIdleEvent, NotificationEvent, FALSE);
    port->StatusStopped = 1;
    KeInitializeEvent(&port->StatusIdleEvent, NotificationEvent, FALSE);
    KeAcquireSpinLock(&port->CommStatusLock, &oldIrql);
    port->CommStatus.AmountInOutQueue = 0;
    port->CommStatus.AmountInInQueue = 0;
    KeReleaseSpinLock(&port->CommStatusLock, oldIrql);

    PipeReset(DeviceObject, &port->DataOutPipe);
    PipeReset(DeviceObject, &port->DataInPipe);
    // Only a status pipe that was opened: a reset on one that never was reaches the
    // pipe driver with a file object it does not know.
    if (StatusPipeInUse(port)) PipeReset(DeviceObject, &port->StatusPipe);

    port->MaxPacketOut = MaxPacketOf(DeviceObject, &port->DataOutPipe);
    port->TxKickThreshold = AlignToPacket(port->TxKickThreshold, port->MaxPacketOut);
    port->MaxPacketIn = MaxPacketOf(DeviceObject, &port->DataInPipe);
    port->RxReqSize = AlignToPacket(port->RxReqSize, port->MaxPacketIn);

    port->RxTransferBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, port->RxReqSize, TAG_CREA);
    if (!port->RxTransferBuffer) return UnwindOpen(DeviceObject, port, STATUS_INSUFFICIENT_RESOURCES);

    // The adapter's answers do not decide the open: a port that cannot be enabled
    // shows it in the data that never comes.
    SendPortCommand(port, CMD_PORT_ENABLE, 1);
    LockPortConfig(port);
    port->ModemControlByte = MCB_DTR | MCB_RTS;
    SendPortCommand(port, CMD_MODEM_CONTROL, port->ModemControlByte);
    UnlockPortConfig(port);

    RxPumpStart(port);
    ReadModemStatusOnce(port);
    StartStatusPolling(port);
    return STATUS_SUCCESS;
}

NTSTATUS StopPumps(PDEVICE_OBJECT DeviceObject)
{
    PortExtension* port = PortOf(DeviceObject);
    RxPumpStop(port);
    StopStatusPolling(port);
    return STATUS_SUCCESS;
}

NTSTATUS PortClose(PDEVICE_OBJECT DeviceObject)
{
    PortExtension* port = PortOf(DeviceObject);
    StopPumps(DeviceObject);
    RxPumpDiscard(port);  // bytes the pump still kept belong to this open only
    CancelReads(port);
    port->RxAllowed = 0;
    RingFree(&port->RxRing);
    SendPortCommand(port, CMD_PORT_ENABLE, 0);
    NTSTATUS status = PipeOpenClose(DeviceObject, &port->DataOutPipe, FALSE);
    status = PipeOpenClose(DeviceObject, &port->DataInPipe, FALSE);
    if (StatusPipeInUse(port)) status = PipeOpenClose(DeviceObject, &port->StatusPipe, FALSE);
    if (port->RxTransferBuffer) {
        ExFreePoolWithTag(port->RxTransferBuffer, TAG_CREA);
        port->RxTransferBuffer = nullptr;
    }
    return status;
}

// PASSIVE_LEVEL; takes OpenPowerLock for the open and the close sequences, so neither
// meets a power-down or a restart after D0 half done. OpenCount is interlocked, so of
// two racing opens exactly one runs the open sequence.
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    NTSTATUS status;
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE) {
        // The count is raised under the lock too: a restart after D0 that sees it
        // nonzero finds an open that has run to its end.
        AcquirePassiveLock(&port->OpenPowerLock);
        if (InterlockedIncrement(&port->OpenCount) > 1) {
            InterlockedDecrement(&port->OpenCount);
            status = STATUS_ACCESS_DENIED;
        } else {
            status = PortOpen(DeviceObject);
            if (!NT_SUCCESS(status)) {
                InterlockedDecrement(&port->OpenCount);
            } else {
                TxStart(port);  // not while powered down: the return to D0 starts it then
                IoAcquireRemoveLock(&port->PortRemoveLock, DeviceObject);
            }
        }
        ReleasePassiveLock(&port->OpenPowerLock);
    } else {
        AcquirePassiveLock(&port->OpenPowerLock);
        TxStop(port);
        status = PortClose(DeviceObject);
        InterlockedDecrement(&port->OpenCount);
        ReleasePassiveLock(&port->OpenPowerLock);
        IoReleaseRemoveLock(&port->PortRemoveLock, DeviceObject);
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
