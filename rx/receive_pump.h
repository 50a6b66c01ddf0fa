// The receive pump: one read outstanding on the bulk IN pipe at a time.
#pragma once

#include "platform/kernel.h"

KDEFERRED_ROUTINE RxPumpRetry;
