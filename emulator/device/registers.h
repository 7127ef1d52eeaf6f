// The controller's register file: addresses and bits the emulated controller acts on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace emu::device::reg {

constexpr size_t kCount = 256;

constexpr uint8_t MacControl0 = 0x00;
constexpr uint8_t MacControl1 = 0x01;
constexpr uint8_t MacControl2 = 0x02;
constexpr uint8_t MulticastFilter = 0x08;  // 8 bytes
constexpr uint8_t StationAddress = 0x10;   // 6 bytes
constexpr uint8_t EepromAddress = 0x20;
constexpr uint8_t EepromData = 0x21;  // 2 bytes, low first
constexpr uint8_t EepromControl = 0x23;
constexpr uint8_t MiiAddress = 0x25;
constexpr uint8_t MiiData = 0x26;  // 2 bytes, low first
constexpr uint8_t MiiControl = 0x28;
constexpr uint8_t WakeSlot0 = 0x30;  // 19 bytes each: 16 mask bytes, 0x00, CRC low, CRC high
constexpr uint8_t WakeSlot1 = 0x48;
constexpr uint8_t WakeSlot2 = 0x60;
constexpr uint8_t WakeControl = 0x78;
constexpr uint8_t PhySelect = 0x7F;

// MacControl0
constexpr uint8_t kReceiveEnable = 0x80;
constexpr uint8_t kTransmitEnable = 0x40;
constexpr uint8_t kAllMulticast = 0x02;
// MacControl1
constexpr uint8_t kMac100 = 0x10;
constexpr uint8_t kMacFullDuplex = 0x20;
constexpr uint8_t kMacControl1PowerOn = 0x00;  // 10 Mb/s half duplex until the driver says
// MacControl2
constexpr uint8_t kPromiscuous = 0x04;
// EepromControl
constexpr uint8_t kEepromRead = 0x02;
constexpr uint8_t kEepromDone = 0x04;
// MiiControl
constexpr uint8_t kMiiDone = 0x80;
constexpr uint8_t kMiiRead = 0x40;
constexpr uint8_t kMiiWrite = 0x20;
constexpr uint8_t kMiiRegisterMask = 0x1F;
// WakeControl
constexpr uint8_t kWakeMagicPacket = 0x80;
constexpr uint8_t kWakeLinkChange = 0x40;
constexpr uint8_t kWakeSlot0On = 0x20;
constexpr uint8_t kWakeSlot1On = 0x10;
constexpr uint8_t kWakeSlot2On = 0x08;

// PhySelect
constexpr uint8_t kPhyTwoToWire = 0x10;

// Vendor requests on the default pipe.
constexpr uint8_t kReadRegisters = 0xF0;
constexpr uint8_t kWriteRegisters = 0xF1;

// Receive status byte (third byte of the receive trailer).
constexpr uint8_t kRxOverrun = 0x02;
constexpr uint8_t kRxAlignment = 0x04;
constexpr uint8_t kRxCrcError = 0x08;
constexpr uint8_t kRxRunt = 0x10;

}  // namespace emu::device::reg
