// The register file through vendor requests 0xF0/0xF1, with the EEPROM and MII command
// blocks behind it.
#include <gtest/gtest.h>

#include <vector>

#include "emulator/device/registers.h"
#include "tests/device/mii_client.h"

namespace qvtest {
namespace {

namespace reg = emu::device::reg;

class Registers : public RegisterClient {
protected:
    void SetUp() override { Plug(); }
};

TEST_F(Registers, AWriteLandsInConsecutiveRegistersAndReadsBack) {
    struct Case {
        const char* name;
        USHORT first;
        std::vector<UCHAR> bytes;
    } cases[] = {
        {"one byte", 0x78, {0x38}},
        {"station address", 0x10, {0x02, 0x51, 0x56, 0x00, 0x00, 0x01}},
        {"Reg7E with PhySelect behind it", 0x7E, {0x24, 0x00}},
        {"PhySelect with Reg80 behind it", 0x7F, {0x26, 0x11}},
        {"a wake-up slot", 0x30, std::vector<UCHAR>(19, 0x5C)},
        {"the last register", 0xFF, {0x99}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Write(c.first, c.bytes);
        for (size_t i = 0; i < c.bytes.size(); ++i) EXPECT_EQ(Device().Register(c.first + i), c.bytes[i]);
        EXPECT_EQ(Read(c.first, static_cast<ULONG>(c.bytes.size())), c.bytes);
    }
}

TEST_F(Registers, AnEepromReadSetsDoneAShortWhileAfterTheCommand) {
    Device().EepromImage().SetWord(5, 0xBEEF);
    Write(reg::EepromAddress, {5, 0x00, 0x00, reg::kEepromRead});
    EXPECT_EQ(Device().Register(reg::EepromControl) & reg::kEepromDone, 0);
    Advance(emu::device::Controller::kEepromReadTimeUs);
    EXPECT_EQ(Read(reg::EepromData, 3), (std::vector<UCHAR>{0xEF, 0xBE, reg::kEepromRead | reg::kEepromDone}));

    // A new command clears done until it has finished.
    Write(reg::EepromAddress, {0, 0x00, 0x00, reg::kEepromRead});
    EXPECT_EQ(Device().Register(reg::EepromControl) & reg::kEepromDone, 0);
    Settle();
    const auto address = emu::device::Eeprom::kDefaultAddress;
    EXPECT_EQ(Read(reg::EepromData, 2), (std::vector<UCHAR>{address[0], address[1]}));

    // A word past the image reads erased; a command without the read bit does nothing.
    Write(reg::EepromAddress, {200, 0x00, 0x00, reg::kEepromRead});
    Settle();
    EXPECT_EQ(Read(reg::EepromData, 2), (std::vector<UCHAR>{0xFF, 0xFF}));
    Write(reg::EepromControl, {0x01});
    Settle();
    EXPECT_EQ(Device().Register(reg::EepromControl), 0x01);
}

TEST_F(Registers, AnEepromWhoseDoneIsHeldNeverReportsDone) {
    Device().HoldEepromDone(true);
    Write(reg::EepromAddress, {0, 0x00, 0x00, reg::kEepromRead});
    Advance(1'000'000);
    EXPECT_EQ(Read(reg::EepromControl, 1)[0] & reg::kEepromDone, 0);
}

// A PHY that answers one value and records what it was asked.
class RecordingPhy : public emu::device::Phy {
public:
    uint16_t Read(uint8_t r) override {
        reads.push_back(r);
        return 0x7809;
    }
    void Write(uint8_t r, uint16_t value) override { writes.push_back({r, value}); }
    std::vector<uint8_t> reads;
    std::vector<std::pair<uint8_t, uint16_t>> writes;
};

TEST_F(Registers, MiiCommandsReachThePhyAtTheirAddressAndAreDoneWithinOneControlTransfer) {
    auto& phy = Device().Mii().Attach(1, std::make_unique<RecordingPhy>());
    struct Case {
        const char* name;
        std::vector<UCHAR> block;      // MiiAddress, MiiData low, high, MiiControl
        bool hold_done;
        std::vector<UCHAR> after;      // the block read back
    } cases[] = {
        {"read at PHY 1", {1, 0, 0, reg::kMiiRead | 1}, false, {1, 0x09, 0x78, 0xC1}},
        {"write at PHY 1", {1, 0x34, 0x12, reg::kMiiWrite | 4}, false, {1, 0x34, 0x12, 0xA4}},
        {"read where no PHY is", {2, 0, 0, reg::kMiiRead | 2}, false, {2, 0xFF, 0xFF, 0xC2}},
        {"neither read nor write", {1, 0, 0, 0x05}, false, {1, 0, 0, 0x05}},
        {"done held clear", {1, 0, 0, reg::kMiiRead | 1}, true, {1, 0x09, 0x78, 0x41}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Device().HoldMiiDone(c.hold_done);
        Write(reg::MiiAddress, c.block);
        EXPECT_EQ(Read(reg::MiiAddress, 4), c.after);
    }
    EXPECT_EQ(phy.reads, (std::vector<uint8_t>{1, 1}));
    ASSERT_EQ(phy.writes.size(), 1u);
    EXPECT_EQ(phy.writes[0], (std::pair<uint8_t, uint16_t>{4, 0x1234}));
}

TEST_F(Registers, AnMiiCommandReachesThePhyAndSetsDoneAManagementFrameAfterItLanded) {
    ExactSchedule();
    auto& phy = Device().Mii().Attach(1, std::make_unique<RecordingPhy>());
    const uint64_t frame_time = emu::device::Controller::kMiiCommandTimeUs;
    Write(reg::MiiAddress, {1, 0, 0, reg::kMiiDone | reg::kMiiRead | 3});  // a stale done bit too
    const uint64_t landed = LastRequest().time_us;
    ASSERT_LT(Now(), landed + frame_time);
    Advance(landed + frame_time - 1 - Now());
    EXPECT_EQ(Device().Register(reg::MiiControl), reg::kMiiRead | 3);
    EXPECT_TRUE(phy.reads.empty());
    Advance(1);
    EXPECT_EQ(Device().Register(reg::MiiControl), reg::kMiiDone | reg::kMiiRead | 3);
    EXPECT_EQ(phy.reads, (std::vector<uint8_t>{3}));
}

}  // namespace
}  // namespace qvtest
