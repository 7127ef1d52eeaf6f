// The controller's MII management bus: up to 32 PHY addresses, each empty or holding a PHY
// model. An empty address reads all ones, as an undriven management data line does.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace emu::device {

// A clause 22 PHY as the MII bus reaches it. PHY models implement this.
class Phy {
public:
    virtual ~Phy() = default;
    virtual uint16_t Read(uint8_t reg) = 0;
    virtual void Write(uint8_t reg, uint16_t value) = 0;
    // Frames pass through it: it has link and is not isolated.
    virtual bool CarriesFrames() const { return false; }
    // The MacControl1 speed and duplex bits its line runs at, when the MAC must match them.
    virtual std::optional<uint8_t> MacModeNeeded() const { return std::nullopt; }

    // Who hears of its link coming or going (the controller's wake-up logic), set by the bus.
    void OnLinkChange(std::function<void()> changed) { link_changed_ = std::move(changed); }

protected:
    void LinkChanged() {
        if (link_changed_) link_changed_();
    }

private:
    std::function<void()> link_changed_;
};

class MiiBus {
public:
    static constexpr uint16_t kNoPhy = 0xFFFF;

    // Puts a PHY at an address (replacing what was there); returns it.
    template <class P>
    P& Attach(uint8_t address, std::unique_ptr<P> phy) {
        P& attached = *phy;
        const uint8_t at = address & 0x1F;
        attached.OnLinkChange([this, at] {
            if (link_changed_) link_changed_(at);
        });
        phys_[at] = std::move(phy);
        return attached;
    }
    // Told the address of a PHY whose link came or went.
    void OnLinkChange(std::function<void(uint8_t address)> changed) {
        link_changed_ = std::move(changed);
    }
    void Detach(uint8_t address) { phys_[address & 0x1F].reset(); }
    Phy* At(uint8_t address) const { return phys_[address & 0x1F].get(); }

    uint16_t Read(uint8_t address, uint8_t reg) {
        Phy* phy = At(address);
        return phy == nullptr ? kNoPhy : phy->Read(reg & 0x1F);
    }
    void Write(uint8_t address, uint8_t reg, uint16_t value) {
        if (Phy* phy = At(address)) phy->Write(reg & 0x1F, value);
    }

private:
    std::array<std::unique_ptr<Phy>, 32> phys_;
    std::function<void(uint8_t)> link_changed_;
};

}  // namespace emu::device
