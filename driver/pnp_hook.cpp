// The hook into the driver object. Unless the adapter's configuration holds "Platform",
// NDIS sees exactly one start request in the life of the driver and none of the
// capability, identifier or PnP-state queries: those go straight to the physical device
// object. Every other PnP request goes to NDIS as before.
#include "driver/driver_entry.h"

PDRIVER_ADD_DEVICE NdisAddDevice = nullptr;
PDRIVER_DISPATCH NdisPnpDispatch = nullptr;
DEVICE_OBJECT* SavedPhysicalDeviceObject = nullptr;
BOOLEAN StartedOnce = FALSE;

namespace {

// PASSIVE_LEVEL. Sends Irp to the saved physical device object, past NDIS; returns
// IoCallDriver's status.
NTSTATUS BypassNdis(IRP* Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(SavedPhysicalDeviceObject, Irp);
}

}  // namespace

// PASSIVE_LEVEL. Returns nothing.
DISCARDABLE_CODE
void HookDriverObject(DRIVER_OBJECT* DriverObject) {
    NdisAddDevice = DriverObject->DriverExtension->AddDevice;
    DriverObject->DriverExtension->AddDevice = AddDeviceHook;
    NdisPnpDispatch = DriverObject->MajorFunction[IRP_MJ_PNP];
    DriverObject->MajorFunction[IRP_MJ_PNP] = PnpDispatchHook;
}

// PASSIVE_LEVEL. NDIS's AddDevice status, unchanged.
NTSTATUS NTAPI AddDeviceHook(DRIVER_OBJECT* DriverObject, DEVICE_OBJECT* PhysicalDeviceObject) {
    SavedPhysicalDeviceObject = PhysicalDeviceObject;
    return NdisAddDevice(DriverObject, PhysicalDeviceObject);
}

// PASSIVE_LEVEL. The status of NDIS or of the physical device object, as routed.
NTSTATUS NTAPI PnpDispatchHook(DEVICE_OBJECT* DeviceObject, IRP* Irp) {
    if (PlatformPresent) return NdisPnpDispatch(DeviceObject, Irp);

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
            if (!StartedOnce) {
                // NDIS initializes the adapter during its one start request. Its status is
                // passed on as it is: a start that failed must not be reported as started,
                // or the PnP manager would use a device that never came up.
                NTSTATUS status = NdisPnpDispatch(DeviceObject, Irp);
                StartedOnce = TRUE;
                return status;
            }
            return BypassNdis(Irp);
        case IRP_MN_QUERY_CAPABILITIES:
        case IRP_MN_QUERY_ID:
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
            return BypassNdis(Irp);
        default:
            return NdisPnpDispatch(DeviceObject, Irp);
    }
}
