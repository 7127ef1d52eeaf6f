// The one hosted machine: the kernel, then NDIS and the bus built on it.
#include "emulator/machine.h"

#include <cstdio>
#include <cstdlib>

#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/pnp.h"
#include "emulator/ndis/power.h"
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

bool Machine::SleepSystem() {
    if (asleep_) return false;
    asleep_ = true;
    slept_.clear();
    for (ndis::Miniport* adapter : ndis_->Adapters()) {
        const ndis::SleepAction action = ndis::SleepAdapter(*adapter);
        if (action != ndis::SleepAction::None) slept_.emplace_back(adapter, action);
    }
    return true;
}

std::vector<std::pair<ndis::Miniport*, int32_t>> Machine::WakeSystem() {
    std::vector<std::pair<ndis::Miniport*, int32_t>> statuses;
    if (!asleep_) return statuses;
    asleep_ = false;
    // A USB host controller that lost power across the sleep resets every device on resume.
    bus_->PowerCycle();
    for (const auto& [adapter, action] : slept_) {
        statuses.emplace_back(adapter, ndis::WakeAdapter(*adapter, action));
    }
    slept_.clear();
    return statuses;
}

bool Machine::UnplugDevice() {
    DEVICE_OBJECT* pdo = bus_->PhysicalDeviceObject();
    if (pdo == nullptr || !bus_->DevicePresent()) return false;
    // Windows XP warns the user of a surprise removal unless the miniport set
    // NDIS_ATTRIBUTE_SURPRISE_REMOVE_OK ("Handling the Surprise Removal of a NIC (NDIS
    // 5.1)"); Windows 2000 warns for every NDIS miniport (KB 298504: NDIS clears
    // SurpriseRemovalOK). NDIS halts the adapter the same way with or without the flag.
    ndis::Miniport* adapter = ndis_->AdapterOver(pdo);
    if (adapter != nullptr && adapter->IsRunning() &&
        (adapter->AttributeFlags() & NDIS_ATTRIBUTE_SURPRISE_REMOVE_OK) == 0) {
        ++unsafe_removals_;
    }
    bus_->Unplug();
    ndis::Pnp& pnp = ndis_->PnpManager();
    const ndis::Pnp::DeviceState state = pnp.StateOf(pdo);
    if (state == ndis::Pnp::DeviceState::Absent || state == ndis::Pnp::DeviceState::Removed) {
        return true;
    }
    pnp.Send(pdo, IRP_MN_SURPRISE_REMOVAL);
    pnp.Send(pdo, IRP_MN_REMOVE_DEVICE);
    // The device is gone; the machine is awake for a device plugged in later.
    for (auto it = slept_.begin(); it != slept_.end();) {
        it = it->first == adapter ? slept_.erase(it) : it + 1;
    }
    return true;
}

}  // namespace emu
