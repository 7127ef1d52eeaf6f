#include "emulator/wire/wire.h"

#include <algorithm>

#include "emulator/kernel/scheduler.h"

namespace emu::wire {

void Wire::FromController(std::vector<uint8_t> bytes) {
    sent_.push_back({std::move(bytes), clock_.Now()});
    const Frame frame = sent_.back();  // a station may make the controller send again
    if (watcher_) watcher_(frame, Direction::FromController);
    // A station may attach or detach others while it hears; walk a copy.
    const std::vector<Station*> stations = stations_;
    for (Station* station : stations) station->Hear(frame);
}

void Wire::Inject(std::vector<uint8_t> bytes) {
    injected_.push_back({bytes, clock_.Now()});
    if (watcher_) {
        const Frame frame = injected_.back();  // the watcher may inject again
        watcher_(frame, Direction::ToController);
    }
    if (controller_) controller_(bytes);
}

void Wire::InjectAt(uint64_t time_us, std::vector<uint8_t> bytes) {
    clock_.At(time_us, "frame from the wire",
              [this, bytes = std::move(bytes)]() mutable { Inject(std::move(bytes)); });
}

void Wire::Attach(Station* station) {
    if (std::find(stations_.begin(), stations_.end(), station) == stations_.end())
        stations_.push_back(station);
}

void Wire::Detach(Station* station) {
    stations_.erase(std::remove(stations_.begin(), stations_.end(), station), stations_.end());
}

}  // namespace emu::wire
