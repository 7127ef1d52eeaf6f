// The vendor requests over the 256-byte register file, and what writing some registers sets
// off: an EEPROM read and an MII command, each done a little later.
#include "emulator/device/controller.h"
#include "emulator/device/registers.h"

namespace emu::device {

usb::ControlAnswer Controller::Vendor(const usb::Setup& setup, std::span<const uint8_t> out) {
    const unsigned first = setup.index;
    const unsigned count = setup.length;
    if (first + count > reg::kCount) return {true, {}};
    if (setup.request == reg::kReadRegisters && setup.DeviceToHost())
        return {false, {registers_.begin() + first, registers_.begin() + first + count}};
    if (setup.request == reg::kWriteRegisters && !setup.DeviceToHost() && out.size() == count) {
        std::copy(out.begin(), out.end(), registers_.begin() + first);
        AfterRegisterWrite(first, count);
        return {};
    }
    return {true, {}};
}

void Controller::AfterRegisterWrite(unsigned first, unsigned count) {
    auto written = [&](unsigned address) { return address >= first && address < first + count; };
    if (written(reg::EepromControl)) StartEepromCommand();
    if (written(reg::MiiControl)) StartMiiCommand();
}

void Controller::StartEepromCommand() {
    // A new command ends the one before and clears done until it has finished itself.
    if (eeprom_timer_ != 0) clock_.Cancel(eeprom_timer_);
    eeprom_timer_ = 0;
    registers_[reg::EepromControl] &= static_cast<uint8_t>(~reg::kEepromDone);
    if ((registers_[reg::EepromControl] & reg::kEepromRead) == 0) return;
    const uint8_t word_index = registers_[reg::EepromAddress];
    eeprom_timer_ = clock_.After(kEepromReadTimeUs, "EEPROM read", [this, word_index] {
        eeprom_timer_ = 0;
        const uint16_t word = eeprom_.Word(word_index);
        registers_[reg::EepromData] = static_cast<uint8_t>(word);
        registers_[reg::EepromData + 1] = static_cast<uint8_t>(word >> 8);
        if (!hold_eeprom_done_) registers_[reg::EepromControl] |= reg::kEepromDone;
    });
}

// The command is latched when written; the PHY is reached, and done set, a management frame
// later. A command written while one is under way lets that one finish first.
void Controller::StartMiiCommand() {
    if (mii_timer_ != 0) {
        clock_.Cancel(mii_timer_);
        FinishMiiCommand();
    }
    uint8_t& control = registers_[reg::MiiControl];
    control &= static_cast<uint8_t>(~reg::kMiiDone);
    const bool read = (control & reg::kMiiRead) != 0;
    const bool write = !read && (control & reg::kMiiWrite) != 0;
    if (!read && !write) return;
    mii_command_ = {static_cast<uint8_t>(registers_[reg::MiiAddress] & 0x1F),
                    static_cast<uint8_t>(control & reg::kMiiRegisterMask), read,
                    static_cast<uint16_t>(registers_[reg::MiiData] |
                                          registers_[reg::MiiData + 1] << 8)};
    mii_timer_ = clock_.After(kMiiCommandTimeUs, "MII command", [this] { FinishMiiCommand(); });
}

void Controller::FinishMiiCommand() {
    mii_timer_ = 0;
    const MiiCommand& command = mii_command_;
    if (command.read) {
        const uint16_t value = mii_.Read(command.phy, command.phy_register);
        registers_[reg::MiiData] = static_cast<uint8_t>(value);
        registers_[reg::MiiData + 1] = static_cast<uint8_t>(value >> 8);
    } else {
        mii_.Write(command.phy, command.phy_register, command.value);
    }
    bool held = hold_mii_done_ || (held_mii_phys_ >> command.phy & 1) != 0;
    MiiHoldOnce& once = mii_hold_once_;
    if (once.armed && once.phy == command.phy && once.phy_register == command.phy_register &&
        once.skip-- == 0) {
        once.armed = false;
        held = true;
    }
    if (!held) registers_[reg::MiiControl] |= reg::kMiiDone;
}

}  // namespace emu::device
