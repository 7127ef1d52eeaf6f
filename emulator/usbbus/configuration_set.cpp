#include "emulator/usbbus/configuration_set.h"

#include <algorithm>

#include "platform/usb.h"

namespace emu::usb {

const InterfaceInfo* ConfigurationInfo::Find(uint8_t number, uint8_t alternate) const {
    for (const InterfaceInfo& info : interfaces)
        if (info.number == number && info.alternate == alternate) return &info;
    return nullptr;
}

std::optional<ConfigurationInfo> ParseConfigurationSet(std::span<const uint8_t> set) {
    if (set.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        set[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return std::nullopt;
    const size_t total = std::min<size_t>(set.size(), set[2] | (set[3] << 8));
    ConfigurationInfo config;
    config.value = set[5];
    InterfaceInfo* current = nullptr;
    size_t declared = 0;  // the current interface's bNumEndpoints
    for (size_t at = 0; at + 2 <= total;) {
        const uint8_t length = set[at];
        const uint8_t type = set[at + 1];
        if (length < 2 || at + length > total) break;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            config.interfaces.push_back({set[at + 2], set[at + 3], set[at + 5], set[at + 6],
                                         set[at + 7], {}});
            current = &config.interfaces.back();
            declared = set[at + 4];
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   length >= sizeof(USB_ENDPOINT_DESCRIPTOR) && current != nullptr &&
                   current->endpoints.size() < declared) {
            current->endpoints.push_back(
                {set[at + 2], set[at + 3],
                 static_cast<uint16_t>(set[at + 4] | (set[at + 5] << 8)), set[at + 6]});
        }
        at += length;
    }
    return config;
}

}  // namespace emu::usb
