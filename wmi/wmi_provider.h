// The port's WMI provider: registration and IRP_MJ_SYSTEM_CONTROL.
#pragma once

#include "driver/port_extension.h"

constexpr ULONG WMI_GUID_COUNT = 6;

NTSTATUS WmiRegister(PortExtension* Port);
VOID WmiDeregister(PortExtension* Port);
