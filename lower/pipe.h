// The pipe driver interface: every request the port driver originates toward the
// adapter's pipes.
#pragma once

#include "lower/pipe_handle.h"

VOID PipeHandlePrepare(PipeHandle* Pipe, PCWSTR Name, PDEVICE_OBJECT PortDevice);
