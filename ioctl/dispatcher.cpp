// The serial control request dispatcher. Every control code it knows is listed whole
// (device type, function, transfer method and access), so a serial function number
// sent with another method or access is a code it does not know, and is refused as
// one. Handlers complete the request themselves; the dispatcher completes only the
// codes it answers without any action and the ones it refuses.
#include "ioctl/dispatcher.h"

#include "driver/driver.h"
#include "ioctl/line_settings.h"
#include "ioctl/status_requests.h"
#include "lines/modem_control.h"
#include "lines/wait_mask.h"
#include "port/port.h"
#include "rx/read.h"
#include "tx/immediate_char.h"

namespace {

// PASSIVE_LEVEL or the caller's IRQL; no lock. Codes that need nothing done.
NTSTATUS NTAPI NoAction(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_SUCCESS); }

struct Route {
    ULONG Code;
    PDRIVER_DISPATCH Handler;
};

const Route Routes[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, BaudRateRequest},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, QueueSizeRequest},
    {IOCTL_SERIAL_SET_LINE_CONTROL, LineControlRequest},
    {IOCTL_SERIAL_SET_BREAK_ON, ModemLineRequest},
    {IOCTL_SERIAL_SET_BREAK_OFF, ModemLineRequest},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, ImmediateCharRequest},
    {IOCTL_SERIAL_SET_TIMEOUTS, TimeoutsRequest},
    {IOCTL_SERIAL_GET_TIMEOUTS, TimeoutsRequest},
    {IOCTL_SERIAL_SET_DTR, ModemLineRequest},
    {IOCTL_SERIAL_CLR_DTR, ModemLineRequest},
    {IOCTL_SERIAL_RESET_DEVICE, NoAction},
    {IOCTL_SERIAL_SET_RTS, ModemLineRequest},
    {IOCTL_SERIAL_CLR_RTS, ModemLineRequest},
    {IOCTL_SERIAL_SET_XOFF, NoAction},
    {IOCTL_SERIAL_SET_XON, NoAction},
    {IOCTL_SERIAL_GET_WAIT_MASK, WaitMaskRequest},
    {IOCTL_SERIAL_SET_WAIT_MASK, WaitMaskRequest},
    {IOCTL_SERIAL_WAIT_ON_MASK, WaitOnMaskRequest},
    {IOCTL_SERIAL_PURGE, PurgeRequest},
    {IOCTL_SERIAL_GET_BAUD_RATE, BaudRateRequest},
    {IOCTL_SERIAL_GET_LINE_CONTROL, LineControlRequest},
    {IOCTL_SERIAL_GET_CHARS, CharsRequest},
    {IOCTL_SERIAL_SET_CHARS, CharsRequest},
    {IOCTL_SERIAL_GET_HANDFLOW, HandFlowRequest},
    {IOCTL_SERIAL_SET_HANDFLOW, HandFlowRequest},
    {IOCTL_SERIAL_GET_MODEMSTATUS, StatusRequest},
    {IOCTL_SERIAL_GET_COMMSTATUS, StatusRequest},
    {IOCTL_SERIAL_XOFF_COUNTER, NoAction},
    {IOCTL_SERIAL_GET_PROPERTIES, StatusRequest},
    {IOCTL_SERIAL_GET_DTRRTS, ModemControlRequest},
    {IOCTL_SERIAL_LSRMST_INSERT, NoAction},
    {IOCTL_SERIAL_CONFIG_SIZE, StatusRequest},
    {IOCTL_SERIAL_GET_STATS, StatusRequest},
    {IOCTL_SERIAL_CLEAR_STATS, StatusRequest},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, ModemControlRequest},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, ModemControlRequest},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, NoAction},
    {IOCTL_PRIVATE_RESET_RX_PIPE, StatusRequest},
    {IOCTL_PRIVATE_RESET_TX_PIPE, StatusRequest},
};

}  // namespace

// The caller's IRQL (PASSIVE_LEVEL for applications); no lock. The get and set
// comm-config codes, serial functions 40 to 199 and above 201, and every code of
// another device type are not in the table.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Irp->IoStatus.Information = 0;
    ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    for (const Route& route : Routes)
        if (route.Code == code) return route.Handler(DeviceObject, Irp);
    return CompleteRequest(Irp, STATUS_NOT_SUPPORTED);
}
