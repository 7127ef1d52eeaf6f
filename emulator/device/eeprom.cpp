#include "emulator/device/eeprom.h"

namespace emu::device {

Eeprom::Eeprom() : words_(kWords, kErased) { SetStationAddress(kDefaultAddress); }

void Eeprom::SetWord(size_t index, uint16_t value) {
    if (index >= words_.size()) words_.resize(index + 1, kErased);
    words_[index] = value;
}

std::array<uint8_t, 6> Eeprom::StationAddress() const {
    std::array<uint8_t, 6> address{};
    for (size_t i = 0; i < 3; ++i) {
        address[2 * i] = static_cast<uint8_t>(Word(i));
        address[2 * i + 1] = static_cast<uint8_t>(Word(i) >> 8);
    }
    return address;
}

void Eeprom::SetStationAddress(const std::array<uint8_t, 6>& address) {
    for (size_t i = 0; i < 3; ++i)
        SetWord(i, static_cast<uint16_t>(address[2 * i] | (address[2 * i + 1] << 8)));
}

}  // namespace emu::device
