// Requests to the pipe driver: open and close with the port's own file objects,
// abort, reset, maximum packet size, control transfers and asynchronous reads.
#include "lower/pipe.h"

#include "driver/pool_tags.h"

namespace {

// Memory that cannot be had now is usually there a moment later, and many of the
// requests below have nobody to report a failure to: the reset that follows an abort,
// a pipe's close, the adapter's configuration after a power-up. So each request made
// at PASSIVE_LEVEL is built up to AllocationTries times, 10 ms apart, before
// STATUS_INSUFFICIENT_RESOURCES is returned.
constexpr int AllocationTries = 10;

// PASSIVE_LEVEL; waits. After a failed try: whether to try again (after a pause).
BOOLEAN TryAgainLater(int* Tries)
{
    if (++*Tries >= AllocationTries) return FALSE;
    LARGE_INTEGER pause;
    pause.QuadPart = -10 * 10000;  // 10 ms
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    return TRUE;
}

// PASSIVE_LEVEL. One private control request on a pipe, waited for.
NTSTATUS PipeIoctl(PDEVICE_OBJECT PortDevice, PipeHandle* Pipe, ULONG Code, PVOID Output, ULONG OutputLength)
{
    PDEVICE_OBJECT lower = PortOf(PortDevice)->LowerDevice;
    if (!lower) return STATUS_DELETE_PENDING;
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp;
    int tries = 0;
    while (!(irp = IoBuildDeviceIoControlRequest(Code, lower, nullptr, 0, Output, OutputLength, FALSE, &event, &iosb)) &&
           TryAgainLater(&tries)) {
    }
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = &Pipe->File;
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

}  // namespace

// PASSIVE_LEVEL. Opens (IRP_MJ_CREATE) or closes (IRP_MJ_CLOSE) the pipe named by the
// handle's file object, with a request of the driver's own that it frees after the wait.
NTSTATUS PipeOpenClose(PDEVICE_OBJECT PortDevice, PipeHandle* Pipe, BOOLEAN Open)
{
    PDEVICE_OBJECT lower = PortOf(PortDevice)->LowerDevice;
    if (!lower) return STATUS_DELETE_PENDING;
    PIRP irp;
    int tries = 0;
    while (!(irp = IoAllocateIrp(PortDevice->StackSize, FALSE)) && TryAgainLater(&tries)) {
    }
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoInitializeIrp(irp, IoSizeOfIrp(PortDevice->StackSize), PortDevice->StackSize);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Open ? IRP_MJ_CREATE : IRP_MJ_CLOSE;
    next->FileObject = &Pipe->File;
    IoSetCompletionRoutine(irp, PipeSyncCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    return status;
}

// <= DISPATCH_LEVEL. Hands the request back to the thread waiting in PipeOpenClose.
// The request is the driver's own and has no stack location above this routine, so
// there is no pending flag to carry up (marking one would write past the request).
NTSTATUS NTAPI PipeSyncCompletion(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent((PKEVENT)Context, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// PASSIVE_LEVEL. Makes every outstanding request on the pipe complete.
NTSTATUS PipeAbort(PDEVICE_OBJECT PortDevice, PipeHandle* Pipe)
{
    return PipeIoctl(PortDevice, Pipe, IOCTL_PIPE_ABORT, nullptr, 0);
}

// PASSIVE_LEVEL. Makes the pipe take requests again after an abort or an error.
NTSTATUS PipeReset(PDEVICE_OBJECT PortDevice, PipeHandle* Pipe)
{
    return PipeIoctl(PortDevice, Pipe, IOCTL_PIPE_RESET, nullptr, 0);
}

NTSTATUS PipeWaitIdleAborting(PDEVICE_OBJECT PortDevice, PipeHandle* Pipe, PKEVENT Idle)
{
    LARGE_INTEGER patience;
    patience.QuadPart = -10 * 10000;  // 10 ms
    NTSTATUS status;
    while ((status = KeWaitForSingleObject(Idle, Executive, KernelMode, FALSE, &patience)) == STATUS_TIMEOUT)
        PipeAbort(PortDevice, Pipe);
    return status;
}

// PASSIVE_LEVEL. Reads the pipe's maximum packet size; *MaxPacketSize is written only
// when the pipe driver answers with success.
NTSTATUS PipeGetMaxPacketSize(PDEVICE_OBJECT PortDevice, PipeHandle* Pipe, PULONG MaxPacketSize)
{
    PortExtension* port = PortOf(PortDevice);
    if (PortRemoved(port)) return STATUS_DELETE_PENDING;
    if (!MaxPacketSize) return STATUS_INVALID_PARAMETER;
    return PipeIoctl(PortDevice, Pipe, IOCTL_PIPE_GET_MAX_PACKET_SIZE, MaxPacketSize, sizeof(ULONG));
}

// PASSIVE_LEVEL. A class or vendor request on the default control pipe. The setup
// packet (and the data of an OUT transfer) travel in a buffer of the driver's own;
// the data of an IN transfer comes back into Data.
NTSTATUS PipeControlTransfer(PDEVICE_OBJECT Target, UCHAR RequestType, UCHAR Request, USHORT Value, USHORT Index,
                             USHORT Length, PVOID Data)
{
    if (!Target) return STATUS_DELETE_PENDING;
    UCHAR type = RequestType & USB_TYPE_MASK;
    if (type != USB_TYPE_CLASS && type != USB_TYPE_VENDOR) return STATUS_INVALID_PARAMETER;
    if ((RequestType & USB_RECIPIENT_MASK) >= 4) return STATUS_INVALID_PARAMETER;
    if (Length && !Data) return STATUS_INVALID_PARAMETER;

    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    bool in = (RequestType & USB_DIR_IN) != 0;
    ULONG size = (Length == 0 || in) ? SETUP_PACKET_SIZE : SETUP_PACKET_SIZE + Length;
    PUCHAR buffer;
    int tries = 0;
    while (!(buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, size, TAG_FILT)) && TryAgainLater(&tries)) {
    }
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    buffer[0] = RequestType;
    buffer[1] = Request;
    buffer[2] = (UCHAR)Value;
    buffer[3] = (UCHAR)(Value >> 8);
    buffer[4] = (UCHAR)Index;
    buffer[5] = (UCHAR)(Index >> 8);
    buffer[6] = (UCHAR)Length;
    buffer[7] = (UCHAR)(Length >> 8);
    PVOID output = nullptr;
    ULONG outputLength = 0;
    if (Length && !in) RtlCopyMemory(buffer + SETUP_PACKET_SIZE, Data, Length);
    if (Length && in) {
        output = Data;
        outputLength = Length;
    }

    NTSTATUS status;
    PIRP irp;
    tries = 0;
    while (!(irp = IoBuildDeviceIoControlRequest(IOCTL_PIPE_CONTROL_TRANSFER, Target, buffer, size, output, outputLength,
                                                 FALSE, &event, &iosb)) &&
           TryAgainLater(&tries)) {
    }
    if (!irp) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        status = IoCallDriver(Target, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
    }
    ExFreePoolWithTag(buffer, TAG_FILT);
    return status;
}

// PASSIVE_LEVEL.
NTSTATUS PipeReadSync(PortExtension* Port, PipeHandle* Pipe, PVOID Buffer, ULONG Length, PULONG Transferred)
{
    *Transferred = 0;
    if (!Port->LowerDevice) return STATUS_DELETE_PENDING;
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    PIRP irp;
    int tries = 0;
    while (!(irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, Port->LowerDevice, Buffer, Length, &offset, &event, &iosb)) &&
           TryAgainLater(&tries)) {
    }
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = &Pipe->File;
    NTSTATUS status = IoCallDriver(Port->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (NT_SUCCESS(status)) *Transferred = (ULONG)iosb.Information;
    return status;
}

// <= DISPATCH_LEVEL; no lock.
VOID PipeSetWriteLocation(PortExtension* Port, PIRP Irp, ULONG Length)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_WRITE;
    next->Parameters.DeviceIoControl.InputBufferLength = Length;
    next->Parameters.DeviceIoControl.OutputBufferLength = 0;
    next->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
    next->FileObject = &Port->DataOutPipe.File;
}

// <= DISPATCH_LEVEL (completion routines and DPCs of the pumps).
NTSTATUS PipeReadAsync(PortExtension* Port, PVOID Buffer, ULONG Length, PipeHandle* Pipe, PIO_COMPLETION_ROUTINE Completion)
{
    NTSTATUS status = STATUS_SUCCESS;
    PIRP irp = nullptr;
    if (!Buffer || !Length || !Pipe || !Port->LowerDevice) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        LARGE_INTEGER offset;
        offset.QuadPart = 0;
        irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, Port->LowerDevice, Buffer, Length, &offset, nullptr);
        // No request (or no MDL for it) now, but memory comes back: the asking pump is
        // left as it is, to try again from its timer.
        if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!irp) {
        // No read is outstanding now: the pump that asked is idle.
        if (Pipe == &Port->DataInPipe)
            KeSetEvent(&Port->RxIdleEvent, IO_NO_INCREMENT, FALSE);
        else if (Pipe == &Port->StatusPipe)
            KeSetEvent(&Port->StatusIdleEvent, IO_NO_INCREMENT, FALSE);
        return status;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->FileObject = &Pipe->File;
    IoSetCompletionRoutine(irp, Completion, Port, TRUE, TRUE, TRUE);
    NTSTATUS sent = IoCallDriver(Port->LowerDevice, irp);
    // The read went down and its completion routine has dealt with it: a pipe driver
    // that failed it at once for lack of memory must not make the caller try again
    // from its timer too, which would put the pump's chain in two places.
    return sent == STATUS_INSUFFICIENT_RESOURCES ? STATUS_UNSUCCESSFUL : sent;
}
