// Status-line polling of the adapter's status pipe: ModemStatus and the line events.
#pragma once

#include "driver/port_extension.h"

// DISPATCH_LEVEL: StatusTimer's DPC (context: the port device object).
KDEFERRED_ROUTINE StatusPollDpc;
// <= DISPATCH_LEVEL: the completion routine of every status read (context: the port).
IO_COMPLETION_ROUTINE StatusReadComplete;

// Any IRQL. Whether the status pipe is opened and read: the adapter has one
// (EndPointCaps nonzero) and polling is on (CtlPollPeriod not negative).
BOOLEAN StatusPipeInUse(PortExtension* Port);
// The modem status register's line bits, as a 16550 UART lays them out; ModemStatus
// carries these and no delta bits.
constexpr ULONG MSR_CTS = 0x10;
constexpr ULONG MSR_DSR = 0x20;
constexpr ULONG MSR_RI = 0x40;
constexpr ULONG MSR_DCD = 0x80;

// Any IRQL. The modem status register bits of a status report; bits 4 to 7 of the
// report mean nothing.
ULONG MapStatusByte(UCHAR StatusByte);
// Any IRQL. ModemStatus as the last report left it.
ULONG ReadModemStatus(PortExtension* Port);

// PASSIVE_LEVEL. Reads the modem status once, at open.
NTSTATUS ReadModemStatusOnce(PortExtension* Port);
// PASSIVE_LEVEL. Clears StatusStopped and starts the polling chain.
NTSTATUS StartStatusPolling(PortExtension* Port);
// PASSIVE_LEVEL. Stops polling and returns when no read or timer of it is outstanding.
NTSTATUS StopStatusPolling(PortExtension* Port);
// <= DISPATCH_LEVEL. One link of the chain: the next read, or the timer before it.
NTSTATUS StatusPollStep(PortExtension* Port);
