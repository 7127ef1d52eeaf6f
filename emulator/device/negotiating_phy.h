// PHY 1: a clause 22 10/100 PHY with auto-negotiation. Registers 0 (control), 1 (status, link
// bit latching low), 2/3 (identifier), 4 (advertisement), 5 (link partner ability). With
// negotiation on, link comes a negotiation time after a reset, a restart or a partner
// plugging in, when the advertisement and the partner share an ability; the best shared
// one sets speed and duplex. With it off, speed and duplex are forced and link comes as
// soon as a partner able to run that speed is there.
#pragma once

#include <cstdint>
#include <optional>

#include "emulator/device/mii.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/wire/link_partner.h"

namespace emu::device {

namespace phy {
// Register 0
constexpr uint16_t kReset = 0x8000;
constexpr uint16_t kSpeed100 = 0x2000;
constexpr uint16_t kAutoNegotiation = 0x1000;
constexpr uint16_t kIsolate = 0x0400;
constexpr uint16_t kRestartNegotiation = 0x0200;
constexpr uint16_t kFullDuplex = 0x0100;
// Register 1
constexpr uint16_t kTenHundredAbilities = 0x7809;  // 100/10 full/half, negotiation, extended
constexpr uint16_t kNegotiationComplete = 0x0020;
constexpr uint16_t kLink = 0x0004;
// Registers 4 and 5
constexpr uint16_t k100Full = 0x0100;
constexpr uint16_t k100Half = 0x0080;
constexpr uint16_t k10Full = 0x0040;
constexpr uint16_t k10Half = 0x0020;
constexpr uint16_t kDefaultAdvertisement = 0x01E1;
}  // namespace phy

class NegotiatingPhy : public Phy {
public:
    static constexpr uint16_t kDefaultControl =
        phy::kSpeed100 | phy::kAutoNegotiation | phy::kFullDuplex;

    NegotiatingPhy(Scheduler& clock, wire::LinkPartner& partner, uint16_t id1, uint16_t id2,
                   uint64_t negotiation_time_us);
    ~NegotiatingPhy() override;

    uint16_t Read(uint8_t reg) override;
    void Write(uint8_t reg, uint16_t value) override;
    bool CarriesFrames() const override { return link_ && (control_ & phy::kIsolate) == 0; }
    std::optional<uint8_t> MacModeNeeded() const override;

    // ---- Test face ----
    bool Link() const { return link_; }
    bool Negotiating() const { return timer_ != 0; }
    uint16_t Control() const { return control_; }
    // Powered on with the cable in: a negotiation that can complete has completed.
    void PowerOn();

private:
    void Reset();
    void Restart();
    void Complete();
    void PartnerChanged();
    void ApplyForced();
    void SetLink(bool up);
    void CancelTimer();

    Scheduler& clock_;
    wire::LinkPartner& partner_;
    const uint16_t id1_, id2_;
    const uint64_t negotiation_time_us_;
    uint16_t control_ = kDefaultControl;
    uint16_t advertisement_ = phy::kDefaultAdvertisement;
    uint16_t partner_word_ = 0;
    uint16_t common_ = 0;
    bool complete_ = false;
    bool link_ = false;
    bool latched_low_ = false;  // link was lost since status was last read
    Scheduler::Id timer_ = 0;
};

}  // namespace emu::device
