// The controller's control-request log read back as the operations the driver meant, one text
// each, with the virtual time of its first request:
//   "R1.2"        MII read of PHY 1 register 2, with its read-back of the command block
//   "W1.4=01E1"   MII write, with its read-back of the done bit
//   "M1.R5", "M2.W0=0400", "M2.?04"
//                 an MII command written alone (nothing read back): read, write, neither
//   "Sel=34/11"   PhySelect and the register after it
//   "W00=19 00"   any other register write: first register, bytes
//   "R7A/2"       any other register read: first register, length
//   "Std 00 03 v0001 i0000"  a standard request: type, request, value, index
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/device/controller.h"

namespace qvtest {

struct DeviceOp {
    std::string text;
    uint64_t time_us = 0;
};

std::vector<DeviceOp> DecodeDeviceOps(const std::vector<emu::device::ControlRecord>& log);
// The texts alone.
std::vector<std::string> DeviceOpTexts(const std::vector<emu::device::ControlRecord>& log);
// The text of a register write of these bytes from register `first`, as decoded above.
std::string RegisterWriteText(unsigned first, const std::vector<uint8_t>& bytes);

}  // namespace qvtest
