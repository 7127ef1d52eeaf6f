// Allocation fault injection: which of the driver's allocations fail on purpose.
#include "emulator/verifier/verifier.h"

namespace emu {

void AllocationFaults::FailNth(uint64_t n) { nth_ = n == 0 ? 0 : counted_ + n; }

void AllocationFaults::FailTag(ULONG tag, int count, int skip) {
    tag_on_ = count != 0;
    tag_ = tag;
    tag_count_ = count;
    tag_skip_ = skip;
}

void AllocationFaults::FailRandom(uint32_t seed, double probability) {
    random_on_ = probability > 0;
    probability_ = probability;
    rng_.seed(seed);
}

void AllocationFaults::FailFirstNewSite(std::set<uintptr_t>* seen) {
    seen_ = seen;
    new_site_failed_ = false;
}

void AllocationFaults::Clear() {
    nth_ = 0;
    tag_on_ = false;
    tag_count_ = 0;
    random_on_ = false;
    seen_ = nullptr;
    new_site_failed_ = false;
}

bool AllocationFaults::ShouldFail(ULONG tag, uintptr_t site) {
    ++counted_;
    bool fail = false;
    if (nth_ != 0 && counted_ == nth_) {
        nth_ = 0;
        fail = true;
    }
    if (tag_on_ && tag == tag_ && tag_skip_ > 0) {
        --tag_skip_;
    } else if (tag_on_ && tag == tag_) {
        fail = true;
        if (tag_count_ > 0 && --tag_count_ == 0) tag_on_ = false;
    }
    // Drawn on every allocation, failing or not, so that a seed replays the same choices.
    if (random_on_) {
        double draw = static_cast<double>(rng_()) / (static_cast<double>(std::mt19937::max()) + 1.0);
        if (draw < probability_) fail = true;
    }
    if (seen_ != nullptr && !new_site_failed_ && seen_->count(site) == 0) {
        seen_->insert(site);
        new_site_failed_ = true;
        fail = true;
    }
    if (fail) {
        ++failed_;
        last_failed_tag_ = tag;
    }
    return fail;
}

}  // namespace emu
