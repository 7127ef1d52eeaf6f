// The trace hook: one record per submission and per completion, carrying what a usbmon
// capture needs.
#include <gtest/gtest.h>

#include <vector>

#include "tests/usbbus/usb_client.h"

namespace qvtest {
namespace {

using emu::usb::TraceRecord;

TEST_F(UsbFixture, TraceRecordsCarryWhatAUsbmonCaptureNeeds) {
    Plug();
    Configure();
    Device().SetRegister(0x00, 0x80);
    std::vector<TraceRecord> records;
    Bus().SetTraceHook([&](const TraceRecord& r) { records.push_back(r); });

    UCHAR registers[2];
    URB read = VendorUrb(true, 0xF0, 0, 0x10, registers, 2);
    ASSERT_EQ(SubmitSync(&read), STATUS_SUCCESS);
    UCHAR frame[60] = {58, 0, 1, 2, 3};
    URB out = BulkUrb(BulkOut(), 0, frame, sizeof frame);
    ASSERT_EQ(SubmitSync(&out), STATUS_SUCCESS);
    UCHAR buffer[1536];
    URB in = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                     sizeof buffer);
    IRP* irp = nullptr;
    SubmitAsync(&in, nullptr, &irp);
    IoCancelIrp(irp);
    Settle();

    ASSERT_EQ(records.size(), 6u);
    const TraceRecord& control_s = records[0];
    const TraceRecord& control_c = records[1];
    EXPECT_EQ(control_s.type, 'S');
    EXPECT_EQ(control_s.transfer_type, 2);
    EXPECT_EQ(control_s.endpoint, 0x80);
    EXPECT_TRUE(control_s.has_setup);
    EXPECT_EQ(control_s.setup, (std::array<uint8_t, 8>{0xC0, 0xF0, 0, 0, 0x10, 0, 2, 0}));
    EXPECT_EQ(control_s.status, -115);
    EXPECT_EQ(control_s.length, 2u);
    EXPECT_EQ(control_c.type, 'C');
    EXPECT_EQ(control_c.id, control_s.id);
    EXPECT_FALSE(control_c.has_setup);
    EXPECT_EQ(control_c.status, 0);
    EXPECT_EQ(control_c.data, std::vector<uint8_t>(registers, registers + 2));
    EXPECT_EQ(control_c.time_us - control_s.time_us, 1000u);
    EXPECT_EQ(control_c.device, Bus().DeviceAddress());
    EXPECT_EQ(control_c.bus, emu::usb::Bus::kBusNumber);

    const TraceRecord& out_s = records[2];
    EXPECT_EQ(out_s.transfer_type, 3);
    EXPECT_EQ(out_s.endpoint, 0x02);
    EXPECT_FALSE(out_s.has_setup);
    EXPECT_EQ(out_s.data, std::vector<uint8_t>(frame, frame + 60));  // OUT data at submission
    EXPECT_TRUE(records[3].data.empty());
    EXPECT_EQ(records[3].length, 60u);
    EXPECT_NE(out_s.id, control_s.id);

    EXPECT_EQ(records[4].endpoint, 0x81);
    EXPECT_EQ(records[4].length, 1536u);
    EXPECT_TRUE(records[4].data.empty());
    EXPECT_EQ(records[5].status, -2);  // unlinked
    EXPECT_EQ(records[5].id, records[4].id);
}

TEST_F(UsbFixture, TraceRecordsInDataAtCompletionAndRefusalsAsErrors) {
    Plug();
    Configure();
    std::vector<TraceRecord> records;
    Bus().SetTraceHook([&](const TraceRecord& r) { records.push_back(r); });
    const UCHAR frame[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 9};
    Device().QueueFrame(frame);
    UCHAR buffer[1536];
    URB in = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                     sizeof buffer);
    ASSERT_EQ(SubmitSync(&in), STATUS_SUCCESS);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].length, sizeof frame + 8);
    EXPECT_EQ(records[1].data, std::vector<uint8_t>(buffer, buffer + sizeof frame + 8));

    Expect(emu::Rule::UrbPipe);
    URB wrong = BulkUrb(BulkIn(), 0, buffer, 64);  // OUT on the IN pipe
    EXPECT_EQ(SubmitSync(&wrong), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].type, 'E');
    EXPECT_EQ(records[2].status, -22);
}

}  // namespace
}  // namespace qvtest
