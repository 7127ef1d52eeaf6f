// A configuration descriptor set read into interfaces and their endpoints, as the bus learns
// it from the device at enumeration.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace emu::usb {

struct EndpointInfo {
    uint8_t address = 0;
    uint8_t attributes = 0;  // low two bits: the transfer type
    uint16_t max_packet = 0;
    uint8_t interval = 0;
};

struct InterfaceInfo {
    uint8_t number = 0;
    uint8_t alternate = 0;
    uint8_t interface_class = 0;
    uint8_t subclass = 0;
    uint8_t protocol = 0;
    std::vector<EndpointInfo> endpoints;
};

struct ConfigurationInfo {
    uint8_t value = 0;
    std::vector<InterfaceInfo> interfaces;
    const InterfaceInfo* Find(uint8_t number, uint8_t alternate) const;
};

// Walks the set within its wTotalLength (and the bytes given), stopping at a descriptor
// shorter than 2 bytes. An interface's endpoints are the first bNumEndpoints endpoint
// descriptors after it, as USBD reads them; any more are not its pipes. Nothing when the set
// does not start with a configuration descriptor.
std::optional<ConfigurationInfo> ParseConfigurationSet(std::span<const uint8_t> set);

}  // namespace emu::usb
