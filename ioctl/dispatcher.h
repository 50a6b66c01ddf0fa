// The serial control request dispatcher: routes IRP_MJ_DEVICE_CONTROL by its whole
// control code to the handler that owns it.
#pragma once

#include "platform/kernel.h"

// The two private control codes: a reset of the receive pipe and of the transmit
// pipe, passed to the pipe driver on the application's own request.
constexpr ULONG IOCTL_PRIVATE_RESET_RX_PIPE = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 200, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_PRIVATE_RESET_TX_PIPE = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 201, METHOD_BUFFERED, FILE_ANY_ACCESS);
