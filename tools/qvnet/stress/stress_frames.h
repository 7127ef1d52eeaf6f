// The stress run's frames and the checks of their arrival. Every frame carries its stream (one
// per sender, one toward NDIS) and its number, and its bytes follow from those and the seed,
// so a frame that arrives damaged, twice, out of order or not at all is recognised without
// keeping a copy of any.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/harness/frames.h"

namespace qvnet::stress {

constexpr uint8_t kInStream = 0xEE;

std::vector<uint8_t> StreamFrame(const qvtest::MacAddress& destination,
                                 const qvtest::MacAddress& source, uint32_t seed,
                                 uint8_t stream, uint32_t number);

// The length of that frame.
size_t StreamFrameLength(uint32_t seed, uint8_t stream, uint32_t number);

struct FrameId {
    uint8_t stream;
    uint32_t number;
};
std::optional<FrameId> Identify(const std::vector<uint8_t>& frame);

// One sender's frames toward the wire. A frame is sent, then completed (success or failure),
// and appears on the wire (possibly before its completion). Those not yet accounted for are
// kept, so memory follows the frames in flight only.
class OutStream {
public:
    void Sent() { states_.push_back(State::Pending); }
    uint32_t Next() const { return base_ + static_cast<uint32_t>(states_.size()); }
    void Completed(uint32_t number, bool ok, std::string* problems);
    void OnWire(uint32_t number, std::string* problems);
    // Everything sent has been completed: what never reached the wire is counted.
    void Finish(std::string* problems);
    uint64_t Lost() const { return lost_; }
    uint64_t Failed() const { return failed_; }

private:
    enum class State : uint8_t { Pending, Ok, Failed, SeenPending, Done };
    State* Find(uint32_t number);
    void Trim();
    uint32_t base_ = 0;    // the number of states_.front()
    uint32_t cursor_ = 0;  // every frame before this one is on the wire or accounted for
    std::deque<State> states_;
    uint64_t lost_ = 0;
    uint64_t failed_ = 0;
};

// Frames toward NDIS: indicated in order, each at most once.
class InStream {
public:
    void Indicated(uint32_t number, std::string* problems);
    uint64_t Skipped() const { return skipped_; }
    uint32_t Cursor() const { return cursor_; }

private:
    uint32_t cursor_ = 0;
    uint64_t skipped_ = 0;
};

}  // namespace qvnet::stress
