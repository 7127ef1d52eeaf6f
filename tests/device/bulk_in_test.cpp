// The receive side: the address filter, the bounded FIFO, and the bulk IN transfer format
// (frame, FCS, trailer with the status byte third).
#include <gtest/gtest.h>

#include <vector>

#include "emulator/device/mac_filter.h"
#include "emulator/device/registers.h"
#include "tests/usbbus/usb_client.h"

namespace qvtest {
namespace {

namespace reg = emu::device::reg;
using Bytes = std::vector<UCHAR>;

const Bytes kOwn = {0x02, 0x51, 0x56, 0x00, 0x00, 0x01};

Bytes FrameTo(const Bytes& destination, size_t length, UCHAR tag = 0) {
    Bytes frame(length, tag);
    std::copy(destination.begin(), destination.end(), frame.begin());
    for (size_t i = 6; i < 12; ++i) frame[i] = static_cast<UCHAR>(0x10 + i);
    return frame;
}

class BulkInEndpoint : public UsbFixture {
protected:
    void SetUp() override {
        Plug();
        Configure();
        for (size_t i = 0; i < 6; ++i) Device().SetRegister(reg::StationAddress + i, kOwn[i]);
        Device().SetRegister(reg::MacControl0, reg::kReceiveEnable);
        Device().SetRegister(reg::MacControl1, reg::kMac100 | reg::kMacFullDuplex);  // PHY 1's line
    }
    Bytes Receive() {
        Bytes buffer(1536);
        URB urb = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                          buffer.data(), 1536);
        EXPECT_EQ(SubmitSync(&urb), STATUS_SUCCESS);
        buffer.resize(urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
        return buffer;
    }
};

TEST_F(BulkInEndpoint, AFrameArrivesWithItsFcsAndATrailerCarryingTheStatus) {
    const UCHAR check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(emu::device::Crc32(check), 0xCBF43926u);

    const Bytes frame = FrameTo(kOwn, 60, 0x42);
    Device().Wire().Inject(frame);
    Device().InjectReceiveStatus(reg::kRxCrcError);
    Device().Wire().Inject(frame);
    for (UCHAR status : {UCHAR{0}, reg::kRxCrcError}) {
        SCOPED_TRACE(static_cast<int>(status));
        const Bytes transfer = Receive();
        ASSERT_EQ(transfer.size(), frame.size() + 8);
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), transfer.begin()));
        // Frame and FCS leave the CRC residue: the FCS is right and sent low byte first.
        EXPECT_EQ(emu::device::Crc32({transfer.data(), frame.size() + 4}), 0x2144DF1Cu);
        EXPECT_EQ(transfer[transfer.size() - 2], status);
    }
    // Frame, FCS and trailer must fit one 1536-byte transfer.
    Device().Wire().Inject(FrameTo(kOwn, 1528));
    Device().Wire().Inject(FrameTo(kOwn, 1529));
    EXPECT_EQ(Receive().size(), 1536u);
    EXPECT_EQ(Device().Received().too_long, 1u);
}

TEST_F(BulkInEndpoint, TheFilterPassesWhatTheRegistersAllow) {
    const Bytes broadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes other = {0x02, 0x51, 0x56, 0x00, 0x00, 0x02};
    const Bytes group = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};  // CRC-32 top bits: 9
    struct Case {
        const char* name;
        const Bytes* destination;
        UCHAR control0, control2;
        UCHAR hash09;  // MulticastFilter byte 1 (bits 8 to 15)
        bool passes;
    } cases[] = {
        {"own address", &kOwn, reg::kReceiveEnable, 0, 0, true},
        {"broadcast", &broadcast, reg::kReceiveEnable, 0, 0, true},
        {"someone else", &other, reg::kReceiveEnable, 0, 0, false},
        {"someone else, promiscuous", &other, reg::kReceiveEnable, reg::kPromiscuous, 0, true},
        {"multicast, hash bit clear", &group, reg::kReceiveEnable, 0, 0xFD, false},
        {"multicast, hash bit set", &group, reg::kReceiveEnable, 0, 0x02, true},
        {"multicast, all-multicast", &group, reg::kReceiveEnable | reg::kAllMulticast, 0, 0, true},
        {"own address, receive disabled", &kOwn, 0, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Device().SetRegister(reg::MacControl0, c.control0);
        Device().SetRegister(reg::MacControl2, c.control2);
        Device().SetRegister(reg::MulticastFilter + 1, c.hash09);
        const uint64_t queued = Device().Received().queued;
        Device().Wire().Inject(FrameTo(*c.destination, 60));
        EXPECT_EQ(Device().Received().queued - queued, c.passes ? 1u : 0u);
    }
    EXPECT_EQ(Device().Received().disabled, 1u);
    EXPECT_EQ(Device().Received().filtered, 2u);
}

TEST_F(BulkInEndpoint, TheFifoHoldsWhatItCanDropsTheRestAndDeliversInOrder) {
    Device().SetReceiveCapacity(4);
    for (UCHAR tag = 1; tag <= 6; ++tag) Device().Wire().Inject(FrameTo(kOwn, 60, tag));
    EXPECT_EQ(Device().ReceiveQueued(), 4u);
    EXPECT_EQ(Device().ReceiveDrops(), 2u);
    for (UCHAR tag = 1; tag <= 4; ++tag) EXPECT_EQ(Receive()[20], tag);
    Device().Wire().Inject(FrameTo(kOwn, 60, 7));
    EXPECT_EQ(Receive()[20], 7);
}

TEST_F(BulkInEndpoint, RawTransfersArriveExactlyAsQueued) {
    for (size_t length : {0, 1, 7, 8, 1536}) {
        SCOPED_TRACE(length);
        Bytes raw(length);
        for (size_t i = 0; i < length; ++i) raw[i] = static_cast<UCHAR>(i ^ 0x5A);
        Device().QueueRaw(raw);
        EXPECT_EQ(Receive(), raw);
    }
}

}  // namespace
}  // namespace qvtest
