// Checks a run's frames as they arrive against those still in flight, so that a run of any
// length keeps only the frames not yet seen. Frames toward the wire must arrive all and in
// order, but for sends NDIS completed with a failure; frames toward NDIS may be missing only
// where a controller's FIFO dropped them or where an adapter was halted with them still on
// their way.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "tools/qvnet/run_report.h"

namespace qvnet {

class FrameChecker {
public:
    void Sent(uint64_t packet, std::vector<uint8_t> frame) {
        to_wire_.emplace_back(packet, std::move(frame));
    }
    void Injected(std::vector<uint8_t> frame) { to_ndis_.push_back(std::move(frame)); }

    // NDIS completed the send of `packet` with a failure: its frame is not expected.
    void SendFailed(uint64_t packet) {
        ++send_failed_;
        for (auto it = to_wire_.begin(); it != to_wire_.end(); ++it) {
            if (it->first == packet) {
                to_wire_.erase(it);
                return;
            }
        }
        damaged_ = true;  // a failure for a frame already on the wire, or never sent
    }

    void OnWire(const std::vector<uint8_t>& frame) {
        ++on_wire_;
        if (to_wire_.empty() || to_wire_.front().second != frame) {
            damaged_ = true;
            return;
        }
        to_wire_.pop_front();
    }

    void Indicated(const std::vector<uint8_t>& frame) {
        ++indicated_;
        while (!to_ndis_.empty() && to_ndis_.front() != frame) {
            to_ndis_.pop_front();
            ++skipped_;
        }
        if (to_ndis_.empty()) {
            damaged_ = true;
            return;
        }
        to_ndis_.pop_front();
    }

    // An adapter was halted: the frames toward it not yet indicated will not be, but for
    // those its controller had already dropped (`drops`, all controllers' so far).
    void Halted(uint64_t drops) {
        const uint64_t dropped_among = drops > skipped_ ? drops - skipped_ : 0;
        const uint64_t waiting = to_ndis_.size();
        const uint64_t dropped = dropped_among < waiting ? dropped_among : waiting;
        skipped_ += dropped;
        lost_at_halt_ += waiting - dropped;
        to_ndis_.clear();
    }

    void Finish(uint64_t dropped_by_controller, FrameCounts* counts) const {
        counts->on_wire = on_wire_;
        counts->indicated = indicated_;
        counts->dropped_by_controller = dropped_by_controller;
        counts->send_failed = send_failed_;
        counts->lost_at_halt = lost_at_halt_;
        counts->intact_in_order =
            !damaged_ && to_wire_.empty() &&
            skipped_ + to_ndis_.size() == dropped_by_controller &&
            counts->indicated + dropped_by_controller + lost_at_halt_ == counts->injected;
    }

private:
    std::deque<std::pair<uint64_t, std::vector<uint8_t>>> to_wire_;  // packet id, frame
    std::deque<std::vector<uint8_t>> to_ndis_;
    uint64_t on_wire_ = 0;
    uint64_t indicated_ = 0;
    uint64_t send_failed_ = 0;
    uint64_t skipped_ = 0;       // passed over by a later indication, or dropped before a halt
    uint64_t lost_at_halt_ = 0;
    bool damaged_ = false;       // a frame arrived that was not the next one expected
};

}  // namespace qvnet
