// Cleanup, flush and purge. Until cleanup is built in full it ends the pending reads,
// the writes and the pending wait-on-mask request (any of them would keep the handle's
// file object, and with it the open port, alive after CloseHandle), and flush is
// refused. CancelReads lives with the read queue it empties (rx/read.cpp).
#include "driver/driver.h"
#include "lines/wait_mask.h"
#include "port/port.h"
#include "rx/receive_pump.h"
#include "rx/ring_buffer.h"
#include "tx/write.h"

// PASSIVE_LEVEL; waits for the transmitter. The transmitter stays stopped: only the
// close follows.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    CancelReads(port);
    TxStop(port);
    CancelAllWrites(port);
    RingReset(&port->TxRing);
    CompletePendingWait(port);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

// PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchFlush(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST); }

// PASSIVE_LEVEL (control requests); waits for the transmitter when SERIAL_PURGE_TXABORT
// is asked. The actions run in a fixed order, each only when its flag is set; other
// bits are ignored. Flags shorter than 4 bytes are refused rather than read past.
NTSTATUS NTAPI PurgeRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG) ||
        !Irp->AssociatedIrp.SystemBuffer)
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    ULONG flags = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    if (flags & SERIAL_PURGE_RXABORT) CancelReads(port);
    if (flags & SERIAL_PURGE_RXCLEAR) RxRingClear(port);
    if (flags & SERIAL_PURGE_TXABORT) {
        TxStop(port);
        CancelAllWrites(port);
        TxStart(port);
    }
    if (flags & SERIAL_PURGE_TXCLEAR) RingReset(&port->TxRing);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = sizeof(ULONG);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
