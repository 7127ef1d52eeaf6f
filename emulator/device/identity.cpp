#include "emulator/device/identity.h"

#include "platform/usb.h"

namespace emu::device {

namespace {

constexpr uint8_t kClassInterfaceType = 0x24;
constexpr uint8_t kVendorClass = 0xFF;
constexpr uint8_t kBusPoweredRemoteWakeup = 0xA0;
constexpr uint8_t kMaxPower100mA = 50;  // units of 2 mA

void Put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

// Descriptors of an interface class adding up to exactly `bytes` (no descriptor can
// be shorter than 2 bytes, so 1 byte is rounded up to 2).
void PutFiller(std::vector<uint8_t>& out, size_t bytes) {
    while (bytes > 0) {
        size_t length = bytes > 64 ? 64 : bytes;
        if (bytes - length == 1) --length;  // never leave a 1-byte tail
        if (length < 2) length = 2;
        out.push_back(static_cast<uint8_t>(length));
        out.push_back(kClassInterfaceType);
        for (size_t i = 2; i < length; ++i) out.push_back(static_cast<uint8_t>(i));
        bytes = bytes > length ? bytes - length : 0;
    }
}

}  // namespace

std::vector<EndpointLayout> StandardEndpoints() {
    return {{kBulkIn, USB_ENDPOINT_TYPE_BULK, kMaxPacket, 0},
            {kBulkOut, USB_ENDPOINT_TYPE_BULK, kMaxPacket, 0},
            {kInterruptIn, USB_ENDPOINT_TYPE_INTERRUPT, 8, 1}};
}

std::vector<uint8_t> BuildConfigurationSet(const std::vector<EndpointLayout>& endpoints,
                                           size_t before, size_t after) {
    std::vector<uint8_t> set = {sizeof(USB_CONFIGURATION_DESCRIPTOR),
                                USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                0,
                                0,  // wTotalLength, below
                                1,  // bNumInterfaces
                                kConfigurationValue,
                                0,  // iConfiguration
                                kBusPoweredRemoteWakeup,
                                kMaxPower100mA};
    PutFiller(set, before);
    const uint8_t interface[] = {sizeof(USB_INTERFACE_DESCRIPTOR),
                                 USB_INTERFACE_DESCRIPTOR_TYPE,
                                 0,  // bInterfaceNumber
                                 0,  // bAlternateSetting
                                 static_cast<uint8_t>(endpoints.size()),
                                 kVendorClass,
                                 kVendorClass,
                                 0,
                                 0};
    set.insert(set.end(), std::begin(interface), std::end(interface));
    for (const EndpointLayout& endpoint : endpoints) {
        set.push_back(sizeof(USB_ENDPOINT_DESCRIPTOR));
        set.push_back(USB_ENDPOINT_DESCRIPTOR_TYPE);
        set.push_back(endpoint.address);
        set.push_back(endpoint.attributes);
        Put16(set, endpoint.max_packet);
        set.push_back(endpoint.interval);
    }
    PutFiller(set, after);
    set[2] = static_cast<uint8_t>(set.size());
    set[3] = static_cast<uint8_t>(set.size() >> 8);
    return set;
}

Identity Identity::Standard() {
    Identity identity;
    identity.device_descriptor = {sizeof(USB_DEVICE_DESCRIPTOR),
                                  USB_DEVICE_DESCRIPTOR_TYPE,
                                  0x10, 0x01,  // USB 1.1
                                  0, 0, 0,     // class per interface
                                  64,          // bMaxPacketSize0
                                  kVendorId & 0xFF, kVendorId >> 8,
                                  kProductId & 0xFF, kProductId >> 8,
                                  0x00, 0x01,  // bcdDevice 1.00
                                  0, 0, 0,     // no strings
                                  1};          // bNumConfigurations
    identity.configuration_set = BuildConfigurationSet(StandardEndpoints());
    return identity;
}

Identity Identity::ZeroDeviceDescriptor() {
    Identity identity = Standard();
    identity.device_descriptor.fill(0);
    return identity;
}

Identity Identity::WithEndpoints(const std::vector<EndpointLayout>& endpoints) {
    Identity identity = Standard();
    identity.configuration_set = BuildConfigurationSet(endpoints);
    return identity;
}

Identity Identity::WithPadding(size_t before, size_t after) {
    Identity identity = Standard();
    identity.configuration_set = BuildConfigurationSet(StandardEndpoints(), before, after);
    return identity;
}

}  // namespace emu::device
