// The serial control request dispatcher. Until it is built, control requests are
// refused.
#include "driver/driver.h"

// <= DISPATCH_LEVEL.
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT, PIRP Irp) { return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST); }
