// The one hosted machine: the kernel, then NDIS and the bus built on it.
#include "emulator/machine.h"

#include <cstdio>
#include <cstdlib>

#include "emulator/ndis/ndis.h"
#include "emulator/usbbus/bus.h"

namespace emu {

static Machine* current_machine = nullptr;

Machine::Machine() {
    current_machine = this;
    ndis_ = std::make_unique<ndis::Ndis>(*this);
    bus_ = std::make_unique<usb::Bus>(*this);
}

Machine::~Machine() {
    // Newest part first: NDIS and the bus may still release pool or requests as they go.
    bus_.reset();
    ndis_.reset();
    current_machine = nullptr;
}

Machine& Machine::Current() {
    if (current_machine == nullptr) {
        std::fprintf(stderr, "qvnet emulator: no machine was created\n");
        std::abort();
    }
    return *current_machine;
}

bool Machine::Exists() { return current_machine != nullptr; }

}  // namespace emu
