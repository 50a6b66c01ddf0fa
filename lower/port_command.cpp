// Sending PortCommands to the adapter.
#include "lower/port_command.h"

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

// The holder must not be suspended while every other request waits for it: normal
// kernel APCs are off from the take to the give-back. (Special kernel APCs stay on:
// the completion of the holder's own control transfer reaches it through one.)
VOID LockPortConfig(PortExtension* Port)
{
    KeEnterCriticalRegion();
    KeWaitForSingleObject(&Port->ConfigLock, Executive, KernelMode, FALSE, nullptr);
}

VOID UnlockPortConfig(PortExtension* Port)
{
    KeSetEvent(&Port->ConfigLock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}
