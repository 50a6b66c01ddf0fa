// Line settings: baud rate, line control, handshake and flow control, and the special
// characters. Each SET checks and stores its record and hands the whole stored
// configuration to the adapter in the form EndPointCaps selects (one of four
// configuration protocols); the characters go with their own two commands. A SET
// holds ConfigLock from the store to the last command, so concurrent SETs cannot
// leave the adapter with a configuration other than the one stored.
#include "ioctl/line_settings.h"

#include "driver/driver.h"
#include "lower/port_command.h"
#include "rx/receive_pump.h"

namespace {

constexpr ULONG LineControlSize = 3;  // StopBits, Parity, WordLength
constexpr ULONG HandFlowSize = 16;
constexpr ULONG CharsSize = 6;
constexpr ULONG ControlHandShakeInvalid = 0x7FFFFF84;
constexpr ULONG FlowReplaceInvalid = 0x7FFFFF20;

BOOLEAN Removed(PortExtension* Port) { return PortRemoved(Port); }

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    return CompleteRequestWith(Irp, Status, Information, IO_NO_INCREMENT);
}

// The request's code, buffer and lengths.
struct Control {
    ULONG Code;
    PVOID Buffer;
    ULONG InLength;
    ULONG OutLength;
};

Control ControlOf(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    return {stack->Parameters.DeviceIoControl.IoControlCode, Irp->AssociatedIrp.SystemBuffer,
            stack->Parameters.DeviceIoControl.InputBufferLength, stack->Parameters.DeviceIoControl.OutputBufferLength};
}

// PASSIVE_LEVEL; takes ConfigLock. A GET: copies a stored record of Size bytes out.
NTSTATUS Report(PortExtension* Port, PIRP Irp, const Control& C, const void* Record, ULONG Size)
{
    if (C.OutLength < Size || !C.Buffer) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    LockPortConfig(Port);
    RtlCopyMemory(C.Buffer, Record, Size);
    UnlockPortConfig(Port);
    return Complete(Irp, STATUS_SUCCESS, Size);
}

// PASSIVE_LEVEL; takes ConfigLock. A SET that passed its checks: stores the record and
// configures the adapter.
NTSTATUS Store(PortExtension* Port, PIRP Irp, void* Record, const void* Value, ULONG Size)
{
    LockPortConfig(Port);
    RtlCopyMemory(Record, Value, Size);
    NTSTATUS status = ApplyLineSettings(Port->PortDeviceObject);
    UnlockPortConfig(Port);
    return Complete(Irp, status, 0);
}

// Of two commands sent one after the other, the request fails with the first that
// failed: a setting the adapter did not take is not reported as taken.
NTSTATUS FirstFailure(NTSTATUS First, NTSTATUS Second) { return NT_SUCCESS(First) ? Second : First; }

BOOLEAN InRateList(ULONG Rate)
{
    for (ULONG listed : BAUD_INDEX_TABLE)
        if (listed == Rate) return TRUE;
    return FALSE;
}

UCHAR ErrorCharEnable(PortExtension* Port) { return (Port->HandFlow.FlowReplace & SERIAL_ERROR_CHAR) ? 1 : 0; }

BOOLEAN RtsHandshake(PortExtension* Port)
{
    return (Port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
}

// ConfigLock held. The one-byte configuration of protocols 1 and 2; FALSE when the
// stored settings have no such form (then nothing is sent).
BOOLEAN BuildLineConfigByte(PortExtension* Port, UCHAR* Byte)
{
    UCHAR byte;
    switch (Port->BaudRate) {
    case 9600: byte = 0; break;
    case 19200: byte = 1; break;
    case 38400: byte = 2; break;
    case 115200: byte = 3; break;
    default: return FALSE;
    }
    if (Port->LineControl.WordLength == 8)
        byte |= LCB_8_DATA_BITS;
    else if (Port->LineControl.WordLength != 7)
        return FALSE;
    if (Port->LineControl.StopBits == STOP_BITS_2)
        byte |= LCB_2_STOP_BITS;
    else if (Port->LineControl.StopBits != STOP_BIT_1)
        return FALSE;
    if (Port->LineControl.Parity == ODD_PARITY) byte |= LCB_ODD_PARITY;
    if (Port->LineControl.Parity == EVEN_PARITY) byte |= LCB_EVEN_PARITY;
    // Both ends of the hardware handshake, and XON/XOFF in both directions.
    if (RtsHandshake(Port) && (Port->HandFlow.ControlHandShake & SERIAL_CTS_HANDSHAKE)) byte |= LCB_RTS_CTS;
    if ((Port->HandFlow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)) ==
        (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE))
        byte |= LCB_XON_XOFF;
    *Byte = byte;
    return TRUE;
}

// PASSIVE_LEVEL; ConfigLock held. Protocols 1 and 2; protocol 2 also raises RTS for
// the hardware handshake.
NTSTATUS SendLineConfigByte(PortExtension* Port, BOOLEAN RaiseRtsForHandshake)
{
    UCHAR byte;
    if (!BuildLineConfigByte(Port, &byte)) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = SendPortCommand(Port, CMD_LINE_CONFIG, byte);
    if (RaiseRtsForHandshake && (byte & LCB_RTS_CTS)) {
        Port->ModemControlByte |= MCB_RTS;
        status = FirstFailure(status, SendPortCommand(Port, CMD_MODEM_CONTROL, Port->ModemControlByte));
    }
    return status;
}

// PASSIVE_LEVEL; ConfigLock held. Protocol 3: the three-byte configuration, which has
// a form for every setting, then the error character (sent even when the first failed).
NTSTATUS SendThreeByteConfig(PortExtension* Port)
{
    UCHAR index = 0;
    for (UCHAR i = 0; i < sizeof BAUD_INDEX_TABLE / sizeof BAUD_INDEX_TABLE[0]; ++i)
        if (BAUD_INDEX_TABLE[i] == Port->BaudRate) index = i;
    UCHAR flags = 0;
    if (Port->LineControl.WordLength != 7) flags |= LF_8_DATA_BITS;
    if (Port->LineControl.StopBits == STOP_BITS_2) flags |= LF_2_STOP_BITS;
    if (Port->LineControl.Parity == EVEN_PARITY) flags |= LF_EVEN_PARITY;
    if (Port->LineControl.Parity == ODD_PARITY) flags |= LF_ODD_PARITY;
    // Either handshake, or else either direction of XON/XOFF.
    if (RtsHandshake(Port) || (Port->HandFlow.ControlHandShake & SERIAL_CTS_HANDSHAKE))
        flags |= LF_HARDWARE_HANDSHAKE;
    else if (Port->HandFlow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE))
        flags |= LF_XON_XOFF;
    NTSTATUS status = SendPortCommand(Port, CMD_LINE_CONFIG, index, flags);
    status = FirstFailure(status, SendPortCommand(Port, CMD_ERROR_CHAR, ErrorCharEnable(Port), Port->Chars.ErrorChar));
    RxPumpStart(Port);
    return status;
}

}  // namespace

// PASSIVE_LEVEL; ConfigLock held by the caller. EndPointCaps 0 and values above 3
// name no protocol that sends anything.
NTSTATUS ApplyLineSettings(PDEVICE_OBJECT DeviceObject)
{
    PortExtension* port = PortOf(DeviceObject);
    switch (port->EndPointCaps) {
    case 1: return SendLineConfigByte(port, FALSE);
    case 2: return SendLineConfigByte(port, TRUE);
    case 3: return SendThreeByteConfig(port);
    default: return STATUS_SUCCESS;
    }
}

NTSTATUS NTAPI BaudRateRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (Removed(port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    Control c = ControlOf(Irp);
    if (c.Code != IOCTL_SERIAL_SET_BAUD_RATE) return Report(port, Irp, c, &port->BaudRate, sizeof(ULONG));
    if (c.InLength < sizeof(ULONG) || !c.Buffer) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    ULONG rate = ((PSERIAL_BAUD_RATE)c.Buffer)->BaudRate;
    if (!port->NoBaudCheck && !InRateList(rate)) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    return Store(port, Irp, &port->BaudRate, &rate, sizeof rate);
}

NTSTATUS NTAPI LineControlRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (Removed(port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    Control c = ControlOf(Irp);
    if (c.Code != IOCTL_SERIAL_SET_LINE_CONTROL) return Report(port, Irp, c, &port->LineControl, LineControlSize);
    if (c.InLength < LineControlSize || !c.Buffer) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    SERIAL_LINE_CONTROL lc;
    RtlCopyMemory(&lc, c.Buffer, LineControlSize);
    // 1.5 stop bits, mark and space parity and 5 or 6 data bits have no form here.
    BOOLEAN ok = (lc.StopBits == STOP_BIT_1 || lc.StopBits == STOP_BITS_2) && lc.Parity <= EVEN_PARITY &&
                 (lc.WordLength == 7 || lc.WordLength == 8);
    if (!ok) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    return Store(port, Irp, &port->LineControl, &lc, LineControlSize);
}

NTSTATUS NTAPI HandFlowRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (Removed(port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    Control c = ControlOf(Irp);
    if (c.Code != IOCTL_SERIAL_SET_HANDFLOW) {
        // The two limits are read whole, as the receive path reads them without a lock.
        SERIAL_HANDFLOW now;
        LockPortConfig(port);
        now.ControlHandShake = port->HandFlow.ControlHandShake;
        now.FlowReplace = port->HandFlow.FlowReplace;
        now.XonLimit = InterlockedCompareExchange(&port->HandFlow.XonLimit, 0, 0);
        now.XoffLimit = InterlockedCompareExchange(&port->HandFlow.XoffLimit, 0, 0);
        UnlockPortConfig(port);
        return Report(port, Irp, c, &now, HandFlowSize);
    }
    if (c.InLength < HandFlowSize || !c.Buffer) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    SERIAL_HANDFLOW hf;
    RtlCopyMemory(&hf, c.Buffer, HandFlowSize);
    // Limits are taken as unsigned, so a negative one is refused too.
    if ((hf.ControlHandShake & ControlHandShakeInvalid) || (hf.FlowReplace & FlowReplaceInvalid) ||
        (ULONG)hf.XonLimit > port->InSize || (ULONG)hf.XoffLimit > port->InSize)
        return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    // The receive path reads the two limits at dispatch level without a lock: each is
    // stored whole.
    LockPortConfig(port);
    port->HandFlow.ControlHandShake = hf.ControlHandShake;
    port->HandFlow.FlowReplace = hf.FlowReplace;
    InterlockedExchange(&port->HandFlow.XonLimit, hf.XonLimit);
    InterlockedExchange(&port->HandFlow.XoffLimit, hf.XoffLimit);
    NTSTATUS status = ApplyLineSettings(DeviceObject);
    UnlockPortConfig(port);
    return Complete(Irp, status, 0);
}

// The characters go to the adapter whatever EndPointCaps is: the flow characters
// first, then the error character, which is sent even when the first failed.
NTSTATUS NTAPI CharsRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (Removed(port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    Control c = ControlOf(Irp);
    if (c.Code != IOCTL_SERIAL_SET_CHARS) return Report(port, Irp, c, &port->Chars, CharsSize);
    if (c.InLength < CharsSize || !c.Buffer) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    SERIAL_CHARS chars;
    RtlCopyMemory(&chars, c.Buffer, CharsSize);
    LockPortConfig(port);
    port->Chars.EofChar = chars.EofChar;
    port->Chars.ErrorChar = chars.ErrorChar;
    port->Chars.BreakChar = chars.BreakChar;
    port->Chars.XonChar = chars.XonChar;
    port->Chars.XoffChar = chars.XoffChar;
    // The receive pump looks for the event character without a lock: it is stored whole.
    VcomWriteFlag(&port->Chars.EventChar, chars.EventChar);
    NTSTATUS status = SendPortCommand(port, CMD_FLOW_CHARS, port->Chars.XonChar, port->Chars.XoffChar);
    status = FirstFailure(status, SendPortCommand(port, CMD_ERROR_CHAR, ErrorCharEnable(port), port->Chars.ErrorChar));
    UnlockPortConfig(port);
    return Complete(Irp, status, 0);
}
