// The controller's register map as the driver uses it. Registers are 8 bits wide; a
// multi-byte quantity lies at consecutive addresses, lowest byte first. A two-byte write
// aimed at one register also sets the register after it.
#pragma once

#include "platform/types.h"

// Vendor control requests on the default pipe.
constexpr UCHAR RegisterRead = 0xF0;          // device to host, vendor, device (0xC0)
constexpr UCHAR RegisterWrite = 0xF1;         // host to device, vendor, device (0x40)
constexpr UCHAR RegisterReadRequestType = 0xC0;
constexpr UCHAR RegisterWriteRequestType = 0x40;

// MAC control.
constexpr USHORT MacControl0 = 0x00;
constexpr USHORT MacControl1 = 0x01;
constexpr USHORT MacControl2 = 0x02;

// Address filters.
constexpr USHORT MulticastFilter = 0x08;      // 8 bytes, 0x08 to 0x0F
constexpr USHORT MulticastFilterLength = 8;
constexpr USHORT StationAddress = 0x10;       // 6 bytes, 0x10 to 0x15
constexpr USHORT StationAddressLength = 6;

// Flow control settings, written together.
constexpr USHORT FlowControlTxSetting = 0x1A;
constexpr USHORT FlowControlRxSetting = 0x1B;

// EEPROM access.
constexpr USHORT EepromAddress = 0x20;        // word index
constexpr USHORT EepromData = 0x21;           // 2 bytes, low byte first
constexpr USHORT EepromControl = 0x23;
constexpr UCHAR EepromReadWord = 0x02;        // EepromControl: read the word at EepromAddress
constexpr UCHAR EepromDone = 0x04;            // EepromControl: the word is in EepromData

// MII command block: address, data low, data high, control, in one 4-byte write.
constexpr USHORT MiiAddress = 0x25;
constexpr USHORT MiiData = 0x26;              // 2 bytes, low byte first
constexpr USHORT MiiControl = 0x28;
constexpr USHORT MiiCommandLength = 4;
constexpr UCHAR MiiWriteCommand = 0x20;       // MiiControl, with the PHY register number
constexpr UCHAR MiiReadCommand = 0x40;        // MiiControl, with the PHY register number
constexpr UCHAR MiiDone = 0x80;               // MiiControl: the command has finished

// Wake-up frame slots: 16 mask bytes, 0x00, CRC low, CRC high.
constexpr USHORT WakeSlot0 = 0x30;
constexpr USHORT WakeSlot1 = 0x48;
constexpr USHORT WakeSlot2 = 0x60;
constexpr USHORT WakeSlotLength = 19;
constexpr USHORT WakeControl = 0x78;          // the register after it is written as 0

// Registers of the bring-up and PHY selection.
constexpr USHORT Reg7A = 0x7A;                // 2 bytes, read once at bring-up
constexpr USHORT Reg7E = 0x7E;
constexpr USHORT PhySelect = 0x7F;
constexpr USHORT Reg80 = 0x80;                // the register after it is written as 0
