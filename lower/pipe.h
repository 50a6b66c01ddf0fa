// The pipe driver interface: every request the port driver originates toward the
// adapter's pipes, and the private control codes of the pipe driver.
#pragma once

#include "driver/port_extension.h"
#include "lower/pipe_handle.h"

// The pipe driver's private control codes: device type 0x23, buffered, any access.
#define PIPE_IOCTL(Function) CTL_CODE(0x23, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PIPE_RESET PIPE_IOCTL(2)                  // 0x230008
#define IOCTL_PIPE_ABORT PIPE_IOCTL(8)                  // 0x230020
#define IOCTL_PIPE_CONTROL_TRANSFER PIPE_IOCTL(9)       // 0x230024
#define IOCTL_PIPE_GET_MAX_PACKET_SIZE PIPE_IOCTL(10)   // 0x230028
#define IOCTL_PIPE_WRITE PIPE_IOCTL(16)                 // 0x230040

// The USB setup packet that starts the input of IOCTL_PIPE_CONTROL_TRANSFER
// (little-endian, 8 bytes), followed by the data of an OUT transfer.
constexpr ULONG SETUP_PACKET_SIZE = 8;
constexpr UCHAR USB_DIR_IN = 0x80;
constexpr UCHAR USB_TYPE_MASK = 0x60;
constexpr UCHAR USB_TYPE_CLASS = 0x20;
constexpr UCHAR USB_TYPE_VENDOR = 0x40;
constexpr UCHAR USB_RECIPIENT_MASK = 0x1F;

VOID PipeHandlePrepare(PipeHandle* Pipe, PCWSTR Name, PDEVICE_OBJECT PortDevice);

// Synchronous operations: PASSIVE_LEVEL only; they wait without timeout. When memory
// is short, each builds its request up to ten times, 10 ms apart, before it returns
// STATUS_INSUFFICIENT_RESOURCES (so do PipeControlTransfer and PipeReadSync).
NTSTATUS PipeOpenClose(PDEVICE_OBJECT PortDevice, PipeHandle* Pipe, BOOLEAN Open);
NTSTATUS PipeAbort(PDEVICE_OBJECT PortDevice, PipeHandle* Pipe);
NTSTATUS PipeReset(PDEVICE_OBJECT PortDevice, PipeHandle* Pipe);
// PASSIVE_LEVEL. Waits for a pump's idle event, aborting the pipe again every 10 ms
// meanwhile: a request its pump put on the pipe just after the caller's abort would
// otherwise hold the pipe, and the wait, for ever.
NTSTATUS PipeWaitIdleAborting(PDEVICE_OBJECT PortDevice, PipeHandle* Pipe, PKEVENT Idle);
NTSTATUS PipeGetMaxPacketSize(PDEVICE_OBJECT PortDevice, PipeHandle* Pipe, PULONG MaxPacketSize);
NTSTATUS PipeControlTransfer(PDEVICE_OBJECT Target, UCHAR RequestType, UCHAR Request, USHORT Value, USHORT Index,
                             USHORT Length, PVOID Data);
IO_COMPLETION_ROUTINE PipeSyncCompletion;

// PASSIVE_LEVEL. A synchronous read on a pipe (IoBuildSynchronousFsdRequest, starting
// offset 0), waited for without timeout; *Transferred gets the bytes read.
NTSTATUS PipeReadSync(PortExtension* Port, PipeHandle* Pipe, PVOID Buffer, ULONG Length, PULONG Transferred);

// <= DISPATCH_LEVEL. Makes the next stack location of a request the caller owns a
// pipe write of Length bytes on DataOutPipe (0: a zero-length packet); the bytes are
// at the request's AssociatedIrp.SystemBuffer. The caller sets its completion routine
// and reads IoStatus.Information as the bytes sent.
VOID PipeSetWriteLocation(PortExtension* Port, PIRP Irp, ULONG Length);

// <= DISPATCH_LEVEL. Issues one read on a pipe; Completion runs exactly once for an
// issued read and owns the request (frees its MDL and the IRP, returns
// STATUS_MORE_PROCESSING_REQUIRED). A read that cannot be allocated returns
// STATUS_INSUFFICIENT_RESOURCES and leaves the asking pump as it is (its chain goes on
// from its timer); when no read can be issued for any other reason, the asking pump
// is marked idle and the failure returned. An issued read returns what the pipe
// driver returned, except that STATUS_INSUFFICIENT_RESOURCES comes back as
// STATUS_UNSUCCESSFUL: only a read that was never issued is tried again.
NTSTATUS PipeReadAsync(PortExtension* Port, PVOID Buffer, ULONG Length, PipeHandle* Pipe,
                       PIO_COMPLETION_ROUTINE Completion);
