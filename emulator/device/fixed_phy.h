// PHY 2: a clause 22 PHY without negotiation. Its identifier-2 register (3) is fixture data;
// register 4 reads the bare selector 0x0001; register 25 is a writable vendor register.
// Link follows its partner (the link bit latching low); reset and isolate act, speed is
// stored.
#pragma once

#include <cstdint>

#include "emulator/device/mii.h"
#include "emulator/wire/link_partner.h"

namespace emu::device {

class FixedPhy : public Phy {
public:
    static constexpr uint16_t kSelectorOnly = 0x0001;
    static constexpr uint8_t kVendorRegister = 25;

    FixedPhy(wire::LinkPartner& partner, uint16_t id1, uint16_t id2);
    ~FixedPhy() override;

    uint16_t Read(uint8_t reg) override;
    void Write(uint8_t reg, uint16_t value) override;
    bool CarriesFrames() const override;

    // ---- Test face ----
    bool Link() const { return link_; }
    uint16_t Control() const { return control_; }
    uint16_t VendorRegister() const { return vendor_; }

private:
    void Follow();

    wire::LinkPartner& partner_;
    const uint16_t id1_, id2_;
    uint16_t control_ = 0;
    uint16_t vendor_ = 0;
    bool link_ = false;
    bool latched_low_ = false;
};

}  // namespace emu::device
