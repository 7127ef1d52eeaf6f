// The emulated USB Ethernet controller. The face the driver sees goes through the bus (the
// usb::Device calls: standard and vendor requests, bulk packets); the test face below reads
// and sets registers and the EEPROM, reaches the PHYs and their link partners, injects faults
// and frames, and shows what the device received.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "emulator/device/eeprom.h"
#include "emulator/device/fixed_phy.h"
#include "emulator/device/identity.h"
#include "emulator/device/mii.h"
#include "emulator/device/negotiating_phy.h"
#include "emulator/device/receive.h"
#include "emulator/device/transmit.h"
#include "emulator/device/wake.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/usbbus/device.h"
#include "emulator/wire/wire.h"

namespace emu {
class Kernel;
namespace device {

// One request the device received on its default pipe.
struct ControlRecord {
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    std::vector<uint8_t> data;  // OUT: the data stage received; IN: what the device answered
    bool stalled = false;
    uint64_t time_us = 0;
};

struct ReceiveCounters {
    uint64_t frames = 0;    // frames that reached the port from the wire
    uint64_t disabled = 0;  // ignored with receive disabled
    uint64_t filtered = 0;  // refused by the address filter, for one of these reasons:
    uint64_t filtered_other_station = 0;  // someone else's unicast address
    uint64_t filtered_multicast = 0;      // a group address the hash and all-multicast refuse
    uint64_t filtered_short = 0;          // too short to hold a destination address
    uint64_t too_long = 0;  // no room for frame, FCS and trailer in one transfer
    uint64_t queued = 0;    // placed in the FIFO (also those queued by a test)
};

// Frames between the MAC and the wire that the connected PHY stopped or marked.
struct PortCounters {
    uint64_t no_carrier_out = 0;   // to the wire with no link, or an isolated PHY
    uint64_t no_carrier_in = 0;    // from the wire, the same
    uint64_t speed_mismatch = 0;   // MacControl1 at another speed than PHY 1's line: lost
    uint64_t duplex_mismatch = 0;  // passed, but MacControl1 at the other duplex
};

class Controller : public usb::Device {
public:
    static constexpr uint64_t kEepromReadTimeUs = 300;
    // One management frame (32 bits of preamble and 32 of frame at 2.5 MHz) and the
    // controller's own handling: well within one control transfer.
    static constexpr uint64_t kMiiCommandTimeUs = 40;

    explicit Controller(Kernel& kernel, Identity identity = Identity::Standard());
    ~Controller() override;
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // ---- usb::Device ----
    std::vector<uint8_t> ConfigurationSet() const override { return identity_.configuration_set; }
    usb::ControlAnswer Control(const usb::Setup& setup, std::span<const uint8_t> out) override;
    void BusReset() override;
    // Registers back to their power-on values, the receive FIFO emptied, unconfigured. The
    // EEPROM and the PHYs on their own supply keep what they hold.
    void PowerCycle() override;
    bool EndpointHalted(uint8_t endpoint) const override;
    void OutPacket(uint8_t endpoint, std::span<const uint8_t> packet) override;
    std::optional<size_t> NextInPacket(uint8_t endpoint) const override;
    size_t TakeInPacket(uint8_t endpoint, std::vector<uint8_t>* into) override;

    // ---- Test face: PHYs and their cables ----
    // The PHYs at MII addresses 1 and 2, when the models are there.
    NegotiatingPhy* PhyOne() { return dynamic_cast<NegotiatingPhy*>(mii_.At(kPhyOneAddress)); }
    FixedPhy* PhyTwo() { return dynamic_cast<FixedPhy*>(mii_.At(kPhyTwoAddress)); }
    wire::LinkPartner& Partner(int phy) { return wire_.Partner(phy); }
    const PortCounters& Port() const { return port_; }

    // ---- Test face: registers, EEPROM, MII ----
    uint8_t Register(uint8_t address) const { return registers_[address]; }
    void SetRegister(uint8_t address, uint8_t value) { registers_[address] = value; }
    const std::array<uint8_t, 256>& Registers() const { return registers_; }
    Eeprom& EepromImage() { return eeprom_; }
    MiiBus& Mii() { return mii_; }
    // Faults: the done bit of an EEPROM read or an MII command never comes.
    void HoldEepromDone(bool hold) { hold_eeprom_done_ = hold; }
    void HoldMiiDone(bool hold) { hold_mii_done_ = hold; }
    // Only for commands to the PHY at `phy` (a PHY that hangs the management interface while
    // the other answers).
    void HoldMiiDoneFor(uint8_t phy, bool hold) {
        const uint32_t bit = 1u << (phy & 0x1F);
        held_mii_phys_ = hold ? held_mii_phys_ | bit : held_mii_phys_ & ~bit;
    }
    // Only one command: the one to `phy_register` of `phy` that follows `skip` others to it
    // (a single management frame lost; the commands after it report done again).
    void HoldMiiDoneOnce(uint8_t phy, uint8_t phy_register, int skip) {
        mii_hold_once_ = {static_cast<uint8_t>(phy & 0x1F), phy_register, skip, true};
    }

    // ---- Test face: USB state ----
    bool RemoteWakeup() const { return remote_wakeup_; }
    void SetRemoteWakeup(bool on) { remote_wakeup_ = on; }
    uint8_t Configuration() const { return configuration_; }
    uint8_t Address() const { return address_; }
    // The device halts one of its endpoints of its own accord (a functional stall); only a
    // CLEAR_FEATURE(ENDPOINT_HALT) from the host, or a reset, clears it.
    void HaltEndpoint(uint8_t endpoint) {
        if (bool* halt = HaltOf(endpoint)) *halt = true;
    }
    // Without records (KeepRecords(false), for a long run) only the last few thousand
    // control requests and wake events are kept.
    void KeepRecords(bool on) { keep_records_ = on; }
    const std::vector<ControlRecord>& ControlLog() const { return control_log_; }
    void ClearControlLog() { control_log_.clear(); }
    const Identity& UsbIdentity() const { return identity_; }

    // ---- Test face: data path ----
    wire::Wire& Wire() { return wire_; }
    const Transmitter::Stats& TransmitCounters() const { return transmitter_.Counters(); }
    const ReceiveCounters& Received() const { return received_; }
    uint64_t ReceiveDrops() const { return fifo_.Dropped(); }  // FIFO full
    size_t ReceiveQueued() const { return fifo_.Size(); }  // a transfer partly sent included
    void SetReceiveCapacity(size_t transfers) { fifo_.SetCapacity(transfers); }
    // The next `count` frames accepted from the wire carry this receive status byte.
    void InjectReceiveStatus(uint8_t status, int count = 1);
    // Straight into the FIFO, past the filter: a frame with FCS and trailer, or raw bytes as
    // one bulk IN transfer (any length up to 1536, short and malformed ones included).
    void QueueFrame(std::span<const uint8_t> frame, uint8_t status = 0);
    void QueueRaw(std::vector<uint8_t> transfer);
    // As QueueRaw, kept whole however long: a device that sends more than a transfer holds.
    void QueueOverlong(std::vector<uint8_t> transfer) { QueueTransfer(std::move(transfer)); }

    // ---- Test face: wake-up ----
    // What would have woken the host, in order: a frame matching an enabled slot (one event
    // per slot it matches) or a magic packet, and link changes.
    const std::vector<WakeEvent>& WakeEvents() const { return wake_events_; }
    void ClearWakeEvents() { wake_events_.clear(); }
    // What this frame would wake the host for if it arrived now.
    FrameWake WouldWake(std::span<const uint8_t> frame) const {
        return EvaluateWakeFrame(frame, registers_);
    }

private:
    usb::ControlAnswer Standard(const usb::Setup& setup);
    usb::ControlAnswer Vendor(const usb::Setup& setup, std::span<const uint8_t> out);
    void AfterRegisterWrite(unsigned first, unsigned count);
    void StartEepromCommand();
    void StartMiiCommand();
    void FinishMiiCommand();
    bool PortPasses(uint64_t& no_carrier);
    void OnWireFrame(const std::vector<uint8_t>& frame);
    uint64_t* FilterRefusal(const std::vector<uint8_t>& frame);
    void WakeOnFrame(const std::vector<uint8_t>& frame);
    void PhyLinkChanged(uint8_t address);
    void RecordWake(WakeReason reason, int slot);
    void QueueTransfer(std::vector<uint8_t> transfer);
    bool* HaltOf(uint8_t endpoint);

    Scheduler& clock_;
    Identity identity_;
    wire::Wire wire_;  // before the PHYs, which watch its partners
    std::array<uint8_t, 256> registers_{};
    Eeprom eeprom_;
    MiiBus mii_;
    bool hold_eeprom_done_ = false;
    bool hold_mii_done_ = false;
    uint32_t held_mii_phys_ = 0;  // bit n: PHY n's commands never report done
    struct MiiHoldOnce {
        uint8_t phy = 0, phy_register = 0;
        int skip = 0;
        bool armed = false;
    } mii_hold_once_;
    Scheduler::Id eeprom_timer_ = 0;
    Scheduler::Id mii_timer_ = 0;
    struct MiiCommand {
        uint8_t phy = 0, phy_register = 0;
        bool read = false;
        uint16_t value = 0;
    } mii_command_;

    uint8_t address_ = 0;
    uint8_t configuration_ = 0;
    bool remote_wakeup_ = false;
    std::array<bool, 32> halted_{};  // by endpoint number and direction
    std::vector<ControlRecord> control_log_;

    Transmitter transmitter_;
    ReceiveFifo fifo_;
    ReceiveCounters received_;
    PortCounters port_;
    std::deque<uint8_t> injected_status_;
    std::vector<WakeEvent> wake_events_;
    bool keep_records_ = true;
    template <class Record>
    void ForgetOld(std::vector<Record>& records) {
        constexpr size_t kKept = 4096;
        if (keep_records_ || records.size() < 2 * kKept) return;
        records.erase(records.begin(), records.end() - kKept);
    }
};

}  // namespace device
}  // namespace emu
