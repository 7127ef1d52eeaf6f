// The bulk OUT endpoint as the wire shows it: a transfer ends at a short or zero-length
// packet, and carries a 2-byte length and the frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "emulator/device/registers.h"
#include "tests/usbbus/usb_client.h"

namespace qvtest {
namespace {

class BulkOutEndpoint : public UsbFixture {
protected:
    void SetUp() override {
        Plug();
        Configure();
        Device().SetRegister(emu::device::reg::MacControl0, emu::device::reg::kTransmitEnable);
        Device().SetRegister(emu::device::reg::MacControl1, 0x30);  // PHY 1's line: 100 full
    }
    static std::vector<UCHAR> Frame(size_t length, UCHAR seed) {
        std::vector<UCHAR> frame(length);
        for (size_t i = 0; i < length; ++i) frame[i] = static_cast<UCHAR>(seed + i * 3);
        return frame;
    }
    // The transfer a driver builds: length, frame, filler up to 60 bytes.
    static std::vector<UCHAR> TransferOf(const std::vector<UCHAR>& frame) {
        std::vector<UCHAR> transfer(std::max<size_t>(frame.size() + 2, 60), 0xEE);
        transfer[0] = static_cast<UCHAR>(frame.size());
        transfer[1] = static_cast<UCHAR>(frame.size() >> 8);
        std::copy(frame.begin(), frame.end(), transfer.begin() + 2);
        return transfer;
    }
    void Send(std::vector<UCHAR> transfer) {
        URB urb = BulkUrb(BulkOut(), 0, transfer.empty() ? nullptr : transfer.data(),
                          static_cast<ULONG>(transfer.size()));
        ASSERT_EQ(SubmitSync(&urb), STATUS_SUCCESS);
    }
    std::vector<std::vector<UCHAR>> OnWire() {
        std::vector<std::vector<UCHAR>> frames;
        for (const auto& f : Device().Wire().Sent()) frames.push_back(f.bytes);
        return frames;
    }
};

TEST_F(BulkOutEndpoint, FramesOfEveryLengthReachTheWireWithTheirFollowUpWhenNeeded) {
    std::vector<std::vector<UCHAR>> sent;
    for (size_t length : {42, 58, 62, 126, 1514}) {
        SCOPED_TRACE(length);
        const auto frame = Frame(length, static_cast<UCHAR>(length));
        const auto transfer = TransferOf(frame);
        Send(transfer);
        if (transfer.size() % 64 == 0) {
            EXPECT_EQ(OnWire().size(), sent.size());  // not before the transfer has ended
            Send({});
        }
        sent.push_back(frame);
        EXPECT_EQ(OnWire(), sent);
        EXPECT_EQ(Device().Wire().Sent().back().time_us, Now());
    }
}

TEST_F(BulkOutEndpoint, AMissingZeroLengthFollowUpRunsIntoTheNextTransferAndLosesItsFrame) {
    const auto first = Frame(62, 1);   // a 64-byte transfer
    const auto second = Frame(42, 2);
    Send(TransferOf(first));
    Send(TransferOf(second));
    EXPECT_EQ(OnWire(), (std::vector<std::vector<UCHAR>>{first}));
    EXPECT_EQ(Device().TransmitCounters().transfers, 1u);

    // With the follow-up the next pair goes out whole.
    Send(TransferOf(first));
    Send({});
    Send(TransferOf(second));
    EXPECT_EQ(OnWire(), (std::vector<std::vector<UCHAR>>{first, first, second}));
}

TEST_F(BulkOutEndpoint, TransfersThatCarryNoFrameForTheWireSendNothing) {
    auto too_long = TransferOf(Frame(42, 3));
    too_long[0] = 100;  // the length claims more than the transfer holds
    auto zero = TransferOf(Frame(42, 4));
    zero[0] = 0;
    Send(too_long);
    Send(zero);
    EXPECT_EQ(Device().TransmitCounters().malformed, 2u);
    Device().SetRegister(emu::device::reg::MacControl0, 0);
    Send(TransferOf(Frame(42, 5)));
    EXPECT_EQ(Device().TransmitCounters().disabled_drops, 1u);
    EXPECT_TRUE(OnWire().empty());
}

}  // namespace
}  // namespace qvtest
