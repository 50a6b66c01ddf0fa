// The two write paths: direct (each write handed to the bulk OUT pipe) and buffered
// (writes copied into TxRing and sent by a transfer engine). TxAsync, fixed per
// device, chooses one. Both share the write queue, its lock, the transmit-idle event
// and the three operations that stop, cancel and restart the transmitter.
#pragma once

#include "driver/port_extension.h"

// CurrentWriteState: where the current direct write stands. Changed only by
// interlocked operations; each party acts on the value its own operation returns.
enum : LONG {
    WRITE_IDLE = 0,           // not handed down yet (being prepared)
    WRITE_SENT = 1,           // with the pipe driver
    WRITE_RETURNED = 2,       // the pipe driver completed its last pass
    WRITE_CLAIMED = 3,        // a canceller claimed it and is about to cancel it
    WRITE_CANCEL_ISSUED = 4,  // the canceller's IoCancelIrp has returned
};

// WriteCanceller: which canceller holds the claim, so that the status the write ends
// with says why it ended.
enum : LONG {
    WRITE_CANCELLER_TIMEOUT = 0,
    WRITE_CANCELLER_PURGE = 1,
};

constexpr ULONG TX_TRANSFER_MAX = 4096;  // bytes per buffered transfer
// Transmit completions nested deeper than this hand the next pass to a DPC, so that a
// pipe driver that completes writes inside the call that sent them cannot run the
// chain down the kernel stack.
constexpr LONG TX_MAX_NESTED_COMPLETIONS = 4;

DRIVER_DISPATCH DirectWrite;
DRIVER_DISPATCH BufferedWrite;
VOID DirectWriteInit(PortExtension* Port);
VOID BufferedWriteInit(PortExtension* Port);
KDEFERRED_ROUTINE DirectWriteTimeout;
KDEFERRED_ROUTINE BufferedWriteTimeout;
KDEFERRED_ROUTINE TxKickRetry;
KDEFERRED_ROUTINE DirectWriteSendDeferred;
DRIVER_CANCEL WriteCancelRoutine;
DRIVER_CANCEL BufferedWriteCancel;
IO_COMPLETION_ROUTINE DirectWriteComplete;
IO_COMPLETION_ROUTINE TxTransferComplete;

// <= DISPATCH_LEVEL; takes nothing but TxBusy. Starts a buffered transfer of what
// TxRing holds when none is in flight.
NTSTATUS TxKick(PortExtension* Port);
// <= DISPATCH_LEVEL. A zero-length buffered transfer, when none is in flight.
NTSTATUS TxSendNullPacket(PortExtension* Port);

// PASSIVE_LEVEL. Writes may reach DataOutPipe again: writes left queued by the stop,
// or in buffered mode what waits in TxRing or in the current write, go on.
VOID TxStart(PortExtension* Port);
// PASSIVE_LEVEL. Stops the transmitter and returns when nothing of it is with the pipe
// driver. Writes still queued stay queued (direct mode) or current (buffered).
VOID TxStop(PortExtension* Port);
// <= DISPATCH_LEVEL; takes WriteQueueLock (never across a completion or IoCancelIrp).
// Ends the current write and every queued write with STATUS_CANCELLED.
VOID CancelAllWrites(PortExtension* Port);

// ---- Shared by the two paths (tx/transmitter.cpp) ----

// PASSIVE_LEVEL, from AddDevice. The write queue, its lock, the current write and the
// write timer, whose DPC is the path's own timeout routine.
VOID WriteQueueInit(PortExtension* Port, PKDEFERRED_ROUTINE Timeout);

// Any IRQL. The length of a write request, from the driver's own stack location.
ULONG WriteLength(PIRP Irp);
// Any IRQL. Moves AmountInOutQueue by Delta bytes (interlocked).
VOID AdjustOutQueue(PortExtension* Port, LONG Delta);
// Any IRQL. Counts bytes the pipe driver reported sent in both statistics blocks.
VOID CountTransmitted(PortExtension* Port, ULONG Bytes);
// WriteQueueLock held. Arms WriteTimer for the write total timeout of a write of
// Length bytes that has just become current, unless both settings are 0.
VOID ArmWriteTimer(PortExtension* Port, ULONG Length);
// WriteQueueLock held. Whether a WriteTimer DPC that runs now is the expiry of the
// current write's own timer: armed for this write, and expired (a timer armed again
// for a newer write is not signalled until that one's time passes, so a DPC queued by
// an earlier expiry that runs late is told apart).
BOOLEAN WriteTimerExpiredForCurrent(PortExtension* Port);
// PASSIVE_LEVEL. The checks both paths make before accepting a write: TRUE when the
// request has been completed here (*Status is what the dispatch routine returns).
BOOLEAN WriteRefused(PortExtension* Port, PIRP Irp, NTSTATUS* Status);
// <= DISPATCH_LEVEL; no lock held. Completes a write request that this code owns.
VOID CompleteWrite(PortExtension* Port, PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost);

// ---- Each path's part of CancelAllWrites and TxStart ----

// WriteQueueLock held by the caller, who releases it. Takes the current direct write
// for cancelling when no other canceller has it; returns it claimed, or null.
PIRP ClaimCurrentDirectWrite(PortExtension* Port);
// <= DISPATCH_LEVEL; no lock held. Sends the oldest queued direct write when none is
// current (the queue waits while the transmitter is stopped).
VOID DirectTxResume(PortExtension* Port);
// <= DISPATCH_LEVEL; no lock. Cancels a write claimed by ClaimCurrentDirectWrite.
VOID CancelClaimedDirectWrite(PortExtension* Port, PIRP Irp);
// WriteQueueLock held. Takes the current buffered write out of the engine when its
// cancel routine can be taken back; the caller completes it.
PIRP TakeCurrentBufferedWrite(PortExtension* Port);
// <= DISPATCH_LEVEL; no lock. Ends a buffered write taken by TakeCurrentBufferedWrite
// with STATUS_CANCELLED.
VOID EndTakenBufferedWrite(PortExtension* Port, PIRP Irp);
// <= DISPATCH_LEVEL; no lock. Moves the current buffered write's remaining bytes
// into TxRing as far as they fit, and starts a transfer.
VOID BufferedTxResume(PortExtension* Port);
