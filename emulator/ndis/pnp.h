// The PnP manager: adds a device through the driver's AddDevice entry and sends PnP
// requests of any minor code to the top of the device stack above a physical device object.
// Like the real one it believes what the top driver's dispatch routine returns (the status
// block only once a pended request has completed), and a device whose start failed is removed.
#pragma once

#include <map>

#include "platform/io.h"

namespace emu {
class Kernel;
}

namespace emu::ndis {

class Pnp {
public:
    struct Result {
        NTSTATUS returned;  // what the top device's dispatch routine returned
        NTSTATUS final;     // the request's final I/O status (its status block)
        NTSTATUS status;    // what the PnP manager acts on: `returned`, or `final` if it pended
    };

    // Where the PnP manager believes a device stands.
    enum class DeviceState { Absent, Added, Started, Stopped, SurpriseRemoved, Removed };

    explicit Pnp(Kernel& kernel) : kernel_(kernel) {}

    // Calls the driver's AddDevice at PASSIVE_LEVEL for the physical device object.
    NTSTATUS AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo);
    // Sends one PnP request to the top of the stack above `pdo` and waits for it if it pends.
    // A start that fails is followed by IRP_MN_REMOVE_DEVICE, as on the real platform.
    Result Send(DEVICE_OBJECT* pdo, UCHAR minor);

    DeviceState StateOf(const DEVICE_OBJECT* pdo) const;
    static DEVICE_OBJECT* TopOfStack(DEVICE_OBJECT* device);

private:
    Result SendOne(DEVICE_OBJECT* pdo, UCHAR minor);

    Kernel& kernel_;
    std::map<const DEVICE_OBJECT*, DeviceState> devices_;
};

}  // namespace emu::ndis
