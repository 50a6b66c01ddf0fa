// Status-line polling of the adapter's status pipe.
#pragma once

#include "platform/kernel.h"

KDEFERRED_ROUTINE StatusPollDpc;
