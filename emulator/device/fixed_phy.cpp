#include "emulator/device/fixed_phy.h"

#include "emulator/device/negotiating_phy.h"

namespace emu::device {

FixedPhy::FixedPhy(wire::LinkPartner& partner, uint16_t id1, uint16_t id2)
    : partner_(partner), id1_(id1), id2_(id2), link_(partner.Attached()) {
    partner_.Watch(this, [this] { Follow(); });
}

FixedPhy::~FixedPhy() { partner_.Unwatch(this); }

uint16_t FixedPhy::Read(uint8_t reg) {
    switch (reg) {
        case 0: return control_;
        case 1: {
            const uint16_t status = link_ && !latched_low_ ? phy::kLink : 0;
            latched_low_ = false;
            return status;
        }
        case 2: return id1_;
        case 3: return id2_;
        case 4: return kSelectorOnly;
        case kVendorRegister: return vendor_;
        default: return 0;
    }
}

void FixedPhy::Write(uint8_t reg, uint16_t value) {
    if (reg == kVendorRegister) {
        vendor_ = value;
    } else if (reg == 0) {
        if ((value & phy::kReset) != 0) vendor_ = 0;  // back to power-on values, then the rest
        control_ = value & static_cast<uint16_t>(~phy::kReset);
    }
}

bool FixedPhy::CarriesFrames() const { return link_ && (control_ & phy::kIsolate) == 0; }

void FixedPhy::Follow() {
    if (link_ == partner_.Attached()) return;
    if (link_) latched_low_ = true;
    link_ = partner_.Attached();
    LinkChanged();
}

}  // namespace emu::device
