// What each URB kind becomes on the default pipe, as the device received it.
#include <gtest/gtest.h>

#include <vector>

#include "tests/usbbus/usb_client.h"

namespace qvtest {
namespace {

struct Seen {
    uint8_t request_type, request;
    uint16_t value, index, length;
    std::vector<uint8_t> data;
};

void ExpectLog(const std::vector<emu::device::ControlRecord>& log, const std::vector<Seen>& want) {
    ASSERT_EQ(log.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("request " + std::to_string(i));
        EXPECT_EQ(log[i].request_type, want[i].request_type);
        EXPECT_EQ(log[i].request, want[i].request);
        EXPECT_EQ(log[i].value, want[i].value);
        EXPECT_EQ(log[i].index, want[i].index);
        EXPECT_EQ(log[i].length, want[i].length);
        EXPECT_EQ(log[i].data, want[i].data);
        EXPECT_FALSE(log[i].stalled);
    }
}

using ControlRequests = UsbFixture;

TEST_F(ControlRequests, EachUrbKindReachesTheDeviceAsItsRequestAndTakesAMillisecond) {
    Plug();
    Device().SetRegister(0x10, 0xAA);
    Device().SetRegister(0x11, 0xBB);
    UCHAR descriptor[18] = {};
    UCHAR set[255] = {};
    UCHAR status[2] = {0xEE, 0xEE};
    UCHAR registers[2] = {};
    UCHAR one = 0x24;
    std::vector<URB> urbs = {
        DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, descriptor, sizeof descriptor),
        DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, set, sizeof set),
        FeatureUrb(false, USB_FEATURE_REMOTE_WAKEUP),
        FeatureUrb(true, USB_FEATURE_REMOTE_WAKEUP),
        StatusUrb(status),
        VendorUrb(true, 0xF0, 0, 0x10, registers, 2),
        VendorUrb(false, 0xF1, one, 0x7E, &one, 1),
    };
    for (URB& urb : urbs) {
        EXPECT_EQ(SubmitSync(&urb), STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    }
    const auto& identity = Device().UsbIdentity();
    const std::vector<uint8_t> device_bytes(identity.device_descriptor.begin(),
                                            identity.device_descriptor.end());
    ExpectLog(Device().ControlLog(),
              {{0x80, 6, 0x0100, 0, 18, device_bytes},
               {0x80, 6, 0x0200, 0, 255, identity.configuration_set},
               {0x00, 1, 1, 0, 0, {}},
               {0x00, 3, 1, 0, 0, {}},
               {0x80, 0, 0, 0, 2, {0x02, 0x00}},  // remote wake-up armed: bit 1
               {0xC0, 0xF0, 0, 0x10, 2, {0xAA, 0xBB}},
               {0x40, 0xF1, 0x24, 0x7E, 1, {0x24}}});

    // What came back, and how much of it.
    EXPECT_EQ(std::vector<uint8_t>(descriptor, descriptor + 18), device_bytes);
    EXPECT_EQ(urbs[1].UrbControlDescriptorRequest.TransferBufferLength,
              identity.configuration_set.size());
    EXPECT_EQ(status[0], 0x02);
    EXPECT_EQ(registers[0], 0xAA);
    EXPECT_EQ(Device().Register(0x7E), 0x24);
    EXPECT_EQ(Now(), 7 * emu::usb::Bus::kControlTimeUs);
}

TEST_F(ControlRequests, SelectConfigurationAndPipeResetReachTheDevice) {
    Plug();
    Configure();
    URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, BulkIn());
    EXPECT_EQ(SubmitSync(&reset), STATUS_SUCCESS);
    URB unconfigure{};
    unconfigure.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    unconfigure.UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION);
    EXPECT_EQ(SubmitSync(&unconfigure), STATUS_SUCCESS);

    const auto& log = Device().ControlLog();
    ASSERT_EQ(log.size(), 4u);  // after the configuration set read
    ExpectLog({log.begin() + 1, log.end()},
              {{0x00, 9, 1, 0, 0, {}},       // SET_CONFIGURATION with bConfigurationValue
               {0x02, 1, 0, 0x81, 0, {}},    // CLEAR_FEATURE(ENDPOINT_HALT) of the pipe
               {0x00, 9, 0, 0, 0, {}}});     // unconfigure
    EXPECT_EQ(Device().Configuration(), 0);
}

TEST_F(ControlRequests, AStalledRequestFailsTheUrbAndTheRequest) {
    Plug();
    UCHAR byte = 0;
    URB past_the_end = VendorUrb(true, 0xF0, 0, 0xFF, &byte, 2);  // registers 0xFF and 0x100
    EXPECT_EQ(SubmitSync(&past_the_end), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(past_the_end.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(LastRequest().stalled);
}

}  // namespace
}  // namespace qvtest
