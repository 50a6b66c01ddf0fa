// The adapter's command set: one vendor control request (bmRequestType 0x40,
// bRequest 0x0B) whose data stage carries a selector and one or two argument bytes.
// The adapter answers only with the transfer's status.
#pragma once

#include "driver/port_extension.h"

constexpr UCHAR PORT_COMMAND_REQUEST_TYPE = 0x40;  // host to device, vendor, device
constexpr UCHAR PORT_COMMAND_REQUEST = 0x0B;

// Selectors (byte 0 of the payload).
enum : UCHAR {
    CMD_LINE_CONFIG = 0,    // {LineConfigByte} or {BaudIndex, LineFlags}
    CMD_MODEM_CONTROL = 1,  // {ModemControlByte}
    CMD_FLOW_CHARS = 2,     // {XonChar, XoffChar}
    CMD_PORT_ENABLE = 3,    // {1 enable, 0 disable}
    CMD_ERROR_CHAR = 4,     // {ErrorCharEnable, ErrorChar}
};

// ModemControlByte.
constexpr UCHAR MCB_RTS = 0x01;
constexpr UCHAR MCB_DTR = 0x02;
constexpr UCHAR MCB_BREAK = 0x04;

// LineConfigByte (ConfigProtocols 1 and 2).
constexpr UCHAR LCB_BAUD_MASK = 0x03;  // 0 9600, 1 19200, 2 38400, 3 115200
constexpr UCHAR LCB_8_DATA_BITS = 0x04;
constexpr UCHAR LCB_2_STOP_BITS = 0x08;
constexpr UCHAR LCB_EVEN_PARITY = 0x10;
constexpr UCHAR LCB_ODD_PARITY = 0x20;
constexpr UCHAR LCB_RTS_CTS = 0x40;
constexpr UCHAR LCB_XON_XOFF = 0x80;

// LineFlags (ConfigProtocol 3); BaudIndex is the position in the nine-rate table.
constexpr UCHAR LF_8_DATA_BITS = 0x01;
constexpr UCHAR LF_2_STOP_BITS = 0x02;
constexpr UCHAR LF_EVEN_PARITY = 0x04;
constexpr UCHAR LF_ODD_PARITY = 0x08;
constexpr UCHAR LF_HARDWARE_HANDSHAKE = 0x10;
constexpr UCHAR LF_XON_XOFF = 0x20;
constexpr ULONG BAUD_INDEX_TABLE[9] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};

// PASSIVE_LEVEL. Sends one command whose payload (selector first) is Length bytes,
// 2 or 3, from the caller's buffer; returns the transfer's status unchanged.
NTSTATUS SendPortCommand(PortExtension* Port, const UCHAR* Payload, USHORT Length);
// The same with the payload written out.
NTSTATUS SendPortCommand(PortExtension* Port, UCHAR Selector, UCHAR Argument);
NTSTATUS SendPortCommand(PortExtension* Port, UCHAR Selector, UCHAR Argument1, UCHAR Argument2);

// PASSIVE_LEVEL; waits. Takes and gives back ConfigLock, which every change of the
// line settings or of ModemControlByte holds across the commands that carry it.
VOID LockPortConfig(PortExtension* Port);
VOID UnlockPortConfig(PortExtension* Port);
