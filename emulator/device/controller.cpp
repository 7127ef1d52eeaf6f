// The controller's USB endpoints and its Ethernet port; the request handlers are in
// standard_requests.cpp and register_file.cpp.
#include "emulator/device/controller.h"

#include "emulator/device/mac_filter.h"
#include "emulator/device/registers.h"
#include "emulator/kernel/kernel.h"
#include "emulator/usbbus/configuration_set.h"

namespace emu::device {

Controller::Controller(Kernel& kernel, Identity identity)
    : clock_(kernel.Clock()), identity_(std::move(identity)), wire_(kernel.Clock()) {
    wire_.ConnectController([this](const std::vector<uint8_t>& frame) { OnWireFrame(frame); });
    // Power-on: the MAC at 10 Mb/s half duplex until the driver sets its media; the cables in
    // as the topology says, and a partner there from the start already negotiated with, as
    // after a long-ago power-up.
    registers_[reg::MacControl1] = reg::kMacControl1PowerOn;
    mii_.OnLinkChange([this](uint8_t address) { PhyLinkChanged(address); });
    const Topology& topology = identity_.topology;
    if (topology.partner1) wire_.Partner(1).StartAttached(*topology.partner1);
    if (topology.partner2) wire_.Partner(2).StartAttached(*topology.partner2);
    auto phy1 = std::make_unique<NegotiatingPhy>(clock_, wire_.Partner(1), topology.phy1_id1,
                                                 topology.phy1_id2, topology.negotiation_time_us);
    mii_.Attach(kPhyOneAddress, std::move(phy1)).PowerOn();
    if (topology.phy2_id2) {
        mii_.Attach(kPhyTwoAddress, std::make_unique<FixedPhy>(wire_.Partner(2), topology.phy2_id1,
                                                               *topology.phy2_id2));
    }
}

Controller::~Controller() {
    if (eeprom_timer_ != 0) clock_.Cancel(eeprom_timer_);
    if (mii_timer_ != 0) clock_.Cancel(mii_timer_);
}

usb::ControlAnswer Controller::Control(const usb::Setup& setup, std::span<const uint8_t> out) {
    constexpr uint8_t kTypeMask = 0x60, kStandard = 0x00, kVendor = 0x40;
    usb::ControlAnswer answer;
    switch (setup.request_type & kTypeMask) {
        case kStandard: answer = Standard(setup); break;
        case kVendor: answer = Vendor(setup, out); break;
        default: answer.stall = true; break;
    }
    if (answer.data.size() > setup.length) answer.data.resize(setup.length);
    ControlRecord record{setup.request_type, setup.request, setup.value, setup.index,
                         setup.length,       {},            answer.stall, clock_.Now()};
    if (setup.DeviceToHost())
        record.data = answer.data;
    else
        record.data.assign(out.begin(), out.end());
    control_log_.push_back(std::move(record));
    ForgetOld(control_log_);
    return answer;
}

void Controller::BusReset() {
    address_ = 0;
    configuration_ = 0;
    remote_wakeup_ = false;
    halted_.fill(false);
    transmitter_.Reset();
}

void Controller::PowerCycle() {
    BusReset();
    registers_.fill(0);
    registers_[reg::MacControl1] = reg::kMacControl1PowerOn;
    fifo_.Clear();
}

bool* Controller::HaltOf(uint8_t endpoint) {
    const unsigned slot = (endpoint & 0x0F) + ((endpoint & 0x80) ? 16 : 0);
    if ((endpoint & 0x0F) == 0) return &halted_[slot];
    if (auto config = usb::ParseConfigurationSet(identity_.configuration_set))
        for (const usb::InterfaceInfo& interface : config->interfaces)
            for (const usb::EndpointInfo& info : interface.endpoints)
                if (info.address == endpoint) return &halted_[slot];
    return nullptr;  // no such endpoint
}

bool Controller::EndpointHalted(uint8_t endpoint) const {
    return halted_[(endpoint & 0x0F) + ((endpoint & 0x80) ? 16 : 0)];
}

// ---- Bulk endpoints -------------------------------------------------------------------------

void Controller::OutPacket(uint8_t endpoint, std::span<const uint8_t> packet) {
    if (endpoint != kBulkOut) return;
    const bool enabled = (registers_[reg::MacControl0] & reg::kTransmitEnable) != 0;
    if (auto frame = transmitter_.Packet(packet, kMaxPacket, enabled))
        if (PortPasses(port_.no_carrier_out)) wire_.FromController(std::move(*frame));
}

std::optional<size_t> Controller::NextInPacket(uint8_t endpoint) const {
    if (endpoint != kBulkIn) return std::nullopt;  // the interrupt endpoint has nothing to say
    return fifo_.NextPacket(kMaxPacket);
}

size_t Controller::TakeInPacket(uint8_t endpoint, std::vector<uint8_t>* into) {
    if (endpoint != kBulkIn) return 0;
    return fifo_.TakePacket(kMaxPacket, into);
}

// ---- The Ethernet port ----------------------------------------------------------------------

// Frames go between MAC and wire only through the PHY PhySelect connects, while it has link
// and is not isolated; a MAC at another speed than PHY 1's line makes nothing of them.
bool Controller::PortPasses(uint64_t& no_carrier) {
    const bool two = (registers_[reg::PhySelect] & reg::kPhyTwoToWire) != 0;
    Phy* phy = mii_.At(two ? kPhyTwoAddress : kPhyOneAddress);
    if (phy == nullptr || !phy->CarriesFrames()) {
        ++no_carrier;
        return false;
    }
    if (std::optional<uint8_t> needed = phy->MacModeNeeded()) {
        const uint8_t mac = registers_[reg::MacControl1];
        if ((mac & reg::kMac100) != (*needed & reg::kMac100)) {
            ++port_.speed_mismatch;
            return false;
        }
        if ((mac & reg::kMacFullDuplex) != (*needed & reg::kMacFullDuplex))
            ++port_.duplex_mismatch;
    }
    return true;
}

void Controller::OnWireFrame(const std::vector<uint8_t>& frame) {
    if (!PortPasses(port_.no_carrier_in)) return;
    ++received_.frames;
    WakeOnFrame(frame);
    if ((registers_[reg::MacControl0] & reg::kReceiveEnable) == 0) {
        ++received_.disabled;
        return;
    }
    if (uint64_t* reason = FilterRefusal(frame)) {
        ++received_.filtered;
        ++*reason;
        return;
    }
    if (frame.size() + kReceiveOverhead > kMaxInTransfer) {
        ++received_.too_long;
        return;
    }
    uint8_t status = 0;
    if (!injected_status_.empty()) {
        status = injected_status_.front();
        injected_status_.pop_front();
    }
    QueueTransfer(ComposeReceiveTransfer(frame, status));
}

// The counter of the reason the address filter refuses the frame for; none when it passes.
uint64_t* Controller::FilterRefusal(const std::vector<uint8_t>& frame) {
    if (frame.size() < 6) return &received_.filtered_short;
    switch (FilterFrame(std::span<const uint8_t, 6>(frame.data(), 6), registers_)) {
        case FilterVerdict::kPass: return nullptr;
        case FilterVerdict::kOtherStation: return &received_.filtered_other_station;
        case FilterVerdict::kMulticastNotHashed: return &received_.filtered_multicast;
    }
    return nullptr;
}

// ---- Wake-up --------------------------------------------------------------------------------

// The wake-up logic sits between the PHY and the receive enable: a host going to sleep turns
// its receiver off, and the address filter it leaves behind says nothing about the patterns
// it wants to wake for, so every frame the MAC can make out is looked at. A frame the PHY does
// not carry (no link, isolated, the MAC at another speed) wakes nothing.
void Controller::WakeOnFrame(const std::vector<uint8_t>& frame) {
    const FrameWake wake = EvaluateWakeFrame(frame, registers_);
    for (int slot = 0; slot < kWakeSlots; ++slot)
        if (wake.slots & (1 << slot)) RecordWake(WakeReason::kFrameSlot, slot);
    if (wake.magic_packet) RecordWake(WakeReason::kMagicPacket, -1);
}

// Link change is the link status of the PHY PhySelect connects to the wire, as the MAC sees it:
// a partner unplugged shows at once, one plugged in once the PHY has link with it (after
// negotiation, if it negotiates). The other PHY's cable wakes nothing.
void Controller::PhyLinkChanged(uint8_t address) {
    const bool two = (registers_[reg::PhySelect] & reg::kPhyTwoToWire) != 0;
    if (address != (two ? kPhyTwoAddress : kPhyOneAddress)) return;
    if (registers_[reg::WakeControl] & reg::kWakeLinkChange)
        RecordWake(WakeReason::kLinkChange, -1);
}

void Controller::RecordWake(WakeReason reason, int slot) {
    wake_events_.push_back({reason, slot, clock_.Now(), remote_wakeup_});
    ForgetOld(wake_events_);
}

void Controller::InjectReceiveStatus(uint8_t status, int count) {
    for (int i = 0; i < count; ++i) injected_status_.push_back(status);
}

void Controller::QueueFrame(std::span<const uint8_t> frame, uint8_t status) {
    QueueTransfer(ComposeReceiveTransfer(frame, status));
}

void Controller::QueueRaw(std::vector<uint8_t> transfer) {
    if (transfer.size() > kMaxInTransfer) transfer.resize(kMaxInTransfer);
    QueueTransfer(std::move(transfer));
}

void Controller::QueueTransfer(std::vector<uint8_t> transfer) {
    if (!fifo_.Push(std::move(transfer))) return;
    ++received_.queued;
    NotifyInReady(kBulkIn);
}

}  // namespace emu::device
