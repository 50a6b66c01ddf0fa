// Port naming at start and its undoing at removal.
#pragma once

#include "driver/port_extension.h"

// PASSIVE_LEVEL. Creates the "\DosDevices\" link under the name in "PortName" and the
// port's SERIALCOMM value. A name that is missing, not a string (REG_SZ or, taken as
// written, REG_EXPAND_SZ), empty, unterminated, too long for its buffer or for the DOS
// name, or holds a backslash is refused with STATUS_INVALID_PARAMETER (or the query's
// status); on any failure nothing of the name is kept. The name ends at its first NUL.
// A port already named (a start after a stop) keeps its name.
NTSTATUS NamePort(PDEVICE_OBJECT DeviceObject);
// PASSIVE_LEVEL. Deletes the link and the SERIALCOMM value of a named port.
VOID UnnamePort(PortExtension* Port);
// PASSIVE_LEVEL. Reads a value's data into Buffer when it fits (pool tag Tag for the
// query); ValueNameSize counts the name's NUL. *DataLength, when given, gets the
// data's length, or MAXULONG when it did not fit and nothing was copied; *Type, when
// given, the value's registry type. Neither is written when the query fails.
NTSTATUS ReadRegistryString(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PVOID Buffer, ULONG BufferSize, ULONG Tag,
                            PULONG DataLength, PULONG Type = nullptr);
