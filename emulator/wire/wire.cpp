#include "emulator/wire/wire.h"

#include <algorithm>

#include "emulator/kernel/scheduler.h"

namespace emu::wire {

void Wire::FromController(std::vector<uint8_t> bytes) {
    // A copy: a station may make the controller send again.
    const Frame frame{std::move(bytes), clock_.Now()};
    if (keep_records_) sent_.push_back(frame);
    if (watcher_) watcher_(frame, Direction::FromController);
    // A station may attach or detach others while it hears; walk a copy.
    const std::vector<Station*> stations = stations_;
    for (Station* station : stations) station->Hear(frame);
}

void Wire::Inject(std::vector<uint8_t> bytes) {
    if (keep_records_) injected_.push_back({bytes, clock_.Now()});
    if (watcher_) watcher_(Frame{bytes, clock_.Now()}, Direction::ToController);
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
