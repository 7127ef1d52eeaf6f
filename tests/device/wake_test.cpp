// The wake-up logic: three frame slots (mask and CRC-16/GENIBUS), the magic packet and link
// change, each switched on by its bit of WakeControl, programmed through vendor requests as a
// driver does, and judged on every frame the PHY carries, whatever the receiver and the
// address filter make of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "emulator/device/topology.h"
#include "emulator/device/wake.h"
#include "tests/device/mii_client.h"

namespace qvtest {
namespace {

namespace reg = emu::device::reg;
using emu::device::WakeReason;
using Bytes = std::vector<UCHAR>;

const Bytes kOwn = {0x02, 0x51, 0x56, 0x00, 0x00, 0x01};
const Bytes kOther = {0x02, 0x51, 0x56, 0x00, 0x00, 0x02};
constexpr UCHAR kAllSlots = reg::kWakeSlot0On | reg::kWakeSlot1On | reg::kWakeSlot2On;
constexpr USHORT kDeviceRemoteWakeup = 1;

Bytes Ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A 60-byte frame: destination, a source, an EtherType, then bytes counting up.
Bytes FrameTo(const Bytes& destination) {
    Bytes frame(60);
    std::copy(destination.begin(), destination.end(), frame.begin());
    for (size_t i = 6; i < frame.size(); ++i) frame[i] = static_cast<UCHAR>(i * 7);
    frame[12] = 0x08;
    frame[13] = 0x06;
    return frame;
}

// The frame bytes a mask selects, gathered plainly: the device walks the mask its own way.
Bytes Selected(const Bytes& mask, const Bytes& frame) {
    Bytes bytes;
    for (size_t i = 0; i < mask.size(); ++i)
        for (size_t j = 0; j < 8; ++j)
            if (mask[i] >> j & 1) bytes.push_back(frame.at(8 * i + j));
    return bytes;
}

std::optional<uint16_t> CrcOverMask(const Bytes& mask, std::span<const uint8_t> frame) {
    Bytes full(emu::device::kWakeMaskBytes, 0);
    std::copy(mask.begin(), mask.end(), full.begin());
    return emu::device::SelectedBytesCrc(
        std::span<const uint8_t, emu::device::kWakeMaskBytes>(full.data(), full.size()), frame);
}

TEST(WakeCrc, IsGenibusOverTheSelectedBytesInFrameOrder) {
    EXPECT_EQ(emu::device::WakeCrc(Ascii("123456789")), 0xD64E);  // the catalogue check value
    EXPECT_EQ(CrcOverMask({0xFF, 0x01}, Ascii("123456789abc")), 0xD64E);
    // A clear bit skips its byte; bytes after the last selected one do not matter.
    EXPECT_EQ(CrcOverMask({0x05}, Ascii("axc")), emu::device::WakeCrc(Ascii("ac")));
    EXPECT_EQ(CrcOverMask({0x05}, Ascii("aycz")), emu::device::WakeCrc(Ascii("ac")));
    // Nothing selected: the complemented initial value.
    EXPECT_EQ(CrcOverMask({}, Ascii("abc")), 0x0000);
    // Byte 127, the last a mask reaches: beyond a 127-byte frame, inside a 128-byte one.
    Bytes mask(16, 0);
    mask[15] = 0x80;
    EXPECT_EQ(CrcOverMask(mask, Bytes(127, 0x33)), std::nullopt);
    EXPECT_EQ(CrcOverMask(mask, Bytes(128, 0x33)), emu::device::WakeCrc(Bytes{0x33}));
}

class WakeUp : public RegisterClient {
protected:
    void PlugWith(emu::device::Topology topology = {}) {
        emu::device::Identity identity = emu::device::Identity::Standard();
        identity.topology = topology;
        Plug(std::move(identity));
        Configure();
        Write(reg::StationAddress, kOwn);
        Receiver(true);
    }
    void SetUp() override { PlugWith(); }
    void Receiver(bool on) {
        Write(reg::MacControl0, {static_cast<UCHAR>(on ? reg::kReceiveEnable : 0),
                                 reg::kMac100 | reg::kMacFullDuplex, 0x00});
    }
    // As a driver programs a slot: the 19-byte image at its first register.
    void Program(int slot, const Bytes& mask, uint16_t crc) {
        Bytes image(emu::device::kWakeSlotSize, 0);
        std::copy(mask.begin(), mask.end(), image.begin());
        image[17] = static_cast<UCHAR>(crc);
        image[18] = static_cast<UCHAR>(crc >> 8);
        Write(kSlotRegister[slot], image);
    }
    void Control(UCHAR value) { Write(reg::WakeControl, {value, 0x00}); }
    // The wake events a frame from the wire adds.
    std::vector<emu::device::WakeEvent> Arrive(const Bytes& frame) {
        const size_t before = Device().WakeEvents().size();
        Device().Wire().Inject(frame);
        const auto& events = Device().WakeEvents();
        return {events.begin() + static_cast<std::ptrdiff_t>(before), events.end()};
    }

    static constexpr UCHAR kSlotRegister[] = {0x30, 0x48, 0x60};
    static constexpr UCHAR kSlotBit[] = {0x20, 0x10, 0x08};
};

// Selects the EtherType (bytes 12, 13), bytes 20 to 23 and byte 41; leaves the rest.
const Bytes kMask = {0x00, 0x30, 0xF0, 0x00, 0x00, 0x02};
constexpr size_t kSelectedByte = 21, kUnselectedByte = 19;

TEST_F(WakeUp, AFrameWakesThroughAnEnabledSlotWhoseSelectedBytesItCarries) {
    const Bytes frame = FrameTo(kOwn);
    const uint16_t crc = emu::device::WakeCrc(Selected(kMask, frame));
    for (int slot = 0; slot < 3; ++slot) {
        SCOPED_TRACE(slot);
        // The other two slots hold the same mask with another CRC, so they match nothing.
        for (int n = 0; n < 3; ++n) Program(n, kMask, n == slot ? crc : crc ^ 0x0100);
        struct Case {
            const char* name;
            size_t changed_byte;  // SIZE_MAX: none
            UCHAR control;
            bool wakes;
        } cases[] = {
            {"the pattern", SIZE_MAX, kSlotBit[slot], true},
            {"a selected byte differs", kSelectedByte, kSlotBit[slot], false},
            {"only an unselected byte differs", kUnselectedByte, kSlotBit[slot], true},
            {"the slot off, the others on", SIZE_MAX,
             static_cast<UCHAR>((kAllSlots & ~kSlotBit[slot]) | 0x04), false},
            {"magic packet and link change on, no slot", SIZE_MAX,
             reg::kWakeMagicPacket | reg::kWakeLinkChange | 0x04, false},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            Control(c.control);
            Advance(1000);
            Bytes arriving = frame;
            if (c.changed_byte != SIZE_MAX) arriving[c.changed_byte] ^= 0x40;
            const auto events = Arrive(arriving);
            if (!c.wakes) {
                EXPECT_TRUE(events.empty());
                continue;
            }
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].reason, WakeReason::kFrameSlot);
            EXPECT_EQ(events[0].slot, slot);
            EXPECT_EQ(events[0].time_us, Now());
        }
    }
}

TEST_F(WakeUp, FramesTheReceiverOrTheFilterRefuseStillWakeButOnlyThroughALinkedPhy) {
    const Bytes frame = FrameTo(kOther);
    Program(1, kMask, emu::device::WakeCrc(Selected(kMask, frame)));
    Control(reg::kWakeSlot1On | 0x04);
    // The host enables remote wake-up before it suspends: resume would be signalled.
    URB feature = FeatureUrb(true, kDeviceRemoteWakeup);
    ASSERT_EQ(SubmitSync(&feature), STATUS_SUCCESS);

    Receiver(false);
    auto events = Arrive(frame);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].slot, 1);
    EXPECT_TRUE(events[0].remote_wakeup);
    EXPECT_EQ(Device().Received().disabled, 1u);

    Receiver(true);
    EXPECT_EQ(Arrive(frame).size(), 1u);
    EXPECT_EQ(Device().Received().filtered_other_station, 1u);
    EXPECT_EQ(Device().Received().queued, 0u);

    MiiWrite(1, 0, 0x3500);  // PHY 1 isolated: the MAC hears nothing
    EXPECT_TRUE(Arrive(frame).empty());
    EXPECT_TRUE(Device().WouldWake(frame).Any());  // the pattern itself still matches
}

TEST_F(WakeUp, AByteSelectedBeyondTheFramesEndNeverMatches) {
    // Bytes 0 to 5 and byte 64; the CRC of the six bytes alone, as a walk stopping at the end of
    // a 60-byte frame would have it.
    Bytes mask(16, 0);
    mask[0] = 0x3F;
    mask[8] = 0x01;
    const Bytes frame = FrameTo(kOwn);
    Program(0, mask, emu::device::WakeCrc(Bytes(frame.begin(), frame.begin() + 6)));
    Control(reg::kWakeSlot0On);
    EXPECT_TRUE(Arrive(frame).empty());

    Bytes longer = frame;
    longer.resize(65, 0x99);
    Program(0, mask, emu::device::WakeCrc(Selected(mask, longer)));
    EXPECT_EQ(Arrive(longer).size(), 1u);
}

// Six 0xFF bytes (or `sync` of them) and the address `copies` times.
Bytes MagicPacket(const Bytes& address, size_t copies = 16, size_t sync = 6) {
    Bytes payload(sync, 0xFF);
    for (size_t i = 0; i < copies; ++i)
        payload.insert(payload.end(), address.begin(), address.end());
    return payload;
}

TEST_F(WakeUp, TheMagicPacketWakesAnywhereInTheFrameWhenItsBitIsOn) {
    constexpr UCHAR on = reg::kWakeMagicPacket | 0x04, off = reg::kWakeLinkChange | kAllSlots;
    // The slots, when on, select byte 6 (the same in every frame here) and match nothing.
    const uint16_t no_match = emu::device::WakeCrc(Bytes{FrameTo(kOwn)[6]}) ^ 0xFFFF;
    for (int n = 0; n < 3; ++n) Program(n, {0x40}, no_match);
    struct Case {
        const char* name;
        Bytes destination;
        size_t offset;
        Bytes payload;
        UCHAR control;
        bool wakes;
    } cases[] = {
        {"behind the header", kOwn, 14, MagicPacket(kOwn), on, true},
        {"bit off", kOwn, 14, MagicPacket(kOwn), off, false},
        {"broadcast, behind extra 0xFF bytes at an odd offset", Bytes(6, 0xFF), 17,
         MagicPacket(kOwn, 16, 9), on, true},
        {"to another station, at the end of a long frame", kOther, 1380, MagicPacket(kOwn), on,
         true},
        {"fifteen copies", kOwn, 14, MagicPacket(kOwn, 15), on, false},
        {"another station's address", kOwn, 14, MagicPacket(kOther), on, false},
        {"five 0xFF bytes", kOwn, 14, MagicPacket(kOwn, 16, 5), on, false},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        Control(c.control);
        Advance(500);
        Bytes frame = FrameTo(c.destination);
        frame.resize(std::max(frame.size(), c.offset + c.payload.size() + 30), 0x11);
        std::copy(c.payload.begin(), c.payload.end(), frame.begin() + c.offset);
        const auto events = Arrive(frame);
        if (!c.wakes) {
            EXPECT_TRUE(events.empty());
            continue;
        }
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].reason, WakeReason::kMagicPacket);
        EXPECT_EQ(events[0].slot, -1);
        EXPECT_EQ(events[0].time_us, Now());
        EXPECT_FALSE(events[0].remote_wakeup);  // the host never enabled it here
    }
}

// Both PHYs, each with its partner plugged in.
class WakeOnLink : public WakeUp {
protected:
    void SetUp() override {
        emu::device::Topology topology;
        topology.phy2_id2 = 0x6B93;
        topology.partner2 = 0x0001;
        PlugWith(topology);
    }
};

TEST_F(WakeOnLink, LinkChangeOfThePhyOnTheWireWakesWhenItsBitIsOn) {
    auto link_events = [&] {
        std::vector<uint64_t> times;
        for (const auto& event : Device().WakeEvents())
            if (event.reason == WakeReason::kLinkChange) times.push_back(event.time_us);
        return times;
    };

    Control(reg::kWakeMagicPacket | 0x04);  // link change off
    Device().Partner(1).Detach();
    Device().Partner(1).Attach();
    Advance(500'000);
    EXPECT_TRUE(link_events().empty());

    Control(reg::kWakeLinkChange | 0x04);
    const uint64_t unplugged = Now() + 1000, plugged = Now() + 50'000;
    Device().Partner(1).DetachAt(unplugged);
    Device().Partner(1).AttachAt(plugged);
    Device().Partner(2).DetachAt(Now() + 2000);  // PHY 2 is not on the wire
    Advance(500'000);
    // Plugged in, the partner shows once PHY 1 has negotiated with it.
    const uint64_t negotiated = plugged + emu::device::Topology{}.negotiation_time_us;
    EXPECT_EQ(link_events(), (std::vector<uint64_t>{unplugged, negotiated}));

    Device().ClearWakeEvents();
    Write(reg::PhySelect, {reg::kPhyTwoToWire});
    Device().Partner(1).Detach();
    Device().Partner(2).Attach(0x0001);
    EXPECT_EQ(link_events(), std::vector<uint64_t>{Now()});
}

}  // namespace
}  // namespace qvtest
