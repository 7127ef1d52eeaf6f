// One hosted machine, the composition root of the hosted platform: the kernel (with its
// verifier), NDIS and the USB bus with its device. A test or the command creates one; the
// platform routines the driver calls find their part of it as the current kernel, NDIS or
// bus. Exactly one exists at a time.
//
// The arrows go one way: verifier below kernel, kernel below ndis and usbbus, this file above
// them all; nothing below includes it.
#pragma once

#include <memory>

#include "emulator/kernel/kernel.h"

namespace emu {

namespace ndis {
class Ndis;
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

private:
    std::unique_ptr<ndis::Ndis> ndis_;
    std::unique_ptr<usb::Bus> bus_;
};

}  // namespace emu
