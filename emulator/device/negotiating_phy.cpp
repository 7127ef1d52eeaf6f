#include "emulator/device/negotiating_phy.h"

#include "emulator/device/registers.h"
#include "emulator/device/topology.h"

namespace emu::device {

namespace {
constexpr uint16_t kTechnologies = phy::k100Full | phy::k100Half | phy::k10Full | phy::k10Half;
// Reset and restart clear themselves.
constexpr uint16_t kControlStored =
    static_cast<uint16_t>(~(phy::kReset | phy::kRestartNegotiation));
}  // namespace

NegotiatingPhy::NegotiatingPhy(Scheduler& clock, wire::LinkPartner& partner, uint16_t id1,
                               uint16_t id2, uint64_t negotiation_time_us)
    : clock_(clock), partner_(partner), id1_(id1), id2_(id2),
      negotiation_time_us_(negotiation_time_us) {
    partner_.Watch(this, [this] { PartnerChanged(); });
}

NegotiatingPhy::~NegotiatingPhy() {
    CancelTimer();
    partner_.Unwatch(this);
}

void NegotiatingPhy::PowerOn() {
    if (!partner_.Attached()) return;
    if (negotiation_time_us_ == Topology::kNeverNegotiates)
        Restart();
    else
        Complete();
}

uint16_t NegotiatingPhy::Read(uint8_t reg) {
    switch (reg) {
        case 0: return control_;
        case 1: {
            uint16_t status = phy::kTenHundredAbilities;
            if (complete_) status |= phy::kNegotiationComplete;
            if (link_ && !latched_low_) status |= phy::kLink;
            latched_low_ = false;
            return status;
        }
        case 2: return id1_;
        case 3: return id2_;
        case 4: return advertisement_;
        case 5: return partner_word_;
        default: return 0;
    }
}

void NegotiatingPhy::Write(uint8_t reg, uint16_t value) {
    if (reg == 4) {
        advertisement_ = value;  // used from the next negotiation on
        return;
    }
    if (reg != 0) return;
    const uint16_t before = control_;
    if ((value & phy::kReset) != 0) {
        Reset();
        control_ = value & kControlStored;  // what was written with the reset applies after it
    } else {
        control_ = value & kControlStored;
    }
    const bool negotiate = (control_ & phy::kAutoNegotiation) != 0;
    if (negotiate && ((value & (phy::kReset | phy::kRestartNegotiation)) != 0 ||
                      (before & phy::kAutoNegotiation) == 0)) {
        Restart();
    } else if (!negotiate) {
        ApplyForced();
    }
}

std::optional<uint8_t> NegotiatingPhy::MacModeNeeded() const {
    if (!link_) return std::nullopt;
    bool hundred = false, full = false;
    if ((control_ & phy::kAutoNegotiation) != 0) {
        hundred = (common_ & (phy::k100Full | phy::k100Half)) != 0;
        full = hundred ? (common_ & phy::k100Full) != 0 : (common_ & phy::k10Full) != 0;
    } else {
        hundred = (control_ & phy::kSpeed100) != 0;
        full = (control_ & phy::kFullDuplex) != 0;
    }
    return static_cast<uint8_t>((hundred ? reg::kMac100 : 0) | (full ? reg::kMacFullDuplex : 0));
}

void NegotiatingPhy::Reset() {
    CancelTimer();
    control_ = kDefaultControl;
    advertisement_ = phy::kDefaultAdvertisement;
    partner_word_ = 0;
    common_ = 0;
    complete_ = false;
    SetLink(false);
}

void NegotiatingPhy::Restart() {
    CancelTimer();
    partner_word_ = 0;
    common_ = 0;
    complete_ = false;
    SetLink(false);
    // Without a partner nothing answers; negotiation starts when one is plugged in.
    if (!partner_.Attached() || negotiation_time_us_ == Topology::kNeverNegotiates) return;
    timer_ = clock_.After(negotiation_time_us_, "PHY 1 negotiation", [this] {
        timer_ = 0;
        Complete();
    });
}

void NegotiatingPhy::Complete() {
    partner_word_ = partner_.Ability();
    common_ = advertisement_ & partner_word_ & kTechnologies;
    complete_ = true;
    SetLink(common_ != 0);
}

void NegotiatingPhy::PartnerChanged() {
    if ((control_ & phy::kAutoNegotiation) == 0) {
        ApplyForced();
    } else if (partner_.Attached()) {
        Restart();
    } else {
        CancelTimer();
        partner_word_ = 0;
        common_ = 0;
        complete_ = false;
        SetLink(false);
    }
}

void NegotiatingPhy::ApplyForced() {
    CancelTimer();
    complete_ = false;
    partner_word_ = 0;
    common_ = 0;
    const uint16_t speeds = (control_ & phy::kSpeed100) != 0 ? (phy::k100Full | phy::k100Half)
                                                             : (phy::k10Full | phy::k10Half);
    SetLink(partner_.Attached() && (partner_.Ability() & speeds) != 0);
}

void NegotiatingPhy::SetLink(bool up) {
    if (link_ == up) return;
    if (!up) latched_low_ = true;
    link_ = up;
    LinkChanged();
}

void NegotiatingPhy::CancelTimer() {
    if (timer_ != 0) clock_.Cancel(timer_);
    timer_ = 0;
}

}  // namespace emu::device
