// The cable at the controller's Ethernet port. Frames the controller sends are recorded with
// their virtual time and passed to every attached station; frames injected from the far end
// go to the controller. Peers (responders, a TAP bridge) attach as stations. Each of the
// controller's two PHYs has its own cable and link partner; frames pass through whichever
// PHY the controller connects.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "emulator/wire/link_partner.h"

namespace emu {
class Scheduler;
namespace wire {

struct Frame {
    std::vector<uint8_t> bytes;  // destination address first, no FCS
    uint64_t time_us = 0;
};

// Which way a frame crosses the cable.
enum class Direction { FromController, ToController };

// Something at the far end of the cable that hears what the controller sends.
class Station {
public:
    virtual ~Station() = default;
    virtual void Hear(const Frame& frame) = 0;
};

class Wire {
public:
    explicit Wire(Scheduler& clock) : clock_(clock), partner1_(clock), partner2_(clock) {}

    // ---- The link partners: 1 faces PHY 1, 2 faces PHY 2 ----
    LinkPartner& Partner(int phy) { return phy == 2 ? partner2_ : partner1_; }

    // ---- The controller's end ----
    void ConnectController(std::function<void(const std::vector<uint8_t>&)> receiver) {
        controller_ = std::move(receiver);
    }
    void FromController(std::vector<uint8_t> bytes);

    // ---- The far end ----
    // Puts a frame on the wire toward the controller, now.
    void Inject(std::vector<uint8_t> bytes);
    // The same at a later virtual time.
    void InjectAt(uint64_t time_us, std::vector<uint8_t> bytes);
    void Attach(Station* station);
    void Detach(Station* station);

    // ---- Watching ----
    // Hands every frame to `watcher` as it crosses, both ways, before it reaches the other
    // end (a capture streams them without keeping them). An empty function stops watching.
    using Watcher = std::function<void(const Frame&, Direction)>;
    void Watch(Watcher watcher) { watcher_ = std::move(watcher); }

    // ---- The recorder ----
    const std::vector<Frame>& Sent() const { return sent_; }
    const std::vector<Frame>& Injected() const { return injected_; }
    void ClearRecords() {
        sent_.clear();
        injected_.clear();
    }
    // Off, frames still pass but are not kept: a long bridged run would hold every one.
    void KeepRecords(bool on) { keep_records_ = on; }

private:
    Scheduler& clock_;
    LinkPartner partner1_;
    LinkPartner partner2_;
    std::function<void(const std::vector<uint8_t>&)> controller_;
    std::vector<Station*> stations_;
    Watcher watcher_;
    std::vector<Frame> sent_;
    std::vector<Frame> injected_;
    bool keep_records_ = true;
};

}  // namespace wire
}  // namespace emu
