// The bus and its one port: plugging, enumerating, power-cycling and unplugging the device,
// the physical device object's entry points, and the check that memory being freed holds no
// URB or buffer of a request the bus still holds.
#include "emulator/usbbus/bus.h"

#include <algorithm>
#include <cstring>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/kernel.h"
#include "emulator/kernel/platform_lock.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "emulator/usbbus/urb_view.h"
#include "emulator/verifier/verifier.h"

namespace emu::usb {

namespace {

Bus* BusOf(DEVICE_OBJECT* device) { return *static_cast<Bus**>(device->DeviceExtension); }

// A request reaching a device object whose bus is already gone (the machine shutting down).
NTSTATUS NoBus(IRP* irp) {
    irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_NOT_CONNECTED;
}

NTSTATUS PnpEntry(DEVICE_OBJECT* device, IRP* irp) {
    // Reached through IoCallDriver, which lets the platform go as for any driver.
    EMU_PLATFORM_ENTRY();
    emu::Processor::PlatformScope platform(emu::Kernel::Current().Cpu());
    Bus* bus = BusOf(device);
    return bus == nullptr ? NoBus(irp) : bus->DispatchPnp(device, irp);
}

NTSTATUS InternalControlEntry(DEVICE_OBJECT* device, IRP* irp) {
    EMU_PLATFORM_ENTRY();
    emu::Processor::PlatformScope platform(emu::Kernel::Current().Cpu());
    Bus* bus = BusOf(device);
    return bus == nullptr ? NoBus(irp) : bus->DispatchInternalControl(device, irp);
}

}  // namespace

Bus::Bus(Kernel& kernel) : kernel_(kernel), self_(std::make_shared<Bus*>(this)) {
    default_pipe_.max_packet = 64;
}

Bus::~Bus() {
    *self_ = nullptr;
    for (DEVICE_OBJECT* pdo : pdos_) *static_cast<Bus**>(pdo->DeviceExtension) = nullptr;
}

// ---- The port -------------------------------------------------------------------------------

void Bus::PlugDevice(std::unique_ptr<Device> device) {
    if (device_ != nullptr && !gone_) {
        kernel_.Check().Report(Rule::Platform, "Bus::Plug",
                                "the port already holds a device; unplug it first");
        unplugged_.push_back(std::move(device));
        return;
    }
    if (device_ != nullptr) unplugged_.push_back(std::move(device_));
    RegisterLiveCheck();
    if (driver_ == nullptr) {
        driver_ = kernel_.Io().CreateDriver("usbbus");
        driver_->MajorFunction[IRP_MJ_PNP] = PnpEntry;
        driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalControlEntry;
    }
    pdo_ = kernel_.Io().CreateDevice(driver_, sizeof(Bus*), 1);
    pdos_.push_back(pdo_);
    *static_cast<Bus**>(pdo_->DeviceExtension) = this;
    device_ = std::move(device);
    gone_ = false;
    after_removal_ = 0;
    removal_reported_ = false;
    device_->SetInReadyListener([this](uint8_t endpoint) { OnInReady(endpoint); });
    Enumerate();
}

void Bus::Enumerate() {
    RetirePipes(USBD_STATUS_DEVICE_GONE);
    configuration_ = nullptr;
    default_pipe_.halted = false;
    device_->BusReset();
    address_ = next_address_++;
}

void Bus::PowerCycle() {
    if (device_ == nullptr || gone_) return;
    RetirePipes(USBD_STATUS_DEVICE_GONE);
    default_pipe_.halted = false;
    device_->PowerCycle();
    address_ = next_address_++;
    power_cycles_.push_back(kernel_.Clock().Now());
}

void Bus::Unplug() {
    if (device_ == nullptr || gone_) return;
    gone_ = true;
    device_->SetInReadyListener(nullptr);
    std::vector<uint64_t> ending;
    for (auto& [id, transfer] : transfers_) {
        if (transfer->timer != 0) kernel_.Clock().Cancel(transfer->timer);
        transfer->timer = 0;
        transfer->stage = Stage::Ending;
        ending.push_back(id);
    }
    for (auto& pipe : pipes_) {
        pipe->queue.clear();
        pipe->moving = false;
    }
    default_pipe_.queue.clear();
    default_pipe_.moving = false;
    if (!ending.empty()) {
        kernel_.Clock().After(0, "USB device removed", [this, ending] {
            for (uint64_t id : ending) Finish(id, {USBD_STATUS_DEVICE_GONE});
        });
    }
    if (unplug_listener_) unplug_listener_();
}

void Bus::RegisterLiveCheck() {
    if (live_check_registered_) return;
    live_check_registered_ = true;
    kernel_.Memory().AddLiveCheck([self = self_](const void* begin, size_t size) -> std::string {
        Bus* bus = *self;
        return bus == nullptr ? std::string() : bus->LiveIn(begin, size);
    });
}

std::string Bus::LiveIn(const void* begin, size_t size) {
    const auto* first = static_cast<const uint8_t*>(begin);
    auto inside = [&](const void* p) {
        const auto* at = static_cast<const uint8_t*>(p);
        return at >= first && at < first + size;
    };
    for (const auto& [id, transfer] : transfers_) {
        if (transfer->urb != nullptr && inside(transfer->urb)) {
            kernel_.Check().Report(Rule::UrbActive, "free",
                                    "memory holding a URB the bus still holds is freed");
            return "a URB pending at the USB bus";
        }
        if (transfer->urb != nullptr) {
            BufferView view = BufferOf(transfer->urb);
            if (view && *view.buffer != nullptr && *view.length != 0 && inside(*view.buffer))
                return "the buffer of a pending USB transfer";
        }
    }
    return {};
}

}  // namespace emu::usb
