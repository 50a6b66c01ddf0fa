// The immediate character: one byte sent ahead of whatever waits in the write queue or
// in TxRing. The application's own request goes to the pipe driver as a one-byte pipe
// write, in either write mode; at most one is in flight per port.
#include "tx/immediate_char.h"

#include "driver/driver.h"
#include "lines/wait_mask.h"
#include "lower/pipe.h"
#include "tx/write.h"

// PASSIVE_LEVEL (control requests); takes CommStatusLock. It checks neither the removal
// flags nor TxStopped: the pipe driver's answer decides.
NTSTATUS NTAPI ImmediateCharRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    Irp->IoStatus.Information = 0;
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength < 1 ||
        !Irp->AssociatedIrp.SystemBuffer)
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    KIRQL irql;
    KeAcquireSpinLock(&port->CommStatusLock, &irql);
    BOOLEAN busy = port->CommStatus.WaitForImmediate != 0;
    if (!busy) port->CommStatus.WaitForImmediate = 1;
    KeReleaseSpinLock(&port->CommStatusLock, irql);
    if (busy) return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);  // one is still in flight

    IoMarkIrpPending(Irp);
    PipeSetWriteLocation(port, Irp, 1);
    AdjustOutQueue(port, 1);
    IoSetCompletionRoutine(Irp, ImmediateCharComplete, port, TRUE, TRUE, TRUE);
    IoCallDriver(port->LowerDevice, Irp);
    return STATUS_PENDING;
}

// <= DISPATCH_LEVEL, the pipe driver's completion; takes CommStatusLock, then EventLock
// through PostEvents. The request goes on up with the pipe driver's status and count.
NTSTATUS NTAPI ImmediateCharComplete(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* port = (PortExtension*)Context;
    KIRQL irql;
    KeAcquireSpinLock(&port->CommStatusLock, &irql);
    port->CommStatus.WaitForImmediate = 0;
    KeReleaseSpinLock(&port->CommStatusLock, irql);
    if (InterlockedDecrement((volatile LONG*)&port->CommStatus.AmountInOutQueue) == 0) {
        PostEvents(port->PortDeviceObject, SERIAL_EV_TXEMPTY);
        CheckWait(port->PortDeviceObject);
    }
    CountTransmitted(port, (ULONG)Irp->IoStatus.Information);
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    return Irp->IoStatus.Status;
}
