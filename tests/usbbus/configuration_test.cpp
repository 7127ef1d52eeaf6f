// The USBD configuration routines, and what a selected configuration gives the client.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "emulator/kernel/pool.h"
#include "emulator/usbbus/configuration_set.h"
#include "tests/usbbus/usb_client.h"

namespace qvtest {
namespace {

using emu::device::EndpointLayout;
using emu::device::Identity;

constexpr ULONG kTag = 'T' | ('e' << 8) | ('s' << 16) | ('t' << 24);

using Configuration = UsbFixture;

// The set as a driver holds it after reading `read` bytes into a pool block of that size.
USB_CONFIGURATION_DESCRIPTOR* ReadIntoPool(const std::vector<uint8_t>& set, size_t read) {
    auto* block = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, read, kTag));
    std::memcpy(block, set.data(), std::min(read, set.size()));
    return reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(block);
}

// A walk that wTotalLength takes past the block holding the set stops there and is reported:
// the client read only part of a longer set and left wTotalLength as the device gave it.
TEST_F(Configuration, ParseFindsTheInterfaceOnlyWithinTheBytesItMayRead) {
    Expect(emu::Rule::UsbdParse);
    const std::vector<uint8_t> standard = Identity::Standard().configuration_set;
    const std::vector<uint8_t> long_within = Identity::WithPadding(100, 200).configuration_set;
    const std::vector<uint8_t> long_beyond = Identity::WithPadding(260, 0).configuration_set;
    std::vector<uint8_t> short_total = standard;
    short_total[2] = 9;  // wTotalLength ends before the interface
    std::vector<uint8_t> zero_length(standard.size() + 2);
    std::copy(standard.begin(), standard.begin() + 9, zero_length.begin());
    std::copy(standard.begin() + 9, standard.end(), zero_length.begin() + 11);
    zero_length[2] = static_cast<uint8_t>(zero_length.size());
    zero_length[9] = 0;  // bLength 0, then a type byte
    zero_length[10] = 0x24;
    struct Case {
        const char* name;
        const std::vector<uint8_t>* set;
        size_t pool_bytes;  // 0: the set lies outside the pool
        long interface_at;  // -1: none found
        bool past_block;    // the walk had to stop at the end of the block
    } cases[] = {
        {"standard set in 255 bytes", &standard, 255, 9, false},
        {"long set, interface within 255", &long_within, 255, 109, false},
        {"long set, interface beyond 255, read 255", &long_beyond, 255, -1, true},
        {"long set, read only as far as its first descriptor", &long_beyond, 9, -1, true},
        {"long set, interface beyond 255, whole set", &long_beyond, 0, 269, false},
        {"wTotalLength before the interface", &short_total, 255, -1, false},
        {"descriptor of length 0 before the interface", &zero_length, 255, -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t reports_before = Check().Of(emu::Rule::UsbdParse).size();
        std::vector<uint8_t> outside = *c.set;
        auto* config = c.pool_bytes != 0
                           ? ReadIntoPool(*c.set, c.pool_bytes)
                           : reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(outside.data());
        USB_INTERFACE_DESCRIPTOR* found =
            USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
        const long at = found == nullptr ? -1
                                         : reinterpret_cast<uint8_t*>(found) -
                                               reinterpret_cast<uint8_t*>(config);
        EXPECT_EQ(at, c.interface_at);
        EXPECT_EQ(Check().Of(emu::Rule::UsbdParse).size() - reports_before, c.past_block ? 1u : 0u);
        if (c.pool_bytes != 0) ExFreePool(config);
    }
}

TEST_F(Configuration, ParseMatchesEveryCriterionGiven) {
    std::vector<uint8_t> set = Identity::Standard().configuration_set;
    auto* config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(set.data());
    auto parse = [&](LONG number, LONG alternate, LONG cls) {
        return USBD_ParseConfigurationDescriptorEx(config, config, number, alternate, cls, -1, -1);
    };
    EXPECT_NE(parse(0, 0, 0xFF), nullptr);
    EXPECT_EQ(parse(1, -1, -1), nullptr);
    EXPECT_EQ(parse(-1, 1, -1), nullptr);
    EXPECT_EQ(parse(-1, -1, 0x02), nullptr);
    // Searching from past the interface finds nothing more.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, set.data() + 18, -1, -1, -1, -1, -1),
              nullptr);
}

TEST_F(Configuration, CreateRequestSizesItForTheInterfacesPipes) {
    for (size_t pipes : {2u, 3u, 4u}) {
        SCOPED_TRACE(std::to_string(pipes) + " pipes");
        std::vector<EndpointLayout> endpoints = emu::device::StandardEndpoints();
        endpoints.resize(pipes, {0x84, USB_ENDPOINT_TYPE_BULK, 64, 0});
        std::vector<uint8_t> set = emu::device::BuildConfigurationSet(endpoints);
        auto* config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(set.data());
        USBD_INTERFACE_LIST_ENTRY list[2] = {
            {reinterpret_cast<USB_INTERFACE_DESCRIPTOR*>(set.data() + 9), nullptr}, {}};
        const size_t live_before = M().Memory().LiveCount();

        URB* urb = USBD_CreateConfigurationRequestEx(config, list);
        ASSERT_NE(urb, nullptr);
        const emu::Pool::Block* block = M().Memory().Find(urb);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block->size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, pipes));
        EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
        EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, pipes));
        EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
        EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
        EXPECT_EQ(list[0].Interface->NumberOfPipes, pipes);
        EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(pipes));
        for (size_t p = 0; p < pipes; ++p) {
            EXPECT_EQ(list[0].Interface->Pipes[p].MaximumTransferSize, 4096u);
            EXPECT_EQ(list[0].Interface->Pipes[p].PipeFlags, 0u);
        }
        ExFreePool(urb);
        EXPECT_EQ(M().Memory().LiveCount(), live_before);
    }
}

TEST_F(Configuration, SelectFillsPipesFromTheDeviceAndKeepsTheClientsSettings) {
    Plug();
    Configure();  // bulk pipes asked for 1536-byte transfers, the interrupt pipe left as built
    const USBD_INTERFACE_INFORMATION& info = Interface();
    EXPECT_EQ(Device().Configuration(), emu::device::kConfigurationValue);
    EXPECT_NE(info.InterfaceHandle, nullptr);
    EXPECT_EQ(info.Class, 0xFF);
    ASSERT_EQ(info.NumberOfPipes, 3u);
    struct Want {
        UCHAR endpoint;
        USBD_PIPE_TYPE type;
        USHORT max_packet;
        UCHAR interval;
        ULONG max_transfer;
    } want[] = {{0x81, UsbdPipeTypeBulk, 64, 0, 1536},
                {0x02, UsbdPipeTypeBulk, 64, 0, 1536},
                {0x83, UsbdPipeTypeInterrupt, 8, 1, 4096}};
    for (size_t p = 0; p < 3; ++p) {
        SCOPED_TRACE("pipe " + std::to_string(p));
        EXPECT_EQ(info.Pipes[p].EndpointAddress, want[p].endpoint);
        EXPECT_EQ(info.Pipes[p].PipeType, want[p].type);
        EXPECT_EQ(info.Pipes[p].MaximumPacketSize, want[p].max_packet);
        EXPECT_EQ(info.Pipes[p].Interval, want[p].interval);
        EXPECT_EQ(info.Pipes[p].MaximumTransferSize, want[p].max_transfer);
        EXPECT_NE(info.Pipes[p].PipeHandle, nullptr);
    }
    EXPECT_NE(info.Pipes[0].PipeHandle, info.Pipes[1].PipeHandle);
}

TEST_F(Configuration, ABulkThirdEndpointIsReportedAsABulkPipe) {
    Plug(Identity::WithEndpoints({{0x81, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                  {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                  {0x83, USB_ENDPOINT_TYPE_BULK, 64, 0}}));
    Configure();
    EXPECT_EQ(Interface().Pipes[2].PipeType, UsbdPipeTypeBulk);
}

// No pipe opens for a bulk or interrupt endpoint whose packets carry nothing: the select is
// refused and the device stays unconfigured.
TEST_F(Configuration, EndpointWithZeroMaximumPacketIsNotSelected) {
    Plug(Identity::WithEndpoints({{0x81, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                  {0x02, USB_ENDPOINT_TYPE_BULK, 0, 0},
                                  {0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8, 1}}));
    Configure(1536, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Device().Configuration(), 0);
}

TEST_F(Configuration, CyclingThePortUnconfiguresTheDeviceAndInvalidatesItsHandles) {
    Plug();
    Configure();
    const uint8_t address = Bus().DeviceAddress();
    EXPECT_EQ(SubmitSync(nullptr, IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_SUCCESS);
    ASSERT_EQ(Bus().PortCycles().size(), 1u);
    EXPECT_EQ(Bus().PortCycles()[0], Now());
    EXPECT_EQ(Device().Configuration(), 0);
    EXPECT_NE(Bus().DeviceAddress(), address);

    Expect(emu::Rule::UrbPipe);
    UCHAR frame[64];
    URB stale = BulkUrb(BulkOut(), USBD_TRANSFER_DIRECTION_OUT, frame, sizeof frame);
    EXPECT_EQ(SubmitSync(&stale), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(Check().Of(emu::Rule::UrbPipe).size(), 1u);
}

}  // namespace
}  // namespace qvtest
