// One record per submission and per completion crossing the bus, carrying what a usbmon
// capture needs. A test or the command installs the hook that receives them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/usb.h"

namespace emu::usb {

struct TraceRecord {
    uint64_t id = 0;            // the same for a submission and its completion
    char type = 'S';            // 'S' submitted, 'C' completed, 'E' refused at submission
    uint8_t transfer_type = 0;  // 0 isochronous, 1 interrupt, 2 control, 3 bulk
    uint8_t endpoint = 0;       // address; 0x80 = IN
    uint8_t device = 0;         // USB device address
    uint16_t bus = 0;
    bool has_setup = false;
    std::array<uint8_t, 8> setup{};  // wire order
    std::vector<uint8_t> data;       // OUT data at submission, IN data at completion
    int32_t status = 0;              // submission -115 (-EINPROGRESS); else 0 or -errno
    uint32_t length = 0;             // requested at submission, moved at completion
    uint64_t time_us = 0;
};

using TraceHook = std::function<void(const TraceRecord&)>;

constexpr uint8_t kTransferIsochronous = 0;
constexpr uint8_t kTransferInterrupt = 1;
constexpr uint8_t kTransferControl = 2;
constexpr uint8_t kTransferBulk = 3;
constexpr int32_t kStatusInProgress = -115;

// The errno a Linux host controller would report for a URB status.
int32_t UsbmonStatus(USBD_STATUS status);

}  // namespace emu::usb
