// The station at the far end of one PHY's cable: plugged in or not, and the abilities it
// advertises in its auto-negotiation word (0x01E1: 10/100, half and full duplex). The PHY
// it faces watches it; a test plugs, unplugs or changes it now or at a virtual time.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace emu {
class Scheduler;
namespace wire {

class LinkPartner {
public:
    static constexpr uint16_t kAllAbilities = 0x01E1;

    explicit LinkPartner(Scheduler& clock) : clock_(clock) {}
    ~LinkPartner();
    LinkPartner(const LinkPartner&) = delete;
    LinkPartner& operator=(const LinkPartner&) = delete;

    bool Attached() const { return attached_; }
    uint16_t Ability() const { return ability_; }

    // Plug the cable in (with this ability word), pull it out, or change what is advertised
    // while plugged in. Each tells the watching PHY.
    void Attach(uint16_t ability = kAllAbilities);
    void Detach();
    void SetAbility(uint16_t ability);
    // The same at a virtual time.
    void AttachAt(uint64_t time_us, uint16_t ability = kAllAbilities);
    void DetachAt(uint64_t time_us);

    // Plugged in from power-on, without telling anyone (the PHY starts out linked).
    void StartAttached(uint16_t ability) {
        attached_ = true;
        ability_ = ability;
    }
    // The PHY facing this partner, one at a time: a new one takes over, and a PHY that goes
    // stops watching only if it still is the one.
    void Watch(const void* watcher, std::function<void()> changed) {
        watcher_ = watcher;
        changed_ = std::move(changed);
    }
    void Unwatch(const void* watcher) {
        if (watcher_ != watcher) return;
        watcher_ = nullptr;
        changed_ = nullptr;
    }

private:
    void Changed() {
        if (changed_) changed_();
    }

    Scheduler& clock_;
    bool attached_ = false;
    uint16_t ability_ = 0;
    const void* watcher_ = nullptr;
    std::function<void()> changed_;
    std::vector<uint64_t> scheduled_;
};

}  // namespace wire
}  // namespace emu
