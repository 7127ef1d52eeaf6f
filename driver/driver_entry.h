// The driver's entry point and its hooks into the driver object that NDIS filled in.
#pragma once

#include "controller/configuration.h"  // PlatformPresent, which the PnP hook routes by
#include "platform/io.h"
#include "platform/types.h"

// Driver-wide values, one set per loaded driver; zero at load and never reset.
extern PDRIVER_ADD_DEVICE NdisAddDevice;         // NDIS's own AddDevice routine
extern PDRIVER_DISPATCH NdisPnpDispatch;         // NDIS's own IRP_MJ_PNP routine
extern DEVICE_OBJECT* SavedPhysicalDeviceObject; // from the most recent AddDevice call
extern BOOLEAN StartedOnce;                      // NDIS has been given its one start request

// PASSIVE_LEVEL. Registers the miniport with NDIS and hooks the driver object.
// STATUS_SUCCESS, or STATUS_UNSUCCESSFUL when registration failed (nothing is hooked then).
extern "C" NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* DriverObject,
                                      UNICODE_STRING* RegistryPath);

// PASSIVE_LEVEL, after registration. Saves NDIS's AddDevice and PnP routines and puts the
// hooks in their place. Returns nothing.
void HookDriverObject(DRIVER_OBJECT* DriverObject);

// PASSIVE_LEVEL. Notes the physical device object, then returns NDIS's AddDevice status.
NTSTATUS NTAPI AddDeviceHook(DRIVER_OBJECT* DriverObject, DEVICE_OBJECT* PhysicalDeviceObject);

// PASSIVE_LEVEL. Sends a PnP request to NDIS, or around it to the saved physical device
// object; returns the status of whichever handled it (see the routing in pnp_hook.cpp).
NTSTATUS NTAPI PnpDispatchHook(DEVICE_OBJECT* DeviceObject, IRP* Irp);
