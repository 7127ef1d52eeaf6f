// Bulk pipes: bus time by packets, IN transfers that wait for data and report what moved,
// and a stalled pipe that stays halted until it is reset.
#include <gtest/gtest.h>

#include <vector>

#include "tests/usbbus/usb_client.h"

namespace qvtest {
namespace {

class BulkPipes : public UsbFixture {
protected:
    void SetUp() override {
        Plug();
        Configure();
        Device().SetRegister(0x00, 0xC0);  // transmit and receive enabled
    }
};

TEST_F(BulkPipes, OutTransfersTakeTheirPacketsBusTimeNineteenPacketsAFrame) {
    // 19 full packets fill one 1 ms frame; queued transfers follow one another.
    std::vector<UCHAR> transfer(19 * 64);
    transfer[0] = 0xFE;
    transfer[1] = 0x04;  // 1278: the whole transfer after the length
    URB first = BulkUrb(BulkOut(), 0, transfer.data(), 19 * 64);
    URB second = BulkUrb(BulkOut(), 0, transfer.data(), 19 * 64);
    URB zero = BulkUrb(BulkOut(), 0, nullptr, 0);
    const uint64_t start = Now();
    Completion& a = SubmitAsync(&first);
    Completion& b = SubmitAsync(&second);
    Completion& c = SubmitAsync(&zero);
    Settle();
    EXPECT_EQ(a.time_us - start, 1000u);
    EXPECT_EQ(b.time_us - start, 2000u);
    EXPECT_EQ(c.time_us - start, 2053u);  // one zero-length packet: 1/19 ms, rounded up
    EXPECT_EQ(first.UrbBulkOrInterruptTransfer.TransferBufferLength, 19u * 64u);
}

TEST_F(BulkPipes, InTransfersWaitForDataAndReportWhatMoved) {
    UCHAR buffer[1536];
    struct Case {
        const char* name;
        size_t queued;      // bytes the device sends
        ULONG asked;        // TransferBufferLength
        ULONG flags;
        NTSTATUS status;
        USBD_STATUS urb_status;
        ULONG moved;
    } cases[] = {
        {"short, allowed", 68, 1536, USBD_SHORT_TRANSFER_OK, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 68},
        {"exactly full", 1536, 1536, USBD_SHORT_TRANSFER_OK, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 1536},
        {"zero length", 0, 1536, USBD_SHORT_TRANSFER_OK, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0},
        {"short, not allowed", 68, 1536, 0, STATUS_UNSUCCESSFUL, emu::usb::kStatusShortTransfer, 68},
        {"more than the buffer", 200, 128, USBD_SHORT_TRANSFER_OK, STATUS_UNSUCCESSFUL,
         USBD_STATUS_DATA_OVERRUN, 128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        URB urb = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | c.flags, buffer, c.asked);
        Completion& done = SubmitAsync(&urb);
        Advance(10'000);
        EXPECT_FALSE(done.done);
        std::vector<uint8_t> data(c.queued);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
        Device().QueueRaw(data);
        Settle();
        EXPECT_EQ(done.status, c.status);
        EXPECT_EQ(urb.UrbHeader.Status, c.urb_status);
        EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, c.moved);
        EXPECT_TRUE(std::equal(buffer, buffer + c.moved, data.begin()));
    }
}

TEST_F(BulkPipes, AStalledPipeStaysHaltedUntilReset) {
    Bus().Faults().Add({emu::usb::match::Endpoint(0x02), emu::usb::FaultAction::Stall});
    UCHAR frame[60] = {58, 0};
    URB urb = BulkUrb(BulkOut(), 0, frame, sizeof frame);
    EXPECT_EQ(SubmitSync(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);  // nothing moved
    urb = BulkUrb(BulkOut(), 0, frame, sizeof frame);
    EXPECT_EQ(SubmitSync(&urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, BulkOut());
    EXPECT_EQ(SubmitSync(&reset), STATUS_SUCCESS);
    urb = BulkUrb(BulkOut(), 0, frame, sizeof frame);
    EXPECT_EQ(SubmitSync(&urb), STATUS_SUCCESS);
    EXPECT_EQ(Device().Wire().Sent().size(), 1u);
}

}  // namespace
}  // namespace qvtest
