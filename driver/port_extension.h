// PortExtension: the device extension of a port device, zero-filled at creation.
//
// Lock order (outer to inner): EventLock, then the I/O cancel spin lock; the cancel
// spin lock guards the read queue and CurrentRead; WriteQueueLock before a ring's
// Lock; a RingBuffer's Lock is always innermost; CommStatusLock is taken alone. Of the
// passive-level locks, OpenPowerLock comes before TxControlLock, StatusControlLock and
// ConfigLock.
// WriteQueueLock is never held across a call to the pipe driver, a completion or
// IoCancelIrp. Requests are completed outside every lock.
#pragma once

#include "lower/pipe_handle.h"
#include "platform/kernel.h"
#include "rx/ring_buffer.h"

// PnpState values.
enum : ULONG {
    PNP_NOT_STARTED = 0,
    PNP_STARTED = 1,
    PNP_STOP_PENDING = 2,
    PNP_REMOVE_PENDING = 4,
    PNP_SURPRISE_REMOVED = 5,
    PNP_REMOVED = 6,
};

// RunState values.
enum : ULONG {
    RUN_NOT_STARTED = 0,
    RUN_WORKING = 1,
    RUN_POWERED_DOWN = 2,
};

// ReadMode values (the read-timeout mode the SERIAL_TIMEOUTS select).
enum : ULONG {
    ReadModeTimed = 0,          // full, or the whole-read or between-bytes time
    ReadModeReturnNow = 1,      // at once with what there is
    ReadModeFirstByte = 2,      // at the first bytes, or the constant time
    ReadModeWaitAll = MAXULONG, // full, no timers (-1)
};

constexpr ULONG TX_STAGING_SIZE = 4096;
constexpr ULONG DEFAULT_QUEUE_SIZE = 4096;
constexpr ULONG DEFAULT_BAUD_RATE = 115200;

struct PortExtension {
    // Identity and Plug and Play. Written by AddDevice and the PnP dispatcher (one
    // request at a time, passive); the two flags only ever go from 0 to 1 and are
    // read without a lock everywhere, always through VcomReadFlag (PortRemoved).
    PDEVICE_OBJECT PortDeviceObject;
    ULONG PnpState;
    ULONG PreviousPnpState;
    UCHAR DeviceRemoved;
    UCHAR SurpriseRemoved;

    // Remove lock, tag "KLVO": AddDevice holds one reference for the device's life,
    // an open port one more.
    IO_REMOVE_LOCK PortRemoveLock;

    // Stack and names. Written by AddDevice and the naming at start (passive).
    PDEVICE_OBJECT PhysicalDevice;
    UNICODE_STRING InterfaceLinkName;  // nonpaged copy, tag "init"
    UNICODE_STRING DosDeviceName;      // 256-byte buffer, tag "init", once named

    volatile LONG OpenCount;  // interlocked; open and close
    ULONG EndPointCaps;       // AddDevice; read-only afterwards

    // Receive ring and flow control. RxAllowed: receive pump, under RxRing.Lock.
    RingBuffer RxRing;
    UCHAR RxAllowed;
    ULONG RxReqSize;  // AddDevice; aligned by open

    // Reads. Both under the cancel spin lock.
    KDEVICE_QUEUE ReadQueue;
    PIRP CurrentRead;

    PipeHandle DataInPipe;

    // Receive pump: written by the pump's own chain (one link at a time), and by its
    // start and stop at passive level. RxPumpState and RxCompletionDepth only by
    // interlocked operations.
    ULONG MaxPacketIn;
    PUCHAR RxTransferBuffer;  // tag "crea", open to close
    UCHAR RxStopped;  // set by stop, cleared by start, read by every step: VcomReadFlag/VcomWriteFlag
    volatile LONG RxPumpState;        // RX_PUMP_* of rx/receive_pump.cpp: start and stop
    volatile LONG RxCompletionDepth;  // pump completions running nested in one another
    KEVENT RxIdleEvent;
    ULONG RxTransferLength;  // bytes of the last transfer
    ULONG RxTransferOffset;  // of those, bytes already moved into RxRing
    KTIMER RxPumpTimer;
    KDPC RxPumpDpc;
    ULONG RxPollPeriod;

    PipeHandle StatusPipe;

    // Status polling: written by the polling chain (one link at a time) and its start
    // and stop at passive level.
    UCHAR StatusByte;
    UCHAR StatusStopped;
    KEVENT StatusIdleEvent;
    KTIMER StatusTimer;
    KDPC StatusDpc;
    LONG CtlPollPeriod;
    volatile LONG StatusCompletionDepth;  // status completions running nested (interlocked)
    // Serialises the start and the stop of the polling (passive level): a start that
    // meets a stop under way begins only once the old chain has ended, and a second
    // stop returns only then. A synchronization event, signalled = free.
    KEVENT StatusControlLock;

    PipeHandle DataOutPipe;
    ULONG MaxPacketOut;

    UCHAR TxStaging[TX_STAGING_SIZE];  // buffered transfer engine, while TxBusy

    // Transmit settings: AddDevice, aligned by open.
    ULONG TxKickThreshold;
    ULONG TxAsync;
    ULONG TxAllowNullPacket;

    // Write path. WriteQueue, CurrentWrite, WriteCursor, WriteCopied and the two write
    // generations under WriteQueueLock; CurrentWriteState, WriteCancelGuard and TxBusy
    // by interlocked operations only; TxStopped by TxStop and TxStart (passive), read
    // everywhere through VcomReadFlag. TotalWritten: whoever makes a write current,
    // then its completion routine. WriteCanceller: the holder of WriteCancelGuard.
    KTIMER WriteTimer;
    KDPC WriteTimerDpc;
    volatile UCHAR TxStopped;
    KEVENT TxIdleEvent;
    // Serialises TxStop and TxStart (passive level): a start that ran while a stop
    // waited would take the stop flag from under it, and the stop would wait for an
    // idle signal that nothing gives any more. A synchronization event, signalled = free.
    KEVENT TxControlLock;
    PIRP CurrentWrite;
    volatile LONG CurrentWriteState;  // WRITE_* of tx/write.h
    volatile LONG WriteCancelGuard;
    LIST_ENTRY WriteQueue;
    KSPIN_LOCK WriteQueueLock;
    ULONG TotalWritten;
    volatile LONG TxBusy;
    PUCHAR WriteCursor;  // buffered: first byte of CurrentWrite not yet in TxRing
    ULONG WriteCopied;   // buffered: bytes of CurrentWrite already in TxRing
    // Which current write WriteTimer was armed for: WriteGeneration moves on whenever
    // a write becomes current, so a timer DPC that runs late cannot end its successor.
    ULONG WriteGeneration;
    ULONG WriteTimerArmedFor;
    LONG WriteCanceller;  // WRITE_CANCELLER_* of tx/write.h: who claimed the current write
    // Transmit completions running nested in one another (interlocked); beyond a few
    // levels the next pass goes down from WriteSendDpc (direct) or TxKickDpc (buffered).
    volatile LONG TxCompletionDepth;
    KDPC WriteSendDpc;
    // A kick that found the engine busy (interlocked): whoever lets go of TxBusy kicks
    // again, so no kick is lost to a holder that already looked at the ring.
    volatile LONG TxKickPending;

    ULONG RunState;  // PnP start and power, passive; read anywhere: ReadRunState, SetRunState

    RingBuffer TxRing;  // 4096 bytes from AddDevice to removal

    // Wait-on-mask events, under EventLock.
    KSPIN_LOCK EventLock;
    ULONG WaitMask;
    PIRP PendingWait;
    ULONG PendingEvents;

    // Modem lines. ModemControlByte: the senders of modem commands, under ConfigLock;
    // ModemStatus: the status polling's completion routine and the open, by
    // interlocked exchange (readers use ReadModemStatus).
    UCHAR ModemControlByte;
    ULONG ModemStatus;
    // Serialises, at passive level, every change of the line settings and of
    // ModemControlByte together with the commands that carry it to the adapter, so
    // the adapter ends with what is stored. A synchronization event, signalled = free.
    KEVENT ConfigLock;

    // Statistics: receive pump and transmit paths; cleared by IOCTL_SERIAL_CLEAR_STATS.
    SERIALPERF_STATS PerfStats;
    SERIALPERF_STATS WmiPerfStats;

    ULONG InSize;   // requested RxRing size
    ULONG OutSize;  // TxRing size

    ULONG BaudRate;

    // Read timeouts: the settings under the cancel spin lock with the reads.
    SERIAL_TIMEOUTS Timeouts;
    ULONG ReadMode;
    KTIMER ReadTotalTimer;
    KDPC ReadTotalDpc;
    KTIMER ReadIntervalTimer;
    KDPC ReadIntervalDpc;
    // Which current read the timers were armed for: ReadGeneration moves on whenever a
    // read stops being current, so a timer DPC that runs late does not end its
    // successor. Under the cancel spin lock.
    ULONG ReadGeneration;
    ULONG ReadTotalArmedFor;
    ULONG ReadIntervalArmedFor;

    // Line settings: control requests at passive level.
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_CHARS Chars;
    SERIAL_HANDFLOW HandFlow;

    SERIAL_STATUS CommStatus;  // under CommStatusLock
    KSPIN_LOCK CommStatusLock;

    PDEVICE_OBJECT LowerDevice;  // set at attach, cleared at detach

    // Buffered-write kick.
    KTIMER TxKickTimer;
    KDPC TxKickDpc;
    LARGE_INTEGER TxKickDelay;

    ULONG NoBaudCheck;

    WMILIB_CONTEXT WmiLibInfo;  // filled at registration

    // AddDevice to removal: the power requests that come at DISPATCH_LEVEL and must wait
    // are handled from it, one at a time (a device has one power request at a time). Had
    // in advance, so that a power-up never finds no memory to bring the port back with.
    PIO_WORKITEM PowerWorkItem;
    // Serialises the open and close sequences with a power-down and with the restart
    // that follows a return to D0, which runs after the power request has completed:
    // a close or a second power-down never meets a restart half done. A
    // synchronization event, signalled = free; AddDevice.
    KEVENT OpenPowerLock;
    // A return to D0 has completed and its restart is still to run: set by the power-up
    // before it completes the request, cleared by the restart or by a power-down that
    // comes first (both under OpenPowerLock); interlocked.
    volatile LONG PowerUpPending;
};

inline PortExtension* PortOf(PDEVICE_OBJECT DeviceObject) { return (PortExtension*)DeviceObject->DeviceExtension; }

// Any IRQL; no lock. Whether a removal (surprise or not) has come: the flags are set
// by the PnP dispatcher while requests, completions and DPCs read them on other
// processors, so every access is an atomic one (VcomReadFlag, VcomWriteFlag).
inline BOOLEAN PortRemoved(PortExtension* Port)
{
    return VcomReadFlag(&Port->DeviceRemoved) || VcomReadFlag(&Port->SurpriseRemoved);
}

// Any IRQL; no lock. RunState is set by the PnP and power dispatchers at passive level
// while requests, completions and DPCs read it on other processors: each access is
// whole (interlocked).
inline ULONG ReadRunState(PortExtension* Port) { return (ULONG)InterlockedCompareExchange((volatile LONG*)&Port->RunState, 0, 0); }
inline VOID SetRunState(PortExtension* Port, ULONG State) { InterlockedExchange((volatile LONG*)&Port->RunState, (LONG)State); }
