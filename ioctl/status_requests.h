// The status, statistics and properties requests, and the private pipe resets.
#pragma once

#include "driver/port_extension.h"

// PASSIVE_LEVEL (control requests). IOCTL_SERIAL_GET_MODEMSTATUS, GET_COMMSTATUS
// (CommStatusLock, then RxRing's lock, then TxRing's, never two at once),
// GET_PROPERTIES, CONFIG_SIZE, GET_STATS, CLEAR_STATS, and the private resets of the
// receive and transmit pipes, which the pipe driver completes.
DRIVER_DISPATCH StatusRequest;
