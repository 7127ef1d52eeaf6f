// The PnP manager: adds a device through the driver's AddDevice entry and sends PnP
// requests of any minor code to the top of the device stack above a physical device object.
#pragma once

#include "platform/io.h"

namespace emu {
class Machine;
}

namespace emu::ndis {

class Pnp {
public:
    struct Result {
        NTSTATUS returned;  // what the top device's dispatch routine returned
        NTSTATUS final;     // the request's final I/O status
    };

    explicit Pnp(Machine& machine) : machine_(machine) {}

    // Calls the driver's AddDevice at PASSIVE_LEVEL for the physical device object.
    NTSTATUS AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo);
    // Sends one PnP request to the top of the stack above `pdo` and waits for it.
    Result Send(DEVICE_OBJECT* pdo, UCHAR minor);

    static DEVICE_OBJECT* TopOfStack(DEVICE_OBJECT* device);

private:
    Machine& machine_;
};

}  // namespace emu::ndis
