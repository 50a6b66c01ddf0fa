// Sending PortCommands to the adapter.
#include "lower/port_command.h"

#include "driver/driver.h"
#include "lower/pipe.h"

// PASSIVE_LEVEL; no lock. No retry and no timeout of its own.
NTSTATUS SendPortCommand(PortExtension* Port, const UCHAR* Payload, USHORT Length)
{
    if (Length != 2 && Length != 3) return STATUS_INVALID_PARAMETER;
    return PipeControlTransfer(Port->LowerDevice, PORT_COMMAND_REQUEST_TYPE, PORT_COMMAND_REQUEST, 0, 0, Length,
                               (PVOID)Payload);
}

NTSTATUS SendPortCommand(PortExtension* Port, UCHAR Selector, UCHAR Argument)
{
    UCHAR payload[2] = {Selector, Argument};
    return SendPortCommand(Port, payload, sizeof payload);
}

NTSTATUS SendPortCommand(PortExtension* Port, UCHAR Selector, UCHAR Argument1, UCHAR Argument2)
{
    UCHAR payload[3] = {Selector, Argument1, Argument2};
    return SendPortCommand(Port, payload, sizeof payload);
}

VOID LockPortConfig(PortExtension* Port) { AcquirePassiveLock(&Port->ConfigLock); }

VOID UnlockPortConfig(PortExtension* Port) { ReleasePassiveLock(&Port->ConfigLock); }
