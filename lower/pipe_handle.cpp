// Naming of the pipe handles at device creation.
#include "lower/pipe.h"

// PASSIVE_LEVEL, from AddDevice: the handle's file object names the pipe and points
// at the port device; nothing else in it is touched.
VOID PipeHandlePrepare(PipeHandle* Pipe, PCWSTR Name, PDEVICE_OBJECT PortDevice)
{
    USHORT length = 0;
    while (Name[length / sizeof(WCHAR)] && length < sizeof(Pipe->Name) - sizeof(WCHAR)) length += sizeof(WCHAR);
    RtlCopyMemory(Pipe->Name, Name, length);
    Pipe->Name[length / sizeof(WCHAR)] = 0;
    Pipe->File.FileName.Buffer = Pipe->Name;
    Pipe->File.FileName.Length = length;
    Pipe->File.FileName.MaximumLength = (USHORT)(length + sizeof(WCHAR));
    Pipe->File.DeviceObject = PortDevice;
}
