// Fault hooks at the bus boundary. A test adds faults to its machine's bus; each one picks
// submissions by a predicate and changes how they end. Nothing here is global.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "emulator/usbbus/device.h"
#include "platform/usb.h"

namespace emu::usb {

// What a fault predicate sees of one request handed to the bus.
struct Submission {
    uint64_t serial = 0;     // 1 for the first request the bus received, and so on
    ULONG ioctl = 0;         // the internal control code
    USHORT function = 0;     // URB function (meaningless without a URB)
    bool has_urb = false;
    uint8_t endpoint = 0;    // 0 for the default pipe, else the pipe's endpoint address
    std::optional<Setup> setup;  // control transfers: the setup stage the device would see
};

enum class FaultAction {
    Fail,           // complete after the usual bus time with `status`
    FailAtOnce,     // complete inside IoCallDriver with `status`
    SucceedAtOnce,  // do the transfer and complete inside IoCallDriver
    PendForever,    // never complete: only cancel, abort or unplug end it
    Stall,          // the device answers with a stall handshake
};

struct Fault {
    std::function<bool(const Submission&)> when;
    FaultAction action = FaultAction::Fail;
    USBD_STATUS status = USBD_STATUS_REQUEST_FAILED;
    int skip = 0;    // matching submissions to let through first (the n-th: skip n - 1)
    int times = 1;   // submissions to hit; -1 for every one
    // Fail/Stall/FailAtOnce: whether the device still sees and acts on the request.
    bool reaches_device = false;
};

class FaultPlan {
public:
    void Add(Fault fault) { faults_.push_back(std::move(fault)); }
    void Clear() { faults_.clear(); }
    // The first fault that takes this submission, if any (its counters advance).
    std::optional<Fault> Take(const Submission& submission);

private:
    std::vector<Fault> faults_;
};

// Predicates for Fault::when.
namespace match {
std::function<bool(const Submission&)> Any();
std::function<bool(const Submission&)> Function(USHORT function);
std::function<bool(const Submission&)> Ioctl(ULONG ioctl);
std::function<bool(const Submission&)> Endpoint(uint8_t endpoint);
std::function<bool(const Submission&)> Request(uint8_t request_type, uint8_t request);
std::function<bool(const Submission&)> Serial(uint64_t serial);
std::function<bool(const Submission&)> Both(std::function<bool(const Submission&)> a,
                                            std::function<bool(const Submission&)> b);
}  // namespace match

}  // namespace emu::usb
