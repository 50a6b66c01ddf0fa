// The emulated NT kernel as the driver sees it: the same names and signatures as
// ntddk.h, ntddser.h, wmilib.h and wmistr.h.
#pragma once

#include "ex.h"
#include "io.h"
#include "ke.h"
#include "ntddser.h"
#include "ntdef.h"
#include "reg.h"
#include "wmi.h"
