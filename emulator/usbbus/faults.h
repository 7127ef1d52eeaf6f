// Fault hooks at the bus boundary. A test adds faults to its machine's bus; each one picks
// submissions by a predicate and changes how they end. Nothing here is global.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
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
    bool on_bus = false;     // a control or data transfer (not an abort, reset or port cycle)
    bool in_stage = false;   // it carries data from the device (a control read, a bulk IN)
};

enum class FaultAction {
    Fail,           // complete after the usual bus time with `status`
    FailAtOnce,     // complete inside IoCallDriver with `status`
    SucceedAtOnce,  // do the transfer and complete inside IoCallDriver
    PendForever,    // never complete: only cancel, abort or unplug end it
    Stall,          // the device answers with a stall handshake
    Cancel,         // complete after the usual bus time as cancelled by the bus
                    // (STATUS_CANCELLED, USBD_STATUS_CANCELED); the endpoint stays usable
    Babble,         // the device sends past the end of a packet: USBD_STATUS_BABBLE_DETECTED,
                    // and a data pipe is halted until reset. Only where the device sends: a
                    // control transfer or a bulk IN; a bulk OUT transfer is not hit
    ShortPacket,    // the device ends its IN data after `short_length` bytes; a bulk IN
                    // transfer without USBD_SHORT_TRANSFER_OK then fails as short. Only a
                    // request with IN data is hit
    Unplug,         // the device is unplugged at this request: it and every later one end
                    // with USBD_STATUS_DEVICE_GONE, and those it held end so too
};

struct Fault {
    std::function<bool(const Submission&)> when;
    FaultAction action = FaultAction::Fail;
    USBD_STATUS status = USBD_STATUS_REQUEST_FAILED;
    int skip = 0;    // matching submissions to let through first (the n-th: skip n - 1)
    int times = 1;   // submissions to hit; -1 for every one
    // Fail/Stall/FailAtOnce: whether the device still sees and acts on the request.
    bool reaches_device = false;
    uint32_t short_length = 0;  // ShortPacket: the IN bytes the device still sends
};

// The kinds a driver has to live through while its device stays: the random mode's default.
std::vector<FaultAction> SurvivableFaults();

// A seeded, low-rate random fault mode for soak runs: about one transfer on the bus in
// `one_in` ends with a kind drawn from `kinds` (only those that fit the transfer: see Babble
// and ShortPacket). Aborts and port cycles are never hit.
struct RandomFaults {
    uint32_t seed = 1;
    uint32_t one_in = 1000;
    std::vector<FaultAction> kinds = SurvivableFaults();
    uint32_t short_length = 0;
    // Only submissions this picks may be hit (all, when empty).
    std::function<bool(const Submission&)> when;
};

class FaultPlan {
public:
    // A plan that, besides the faults added to it, draws random ones.
    static FaultPlan Random(RandomFaults random);

    void Add(Fault fault) { faults_.push_back(std::move(fault)); }
    // Drops the faults added and the random mode; the counts stay.
    void Clear() {
        faults_.clear();
        random_.reset();
    }
    // The first fault that takes this submission, if any (its counters advance); else, in
    // the random mode, perhaps a drawn one.
    std::optional<Fault> Take(const Submission& submission);

    // Faults handed out so far, of one kind and of all.
    uint64_t Injected(FaultAction kind) const;
    uint64_t InjectedTotal() const;

private:
    std::optional<Fault> Draw(const Submission& submission);
    std::optional<Fault> Count(std::optional<Fault> fault);

    std::vector<Fault> faults_;
    std::optional<RandomFaults> random_;
    std::mt19937 rng_;
    std::map<FaultAction, uint64_t> injected_;
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
