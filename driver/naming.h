// Port naming at start and its undoing at removal.
#pragma once

#include "driver/port_extension.h"

// PASSIVE_LEVEL. Creates the "\DosDevices\" link under the name in "PortName" and the
// port's SERIALCOMM value. A name that is missing, empty, unterminated, too long for
// its buffer or for the DOS name is refused with STATUS_INVALID_PARAMETER (or the
// query's status); on any failure nothing of the name is kept. A port already named
// (a start after a stop) keeps its name.
NTSTATUS NamePort(PDEVICE_OBJECT DeviceObject);
// PASSIVE_LEVEL. Deletes the link and the SERIALCOMM value of a named port.
VOID UnnamePort(PortExtension* Port);
// PASSIVE_LEVEL. Reads a value's data into Buffer when it fits (pool tag Tag for the
// query); ValueNameSize counts the name's NUL. *DataLength, when given, gets the
// data's length, or MAXULONG when it did not fit and nothing was copied.
NTSTATUS ReadRegistryString(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PVOID Buffer, ULONG BufferSize, ULONG Tag,
                            PULONG DataLength);
