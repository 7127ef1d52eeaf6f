// One hosted machine, the composition root of the hosted platform: the kernel (with its
// verifier), NDIS and the USB bus with its device. A test or the command creates one; the
// platform routines the driver calls find their part of it as the current kernel, NDIS or
// bus. Exactly one exists at a time.
//
// The arrows go one way: verifier below kernel, kernel below ndis and usbbus, this file above
// them all; nothing below includes it.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "emulator/kernel/kernel.h"

namespace emu {

namespace ndis {
class Miniport;
class Ndis;
enum class SleepAction;
}
namespace usb {
class Bus;
}

class Machine : public Kernel {
public:
    Machine();
    ~Machine();

    // The machine a test or the command made; aborts with a message when there is none.
    static Machine& Current();
    static bool Exists();

    ndis::Ndis& Ndis() { return *ndis_; }
    usb::Bus& Bus() { return *bus_; }

    // ---- System power and the USB port, as the PnP and power managers follow them --------
    // The system goes to sleep: NDIS halts every running adapter it does not power-manage and
    // powers the others down. False (nothing done) when it already sleeps.
    bool SleepSystem();
    // The system wakes: the USB port's power came back, so the device is reset and has lost
    // its configuration; NDIS initializes each adapter it halted again, on the same device
    // object, and powers the others up. The adapters' statuses, in order; empty when the
    // system was not asleep.
    std::vector<std::pair<ndis::Miniport*, int32_t>> WakeSystem();
    bool Asleep() const { return asleep_; }
    // Surprise removal: the device leaves the port, then the PnP manager sends
    // IRP_MN_SURPRISE_REMOVAL (NDIS halts the adapter) and IRP_MN_REMOVE_DEVICE. False when no
    // device was plugged in.
    bool UnplugDevice();
    // Surprise removals Windows XP would have warned the user about ("Unsafe Removal of
    // Device"), because the adapter's miniport did not set NDIS_ATTRIBUTE_SURPRISE_REMOVE_OK.
    int UnsafeRemovals() const { return unsafe_removals_; }

private:
    std::unique_ptr<ndis::Ndis> ndis_;
    std::unique_ptr<usb::Bus> bus_;
    bool asleep_ = false;
    std::vector<std::pair<ndis::Miniport*, ndis::SleepAction>> slept_;
    int unsafe_removals_ = 0;
};

}  // namespace emu
