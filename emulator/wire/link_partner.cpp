#include "emulator/wire/link_partner.h"

#include "emulator/kernel/scheduler.h"

namespace emu::wire {

LinkPartner::~LinkPartner() {
    for (uint64_t id : scheduled_) clock_.Cancel(id);
}

void LinkPartner::Attach(uint16_t ability) {
    attached_ = true;
    ability_ = ability;
    Changed();
}

void LinkPartner::Detach() {
    if (!attached_) return;
    attached_ = false;
    Changed();
}

void LinkPartner::SetAbility(uint16_t ability) {
    ability_ = ability;
    if (attached_) Changed();
}

void LinkPartner::AttachAt(uint64_t time_us, uint16_t ability) {
    scheduled_.push_back(
        clock_.At(time_us, "link partner plugged in", [this, ability] { Attach(ability); }));
}

void LinkPartner::DetachAt(uint64_t time_us) {
    scheduled_.push_back(clock_.At(time_us, "link partner unplugged", [this] { Detach(); }));
}

}  // namespace emu::wire
