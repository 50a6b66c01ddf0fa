// PipeHandle: one of the adapter's pipes as the port driver addresses it, through a
// file object that the port driver owns. The pipe driver may keep its own per-pipe
// state in that file object between the open and the close; the port driver sets
// only DeviceObject and FileName.
#pragma once

#include "platform/kernel.h"

struct PipeHandle {
    WCHAR Name[12];    // the pipe's file name with its NUL, set at device creation
    FILE_OBJECT File;  // zeroed with the PortExtension
};

// The pipes' file names, as the pipe driver knows them.
#define PIPE_NAME_DATA_OUT WSTR("\\PIPE00")
#define PIPE_NAME_DATA_IN WSTR("\\PIPE01")
#define PIPE_NAME_STATUS WSTR("\\PIPE02")
