// The controller's USB identity and its standard requests.
#include <gtest/gtest.h>

#include <vector>

#include "emulator/usbbus/configuration_set.h"
#include "tests/usbbus/usb_client.h"

namespace qvtest {
namespace {

using emu::device::Identity;

TEST(UsbIdentity, TheTablesDescribeOneInterfaceWithBulkInBulkOutAndInterruptIn) {
    const Identity standard = Identity::Standard();
    const auto& d = standard.device_descriptor;
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_NE(d[8] | d[9] << 8, 0);    // idVendor
    EXPECT_NE(d[10] | d[11] << 8, 0);  // idProduct
    EXPECT_EQ(d[17], 1);               // one configuration

    const auto& set = standard.configuration_set;
    EXPECT_EQ(set[2] | set[3] << 8, static_cast<int>(set.size()));
    const auto config = emu::usb::ParseConfigurationSet(set);
    ASSERT_TRUE(config.has_value());
    ASSERT_EQ(config->interfaces.size(), 1u);
    const auto& endpoints = config->interfaces[0].endpoints;
    ASSERT_EQ(endpoints.size(), 3u);
    EXPECT_EQ(endpoints[0].address, 0x81);
    EXPECT_EQ(endpoints[0].attributes, USB_ENDPOINT_TYPE_BULK);
    EXPECT_EQ(endpoints[0].max_packet, 64);
    EXPECT_EQ(endpoints[1].address, 0x02);
    EXPECT_EQ(endpoints[1].attributes, USB_ENDPOINT_TYPE_BULK);
    EXPECT_EQ(endpoints[1].max_packet, 64);
    EXPECT_EQ(endpoints[2].address, 0x83);
    EXPECT_EQ(endpoints[2].attributes, USB_ENDPOINT_TYPE_INTERRUPT);

    // The odd devices.
    for (uint8_t byte : Identity::ZeroDeviceDescriptor().device_descriptor) EXPECT_EQ(byte, 0);
    const auto two = emu::usb::ParseConfigurationSet(
        Identity::WithEndpoints({emu::device::StandardEndpoints()[0],
                                 emu::device::StandardEndpoints()[1]})
            .configuration_set);
    EXPECT_EQ(two->interfaces[0].endpoints.size(), 2u);
    const auto beyond = Identity::WithPadding(260, 0).configuration_set;
    EXPECT_GT(beyond.size(), 255u);
    EXPECT_EQ(beyond[269 + 1], USB_INTERFACE_DESCRIPTOR_TYPE);
    EXPECT_EQ(emu::usb::ParseConfigurationSet(beyond)->interfaces[0].endpoints.size(), 3u);
}

class StandardRequests : public UsbFixture {
protected:
    void SetUp() override { Plug(); }
    emu::usb::ControlAnswer Ask(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                uint16_t length) {
        return Device().Control({type, request, value, index, length}, {});
    }
};

TEST_F(StandardRequests, DescriptorsComeBackNoLongerThanAsked) {
    struct Case {
        UCHAR type;
        ULONG asked;
        ULONG got;
    } cases[] = {{USB_DEVICE_DESCRIPTOR_TYPE, 8, 8},
                 {USB_DEVICE_DESCRIPTOR_TYPE, 64, 18},
                 {USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, 9},
                 {USB_CONFIGURATION_DESCRIPTOR_TYPE, 255, 39}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.asked));
        std::vector<UCHAR> buffer(c.asked, 0xEE);
        URB urb = DescriptorUrb(c.type, buffer.data(), c.asked);
        EXPECT_EQ(SubmitSync(&urb), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, c.got);
        EXPECT_EQ(buffer[1], c.type);
    }
}

TEST_F(StandardRequests, RemoteWakeupFollowsTheFeatureAndShowsInBitOneOfTheStatus) {
    UCHAR status[2];
    auto device_status = [&] {
        URB urb = StatusUrb(status);
        EXPECT_EQ(SubmitSync(&urb), STATUS_SUCCESS);
        return status[0] | status[1] << 8;
    };
    EXPECT_EQ(device_status(), 0);
    URB set = FeatureUrb(true, USB_FEATURE_REMOTE_WAKEUP);
    SubmitSync(&set);
    EXPECT_TRUE(Device().RemoteWakeup());
    EXPECT_EQ(device_status(), 0x0002);
    URB clear = FeatureUrb(false, USB_FEATURE_REMOTE_WAKEUP);
    SubmitSync(&clear);
    EXPECT_FALSE(Device().RemoteWakeup());
    EXPECT_EQ(device_status(), 0);
}

TEST_F(StandardRequests, EndpointHaltAndRequestsTheDeviceDoesNotServe) {
    EXPECT_FALSE(Ask(0x02, USB_REQUEST_SET_FEATURE, USB_FEATURE_ENDPOINT_STALL, 0x81, 0).stall);
    EXPECT_EQ(Ask(0x82, USB_REQUEST_GET_STATUS, 0, 0x81, 2).data, (std::vector<uint8_t>{1, 0}));
    EXPECT_FALSE(Ask(0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, 0x81, 0).stall);
    EXPECT_EQ(Ask(0x82, USB_REQUEST_GET_STATUS, 0, 0x81, 2).data, (std::vector<uint8_t>{0, 0}));
    struct Refused {
        const char* name;
        uint8_t type, request;
        uint16_t value, index, length;
    } refused[] = {
        {"halt of an endpoint that does not exist", 0x02, USB_REQUEST_SET_FEATURE, 0, 0x85, 0},
        {"a configuration that does not exist", 0x00, USB_REQUEST_SET_CONFIGURATION, 2, 0, 0},
        {"a string descriptor", 0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0300, 0, 255},
        {"an unknown vendor request", 0xC0, 0xF2, 0, 0, 1},
        {"a class request", 0x21, 0x00, 0, 0, 0},
        {"a write with too few data bytes", 0x40, 0xF1, 0, 0x10, 6},
    };
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.name);
        EXPECT_TRUE(Ask(r.type, r.request, r.value, r.index, r.length).stall);
    }
}

}  // namespace
}  // namespace qvtest
