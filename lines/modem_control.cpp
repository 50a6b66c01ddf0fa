// The modem control lines: DTR, RTS and break, driven by the adapter from the one
// ModemControlByte the driver keeps and sends whole with CMD_MODEM_CONTROL after each
// change. Every change and its command happen under ConfigLock, so two requests
// changing different bits cannot lose either change and the adapter ends with the
// byte that is stored.
#include "lines/modem_control.h"

#include "driver/driver.h"
#include "lower/port_command.h"

namespace {

constexpr ULONG RegisterSize = sizeof(ULONG);
// The modem control register's bits as a 16550 UART lays them out (the serial
// interface defines no header constant for them); OUT1, OUT2 and LOOP mean nothing here.
constexpr ULONG MCR_DTR = 0x01;
constexpr ULONG MCR_RTS = 0x02;

BOOLEAN Removed(PortExtension* Port) { return PortRemoved(Port); }

// ConfigLock held. Whether a handshake of the stored SERIAL_HANDFLOW drives the line.
BOOLEAN DtrUnderHandshake(PortExtension* Port)
{
    return (Port->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
}
BOOLEAN RtsUnderHandshake(PortExtension* Port)
{
    return (Port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
}

// PASSIVE_LEVEL; ConfigLock held. Sets or clears bits of ModemControlByte and sends
// the byte when `Send` says the adapter is to hear of it.
NTSTATUS ChangeBits(PortExtension* Port, UCHAR Bits, BOOLEAN On, BOOLEAN Send)
{
    if (On)
        Port->ModemControlByte |= Bits;
    else
        Port->ModemControlByte &= (UCHAR)~Bits;
    return Send ? SendPortCommand(Port, CMD_MODEM_CONTROL, Port->ModemControlByte) : STATUS_SUCCESS;
}

// PASSIVE_LEVEL; takes ConfigLock. The register value the two GET requests report.
ULONG LineBits(PortExtension* Port, ULONG DtrBit, ULONG RtsBit)
{
    LockPortConfig(Port);
    UCHAR byte = Port->ModemControlByte;
    UnlockPortConfig(Port);
    return ((byte & MCB_DTR) ? DtrBit : 0) | ((byte & MCB_RTS) ? RtsBit : 0);
}

}  // namespace

NTSTATUS NTAPI ModemLineRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (Removed(port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status = STATUS_SUCCESS;
    LockPortConfig(port);
    switch (code) {
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        if (DtrUnderHandshake(port))
            status = STATUS_INVALID_PARAMETER;
        else
            status = ChangeBits(port, MCB_DTR, code == IOCTL_SERIAL_SET_DTR, port->EndPointCaps != 0);
        break;
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
        if (RtsUnderHandshake(port))
            status = STATUS_INVALID_PARAMETER;
        else
            status = ChangeBits(port, MCB_RTS, code == IOCTL_SERIAL_SET_RTS, port->EndPointCaps != 0);
        break;
    default:  // the two break codes: only an adapter of EndPointCaps 2 has a break line
        if (port->EndPointCaps == 2) status = ChangeBits(port, MCB_BREAK, code == IOCTL_SERIAL_SET_BREAK_ON, TRUE);
        break;
    }
    UnlockPortConfig(port);
    return CompleteRequestWith(Irp, status, 0, IO_NO_INCREMENT);
}

NTSTATUS NTAPI ModemControlRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PortExtension* port = PortOf(DeviceObject);
    if (Removed(port)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PULONG buffer = (PULONG)Irp->AssociatedIrp.SystemBuffer;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_MODEM_CONTROL: {
        if (stack->Parameters.DeviceIoControl.InputBufferLength < RegisterSize || !buffer)
            return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
        ULONG value = *buffer;
        // Whatever the handshake modes and EndPointCaps: the register is the
        // application's direct say over both lines.
        LockPortConfig(port);
        UCHAR byte = (UCHAR)(port->ModemControlByte & ~(MCB_DTR | MCB_RTS));
        if (value & MCR_DTR) byte |= MCB_DTR;
        if (value & MCR_RTS) byte |= MCB_RTS;
        port->ModemControlByte = byte;
        NTSTATUS status = SendPortCommand(port, CMD_MODEM_CONTROL, byte);
        UnlockPortConfig(port);
        return CompleteRequestWith(Irp, status, 0, IO_SERIAL_INCREMENT);
    }
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < RegisterSize || !buffer)
            return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
        *buffer = LineBits(port, MCR_DTR, MCR_RTS);
        return CompleteRequestWith(Irp, STATUS_SUCCESS, RegisterSize, IO_SERIAL_INCREMENT);
    default:  // IOCTL_SERIAL_GET_DTRRTS
        if (stack->Parameters.DeviceIoControl.OutputBufferLength < RegisterSize || !buffer)
            return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
        *buffer = LineBits(port, SERIAL_DTR_STATE, SERIAL_RTS_STATE);
        return CompleteRequestWith(Irp, STATUS_SUCCESS, RegisterSize, IO_NO_INCREMENT);
    }
}
