// The controller's serial EEPROM: an image of 16-bit words. Words 0 to 2 hold the station
// address, each word low byte first. The command logic (address, data and control
// registers, the done bit) is the controller's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace emu::device {

class Eeprom {
public:
    static constexpr size_t kWords = 64;
    static constexpr uint16_t kErased = 0xFFFF;  // what an unprogrammed word and a word past
                                                 // the end read
    // A locally administered address, so it can never be anybody's real one.
    static constexpr std::array<uint8_t, 6> kDefaultAddress = {0x02, 0x51, 0x56, 0x00, 0x00, 0x01};

    Eeprom();

    uint16_t Word(size_t index) const { return index < words_.size() ? words_[index] : kErased; }
    void SetWord(size_t index, uint16_t value);
    // Replaces the whole image (shorter images read erased beyond their end).
    void SetImage(std::vector<uint16_t> words) { words_ = std::move(words); }
    const std::vector<uint16_t>& Image() const { return words_; }

    std::array<uint8_t, 6> StationAddress() const;
    void SetStationAddress(const std::array<uint8_t, 6>& address);

private:
    std::vector<uint16_t> words_;
};

}  // namespace emu::device
