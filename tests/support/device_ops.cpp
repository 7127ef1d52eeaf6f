#include "tests/support/device_ops.h"

#include <cstdio>

namespace qvtest {

namespace {

using emu::device::ControlRecord;

constexpr uint8_t kVendorWrite = 0x40;
constexpr uint8_t kVendorRead = 0xC0;
constexpr uint16_t kMiiAddress = 0x25;
constexpr uint16_t kMiiControl = 0x28;
constexpr uint16_t kPhySelect = 0x7F;

bool IsMiiCommand(const ControlRecord& r) {
    return r.request_type == kVendorWrite && r.index == kMiiAddress && r.data.size() == 4;
}

// The read-back the synchronous MII routines make right after their command: 2 bytes at 0x28
// after a write, 4 at 0x25 after a read.
bool IsReadBack(const ControlRecord& r, bool write) {
    return r.request_type == kVendorRead && r.index == (write ? kMiiControl : kMiiAddress) &&
           r.length == (write ? 2 : 4);
}

std::string MiiText(const ControlRecord& r, bool alone) {
    char text[40];
    const unsigned kind = r.data[3] & 0xE0;
    const unsigned reg = r.data[3] & 0x1F;
    const unsigned value = r.data[1] | r.data[2] << 8;
    if (kind == 0x20) {
        std::snprintf(text, sizeof text, alone ? "M%u.W%u=%04X" : "W%u.%u=%04X", r.data[0],
                      reg, value);
    } else if (kind == 0x40) {
        std::snprintf(text, sizeof text, alone ? "M%u.R%u" : "R%u.%u", r.data[0], reg);
    } else {
        std::snprintf(text, sizeof text, "M%u.?%02X", r.data[0], r.data[3]);
    }
    return text;
}

std::string RegisterText(const ControlRecord& r) {
    if (r.request_type != kVendorRead) return RegisterWriteText(r.index, r.data);
    char text[16];
    std::snprintf(text, sizeof text, "R%02X/%u", r.index, r.length);
    return text;
}

}  // namespace

std::vector<DeviceOp> DecodeDeviceOps(const std::vector<ControlRecord>& log) {
    std::vector<DeviceOp> ops;
    char text[48];
    for (size_t i = 0; i < log.size(); ++i) {
        const ControlRecord& r = log[i];
        if (IsMiiCommand(r)) {
            const unsigned kind = r.data[3] & 0xE0;
            const bool known = kind == 0x20 || kind == 0x40;
            const bool readBack =
                known && i + 1 < log.size() && IsReadBack(log[i + 1], kind == 0x20);
            ops.push_back({MiiText(r, !readBack), r.time_us});
            if (readBack) ++i;
        } else if (r.request_type == kVendorWrite && r.index == kPhySelect && r.data.size() == 2) {
            std::snprintf(text, sizeof text, "Sel=%02X/%02X", r.data[0], r.data[1]);
            ops.push_back({text, r.time_us});
        } else if (r.request_type == kVendorWrite || r.request_type == kVendorRead) {
            ops.push_back({RegisterText(r), r.time_us});
        } else {
            std::snprintf(text, sizeof text, "Std %02X %02X v%04X i%04X", r.request_type,
                          r.request, r.value, r.index);
            ops.push_back({text, r.time_us});
        }
    }
    return ops;
}

std::string RegisterWriteText(unsigned first, const std::vector<uint8_t>& bytes) {
    char text[8];
    std::snprintf(text, sizeof text, "W%02X=", first);
    std::string out = text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(text, sizeof text, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += text;
    }
    return out;
}

std::vector<std::string> DeviceOpTexts(const std::vector<ControlRecord>& log) {
    std::vector<std::string> texts;
    for (const DeviceOp& op : DecodeDeviceOps(log)) texts.push_back(op.text);
    return texts;
}

}  // namespace qvtest
