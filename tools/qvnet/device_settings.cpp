#include "tools/qvnet/device_settings.h"

#include "emulator/device/controller.h"
#include "emulator/device/topology.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/machine.h"
#include "emulator/usbbus/bus.h"
#include "tools/qvnet/run_options.h"

namespace qvnet {

namespace {

std::optional<uint16_t> ParseWord(const std::string& text) {
    std::optional<uint32_t> value = ParseNumber(text);
    if (!value || *value > 0xFFFF) return std::nullopt;
    return static_cast<uint16_t>(*value);
}

std::string Expected(const std::string& key, const char* what) {
    return "--device " + key + ": expected " + what;
}

// The cable on PHY 1: plugged in with this ability word, or pulled out.
void SetPartnerOne(emu::device::Controller& device, std::optional<uint16_t> ability) {
    emu::wire::LinkPartner& partner = device.Partner(1);
    if (!ability) {
        if (partner.Attached()) partner.Detach();
    } else if (partner.Attached()) {
        partner.SetAbility(*ability);
    } else {
        partner.Attach(*ability);
    }
}

void SetPartnerTwo(emu::device::Controller& device, bool up) {
    emu::wire::LinkPartner& partner = device.Partner(2);
    if (up && !partner.Attached()) partner.Attach();
    if (!up && partner.Attached()) partner.Detach();
}

}  // namespace

std::string SetDeviceSetting(const std::string& key, const std::string& value,
                             DeviceSettings* settings) {
    if (key == "eeprom-address") {
        std::optional<std::vector<uint8_t>> bytes = ParseMacAddress(value);
        if (!bytes) return Expected(key, "an address like 02:51:56:00:00:01");
        std::copy(bytes->begin(), bytes->end(), settings->eeprom_address.begin());
    } else if (key == "eeprom") {
        if (value != "ok" && value != "stuck") return Expected(key, "ok or stuck");
        settings->eeprom_stuck = value == "stuck";
    } else if (key == "phy1") {
        if (value != "present" && value != "absent") return Expected(key, "present or absent");
        settings->phy1_present = value == "present";
    } else if (key == "phy1.partner") {
        if (value == "none") {
            settings->phy1_partner.reset();
        } else {
            std::optional<uint16_t> word = ParseWord(value);
            if (!word) return Expected(key, "an ability word like 0x01E1, or none");
            settings->phy1_partner = *word;
        }
    } else if (key == "phy2") {
        if (value == "absent") {
            settings->phy2_id2.reset();
        } else {
            std::optional<uint16_t> word = ParseWord(value);
            if (!word) return Expected(key, "absent or an identifier like 0x5C21");
            settings->phy2_id2 = *word;
        }
    } else if (key == "phy2.link") {
        if (value != "up" && value != "down") return Expected(key, "up or down");
        settings->phy2_link = value == "up";
    } else if (key == "an-ms") {
        std::optional<uint32_t> ms = ParseNumber(value);
        if (!ms) return Expected(key, "a number of milliseconds");
        settings->an_ms = *ms;
    } else if (key == "hc") {
        if (value != "uhci" && value != "ehci") return Expected(key, "uhci or ehci");
        settings->ehci = value == "ehci";
    } else {
        return "--device " + key + ": unknown setting (known: eeprom-address, eeprom, phy1, "
               "phy1.partner, phy2, phy2.link, an-ms, hc)";
    }
    return {};
}

bool ChangeableAtRunTime(const std::string& key) {
    return key == "eeprom" || key == "phy1.partner" || key == "phy2.link";
}

void ApplyToTopology(const DeviceSettings& settings, emu::device::Topology* topology) {
    topology->negotiation_time_us = settings.an_ms * 1000;
    topology->partner1 = settings.phy1_partner;
    topology->phy2_id2 = settings.phy2_id2;
    topology->partner2.reset();
    if (settings.phy2_link) topology->partner2 = emu::wire::LinkPartner::kAllAbilities;
}

void PrepareController(const DeviceSettings& settings, emu::device::Controller& device) {
    if (!settings.phy1_present) device.Mii().Detach(emu::device::kPhyOneAddress);
    device.HoldEepromDone(settings.eeprom_stuck);
    if (settings.ehci)
        emu::Machine::Current().Bus().SetHostController(emu::usb::Bus::HostController::Ehci);
}

void ScheduleChange(emu::Machine& machine, const TimedChange& change) {
    DeviceSettings after;
    SetDeviceSetting(change.key, change.value, &after);  // validated when parsed
    const std::string what = "--at " + change.key + "=" + change.value;
    machine.Clock().At(change.time_us, what, [&machine, change, after] {
        if (!machine.Bus().DevicePresent()) return;
        // The command plugs in nothing but controllers.
        auto& device = static_cast<emu::device::Controller&>(*machine.Bus().PluggedDevice());
        if (change.key == "eeprom") device.HoldEepromDone(after.eeprom_stuck);
        if (change.key == "phy1.partner") SetPartnerOne(device, after.phy1_partner);
        if (change.key == "phy2.link") SetPartnerTwo(device, after.phy2_link);
    });
}

}  // namespace qvnet
