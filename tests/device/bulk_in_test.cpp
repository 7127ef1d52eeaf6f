// The receive side: the address filter, the bounded FIFO, and the bulk IN transfer format
// (frame, FCS, trailer with the status byte third).
#include <gtest/gtest.h>

#include <vector>

#include "emulator/device/mac_filter.h"
#include "emulator/device/registers.h"
#include "tests/device/mii_client.h"

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

class BulkInEndpoint : public RegisterClient {
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

TEST_F(BulkInEndpoint, TheFilterPassesWhatTheRegistersAllowAndCountsEachRefusalByReason) {
    const Bytes broadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes other = {0x02, 0x51, 0x56, 0x00, 0x00, 0x02};
    const Bytes group = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};  // CRC-32 top bits: 9
    const Bytes only9 = {0x00, 0x02, 0, 0, 0, 0, 0, 0};
    const Bytes all_but9 = {0xFF, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes all(8, 0xFF);
    constexpr UCHAR on = reg::kReceiveEnable, all_multicast = reg::kAllMulticast;
    enum Outcome { kQueued, kReceiverOff, kOtherStation, kNotHashed };
    struct Case {
        const char* name;
        const Bytes* destination;
        UCHAR control0, control2;
        const Bytes* hash;
        Outcome outcome;
    } cases[] = {
        {"own address", &kOwn, on, 0, &all_but9, kQueued},
        {"broadcast", &broadcast, on, 0, &all_but9, kQueued},
        {"someone else", &other, on, 0, &all, kOtherStation},
        {"someone else, all-multicast", &other, on | all_multicast, 0, &all, kOtherStation},
        {"someone else, promiscuous", &other, on, reg::kPromiscuous, &all_but9, kQueued},
        {"multicast, hash bit clear", &group, on, 0, &all_but9, kNotHashed},
        {"multicast, hash bit set", &group, on, 0, &only9, kQueued},
        {"multicast, all-multicast", &group, on | all_multicast, 0, &all_but9, kQueued},
        {"multicast, promiscuous", &group, on, reg::kPromiscuous, &all_but9, kQueued},
        {"own address, receiver off", &kOwn, 0, 0, &all, kReceiverOff},
        {"someone else, promiscuous, receiver off", &other, 0, reg::kPromiscuous, &all,
         kReceiverOff},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // As a driver programs them: MacControl0 to 2 in one write, then the hash.
        Write(reg::MacControl0, {c.control0, reg::kMac100 | reg::kMacFullDuplex, c.control2});
        Write(reg::MulticastFilter, *c.hash);
        const emu::device::ReceiveCounters before = Device().Received();
        const size_t in_fifo = Device().ReceiveQueued();
        Device().Wire().Inject(FrameTo(*c.destination, 60));
        const emu::device::ReceiveCounters& after = Device().Received();
        EXPECT_EQ(after.frames - before.frames, 1u);
        EXPECT_EQ(after.queued - before.queued, c.outcome == kQueued ? 1u : 0u);
        EXPECT_EQ(Device().ReceiveQueued() - in_fifo, c.outcome == kQueued ? 1u : 0u);
        EXPECT_EQ(after.disabled - before.disabled, c.outcome == kReceiverOff ? 1u : 0u);
        EXPECT_EQ(after.filtered_other_station - before.filtered_other_station,
                  c.outcome == kOtherStation ? 1u : 0u);
        EXPECT_EQ(after.filtered_multicast - before.filtered_multicast,
                  c.outcome == kNotHashed ? 1u : 0u);
    }
    // A frame too short to hold a destination address passes nothing, not even promiscuous.
    Write(reg::MacControl0, {on, reg::kMac100 | reg::kMacFullDuplex, reg::kPromiscuous});
    Device().Wire().Inject(Bytes(5, 0xFF));
    const emu::device::ReceiveCounters& counted = Device().Received();
    EXPECT_EQ(counted.filtered_short, 1u);
    EXPECT_EQ(counted.filtered, counted.filtered_other_station + counted.filtered_multicast +
                                    counted.filtered_short);
    EXPECT_EQ(counted.filtered, 4u);
    EXPECT_EQ(counted.disabled, 2u);
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
