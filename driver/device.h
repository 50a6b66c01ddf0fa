// Creation and release of port devices.
#pragma once

#include "driver/port_extension.h"

NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice, PDEVICE_OBJECT* PortDevice);
NTSTATUS ReadDeviceDword(PDEVICE_OBJECT PhysicalDevice, PCWSTR ValueName, PULONG Value);
// Disables the interface, detaches, frees the link name and deletes the device.
VOID ReleasePortDevice(PortExtension* Port);
