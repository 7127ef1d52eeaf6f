// The controller's USB identity as data: its device descriptor and configuration descriptor
// set, with what sits behind its MII bus (the PHYs and their partners). Standard() is the
// real controller; the other builders serve the odd devices tests need (a zeroed
// descriptor, other endpoint layouts, sets longer than 255 bytes).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "emulator/device/topology.h"

namespace emu::device {

struct EndpointLayout {
    uint8_t address = 0;
    uint8_t attributes = 0;  // transfer type in the low two bits
    uint16_t max_packet = 0;
    uint8_t interval = 0;
};

constexpr uint16_t kVendorId = 0x5156;  // fictitious
constexpr uint16_t kProductId = 0x0101;
constexpr uint8_t kConfigurationValue = 1;
constexpr uint8_t kBulkIn = 0x81;
constexpr uint8_t kBulkOut = 0x02;
constexpr uint8_t kInterruptIn = 0x83;
constexpr uint16_t kMaxPacket = 64;

struct Identity {
    std::array<uint8_t, 18> device_descriptor{};
    std::vector<uint8_t> configuration_set;
    Topology topology;

    static Identity Standard();
    // Every byte of the device descriptor 0 (a device that answers without data).
    static Identity ZeroDeviceDescriptor();
    // One interface with these endpoints, in this order.
    static Identity WithEndpoints(const std::vector<EndpointLayout>& endpoints);
    // Class descriptors of `before` bytes ahead of the interface and `after` bytes
    // behind its endpoints, so the set runs past 255 bytes.
    static Identity WithPadding(size_t before, size_t after);
};

// bulk IN 0x81, bulk OUT 0x02, interrupt IN 0x83.
std::vector<EndpointLayout> StandardEndpoints();

// A configuration set: configuration, `before` bytes of class descriptors, the
// interface, its endpoints, `after` bytes more. wTotalLength counts everything.
std::vector<uint8_t> BuildConfigurationSet(const std::vector<EndpointLayout>& endpoints,
                                           size_t before = 0, size_t after = 0);

}  // namespace emu::device
