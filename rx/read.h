// Application reads.
#pragma once

#include "platform/kernel.h"

DRIVER_DISPATCH ReadDispatch;
KDEFERRED_ROUTINE ReadTotalTimeoutDpc;
KDEFERRED_ROUTINE ReadIntervalTimeoutDpc;
