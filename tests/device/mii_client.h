// The register and MII faces of the controller as the driver reaches them: vendor requests
// over the default pipe, and MII commands through the command block at 0x25-0x28.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "emulator/device/registers.h"
#include "tests/usbbus/usb_client.h"

namespace qvtest {

class RegisterClient : public UsbFixture {
protected:
    void Write(USHORT first, std::vector<UCHAR> bytes) {
        const USHORT value = bytes.size() == 1 ? bytes[0] : 0;
        URB urb = VendorUrb(false, emu::device::reg::kWriteRegisters, value, first, bytes.data(),
                            static_cast<ULONG>(bytes.size()));
        ASSERT_EQ(SubmitSync(&urb), STATUS_SUCCESS);
    }
    std::vector<UCHAR> Read(USHORT first, ULONG count) {
        std::vector<UCHAR> bytes(count, 0xEE);
        URB urb = VendorUrb(true, emu::device::reg::kReadRegisters, 0, first, bytes.data(), count);
        EXPECT_EQ(SubmitSync(&urb), STATUS_SUCCESS);
        return bytes;
    }
    // One MII command, then done awaited by reading the command register back, as a driver
    // polls; the value read, or 0xDEAD when done never came.
    uint16_t MiiRead(UCHAR phy, UCHAR phy_register) {
        Write(emu::device::reg::MiiAddress,
              {phy, 0, 0, static_cast<UCHAR>(emu::device::reg::kMiiRead | phy_register)});
        const auto block = Read(emu::device::reg::MiiData, 3);
        if ((block[2] & emu::device::reg::kMiiDone) == 0) return 0xDEAD;
        return static_cast<uint16_t>(block[0] | block[1] << 8);
    }
    void MiiWrite(UCHAR phy, UCHAR phy_register, uint16_t value) {
        Write(emu::device::reg::MiiAddress,
              {phy, static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8),
               static_cast<UCHAR>(emu::device::reg::kMiiWrite | phy_register)});
        EXPECT_NE(Read(emu::device::reg::MiiControl, 1)[0] & emu::device::reg::kMiiDone, 0);
    }
};

}  // namespace qvtest
