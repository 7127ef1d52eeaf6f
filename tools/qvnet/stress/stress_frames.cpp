#include "tools/qvnet/stress/stress_frames.h"

namespace qvnet::stress {

namespace {

constexpr size_t kShortest = 60;
constexpr size_t kLongest = 1514;
constexpr size_t kIdBytes = 5;  // stream, then the number, least significant byte first

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void Problem(std::string* problems, const std::string& line) {
    // A broken run can repeat one fault per frame: the first few say enough.
    if (problems->size() < 4000) *problems += line + "\n";
}

std::string Name(uint32_t number) { return "frame " + std::to_string(number); }

}  // namespace

namespace {

uint64_t KeyOf(uint32_t seed, uint8_t stream, uint32_t number) {
    return Mix((uint64_t{seed} << 40) ^ (uint64_t{stream} << 32) ^ number);
}

}  // namespace

size_t StreamFrameLength(uint32_t seed, uint8_t stream, uint32_t number) {
    return kShortest + KeyOf(seed, stream, number) % (kLongest - kShortest + 1);
}

std::vector<uint8_t> StreamFrame(const qvtest::MacAddress& destination,
                                 const qvtest::MacAddress& source, uint32_t seed,
                                 uint8_t stream, uint32_t number) {
    const uint64_t key = KeyOf(seed, stream, number);
    const size_t length = StreamFrameLength(seed, stream, number);
    std::vector<uint8_t> frame;
    frame.reserve(length);
    frame.insert(frame.end(), destination.begin(), destination.end());
    frame.insert(frame.end(), source.begin(), source.end());
    frame.push_back(qvtest::kTestEtherType >> 8);
    frame.push_back(qvtest::kTestEtherType & 0xFF);
    frame.push_back(stream);
    for (int shift = 0; shift < 32; shift += 8) frame.push_back(uint8_t(number >> shift));
    uint64_t word = key;
    while (frame.size() < length) {
        word = Mix(word);
        for (int i = 0; i < 8 && frame.size() < length; ++i) frame.push_back(uint8_t(word >> (8 * i)));
    }
    return frame;
}

std::optional<FrameId> Identify(const std::vector<uint8_t>& frame) {
    const size_t at = qvtest::kEthernetHeader;
    if (frame.size() < at + kIdBytes || frame[12] != (qvtest::kTestEtherType >> 8) ||
        frame[13] != (qvtest::kTestEtherType & 0xFF))
        return std::nullopt;
    uint32_t number = 0;
    for (int i = 0; i < 4; ++i) number |= uint32_t{frame[at + 1 + i]} << (8 * i);
    return FrameId{frame[at], number};
}

OutStream::State* OutStream::Find(uint32_t number) {
    if (number < base_ || number - base_ >= states_.size()) return nullptr;
    return &states_[number - base_];
}

void OutStream::Completed(uint32_t number, bool ok, std::string* problems) {
    State* state = Find(number);
    if (state == nullptr || (*state != State::Pending && *state != State::SeenPending)) {
        Problem(problems, Name(number) + " was completed twice");
        return;
    }
    if (!ok) ++failed_;
    if (*state == State::SeenPending) {
        if (!ok) Problem(problems, Name(number) + " failed, yet it reached the wire");
        *state = State::Done;
    } else {
        *state = ok ? State::Ok : State::Failed;
    }
    // A frame the wire has passed over is accounted for once it is completed.
    if (number < cursor_ && *state != State::Done) {
        if (*state == State::Ok) ++lost_;
        *state = State::Done;
    }
    Trim();
}

void OutStream::OnWire(uint32_t number, std::string* problems) {
    State* state = Find(number);
    if (number < cursor_ || state == nullptr) {
        Problem(problems, Name(number) + " on the wire again, or out of order");
        return;
    }
    if (*state == State::Failed) Problem(problems, Name(number) + " failed, yet it reached the wire");
    for (uint32_t skipped = cursor_; skipped < number; ++skipped) {
        State& before = states_[skipped - base_];
        if (before == State::Ok) {
            ++lost_;
            before = State::Done;
        } else if (before == State::Failed) {
            before = State::Done;
        }
        // Pending: it may still fail; Completed accounts for it.
    }
    *state = *state == State::Pending ? State::SeenPending : State::Done;
    cursor_ = number + 1;
    Trim();
}

void OutStream::Trim() {
    while (!states_.empty() && states_.front() == State::Done && base_ < cursor_) {
        states_.pop_front();
        ++base_;
    }
}

void OutStream::Finish(std::string* problems) {
    for (uint32_t number = cursor_; number < Next(); ++number) {
        State& state = states_[number - base_];
        if (state == State::Ok) ++lost_;
        if (state == State::Pending || state == State::SeenPending)
            Problem(problems, Name(number) + " was never completed");
        if (state != State::SeenPending) state = State::Done;
    }
    for (uint32_t number = base_; number < cursor_; ++number) {
        State& state = states_[number - base_];
        if (state == State::Pending || state == State::SeenPending)
            Problem(problems, Name(number) + " was never completed");
    }
}

void InStream::Indicated(uint32_t number, std::string* problems) {
    if (number < cursor_) {
        Problem(problems, "received " + Name(number) + " again, or out of order");
        return;
    }
    skipped_ += number - cursor_;
    cursor_ = number + 1;
}

}  // namespace qvnet::stress
