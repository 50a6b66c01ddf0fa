// The modem control lines DTR, RTS and break: the serial control requests that set
// and report them.
#pragma once

#include "driver/port_extension.h"

// PASSIVE_LEVEL (control requests); takes ConfigLock and sends the modem-control
// command. IOCTL_SERIAL_SET_DTR, CLR_DTR, SET_RTS, CLR_RTS, SET_BREAK_ON and
// SET_BREAK_OFF.
DRIVER_DISPATCH ModemLineRequest;
// PASSIVE_LEVEL (control requests); takes ConfigLock. IOCTL_SERIAL_SET_MODEM_CONTROL,
// GET_MODEM_CONTROL and GET_DTRRTS.
DRIVER_DISPATCH ModemControlRequest;
