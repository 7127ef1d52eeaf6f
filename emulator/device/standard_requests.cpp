// The standard requests of the default pipe, as the USB standard defines them for a device
// with one configuration and one interface.
#include "emulator/device/controller.h"
#include "platform/usb.h"

namespace emu::device {

namespace {

constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kToDevice = 0, kToInterface = 1, kToEndpoint = 2;
constexpr uint8_t kStatusRemoteWakeup = 0x02;  // bit 1 of the device status

usb::ControlAnswer Stall() { return {true, {}}; }
usb::ControlAnswer Data(std::vector<uint8_t> data) { return {false, std::move(data)}; }

}  // namespace

usb::ControlAnswer Controller::Standard(const usb::Setup& setup) {
    const uint8_t recipient = setup.request_type & kRecipientMask;
    const bool in = setup.DeviceToHost();
    switch (setup.request) {
        case USB_REQUEST_GET_STATUS: {
            if (!in) return Stall();
            if (recipient == kToDevice)
                return Data({static_cast<uint8_t>(remote_wakeup_ ? kStatusRemoteWakeup : 0), 0});
            if (recipient == kToInterface && configuration_ != 0 && setup.index == 0)
                return Data({0, 0});
            if (recipient == kToEndpoint) {
                const bool* halt = HaltOf(static_cast<uint8_t>(setup.index));
                if (halt != nullptr) return Data({static_cast<uint8_t>(*halt ? 1 : 0), 0});
            }
            return Stall();
        }
        case USB_REQUEST_CLEAR_FEATURE:
        case USB_REQUEST_SET_FEATURE: {
            if (in) return Stall();
            const bool set = setup.request == USB_REQUEST_SET_FEATURE;
            if (recipient == kToDevice && setup.value == USB_FEATURE_REMOTE_WAKEUP) {
                remote_wakeup_ = set;
                return {};
            }
            if (recipient == kToEndpoint && setup.value == USB_FEATURE_ENDPOINT_STALL) {
                bool* halt = HaltOf(static_cast<uint8_t>(setup.index));
                if (halt == nullptr) return Stall();
                *halt = set;
                return {};
            }
            return Stall();
        }
        case USB_REQUEST_SET_ADDRESS:
            if (in || setup.value > 127) return Stall();
            address_ = static_cast<uint8_t>(setup.value);
            return {};
        case USB_REQUEST_GET_DESCRIPTOR: {
            if (!in || recipient != kToDevice) return Stall();
            const uint8_t type = setup.value >> 8;
            const uint8_t index = setup.value & 0xFF;
            if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0)
                return Data({identity_.device_descriptor.begin(), identity_.device_descriptor.end()});
            if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0)
                return Data(identity_.configuration_set);
            return Stall();  // no strings, one configuration
        }
        case USB_REQUEST_GET_CONFIGURATION:
            if (!in) return Stall();
            return Data({configuration_});
        case USB_REQUEST_SET_CONFIGURATION: {
            const uint8_t value = identity_.configuration_set.size() > 5
                                      ? identity_.configuration_set[5]
                                      : kConfigurationValue;
            if (in || (setup.value != 0 && setup.value != value)) return Stall();
            configuration_ = static_cast<uint8_t>(setup.value);
            halted_.fill(false);
            return {};
        }
        default:
            return Stall();
    }
}

}  // namespace emu::device
