// The emulated hardware a qvnet run plugs in (--device KEY=VALUE), and the changes to it made
// at virtual times while the adapter runs (--at TIME:KEY=VALUE).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace emu {
class Machine;
namespace device {
class Controller;
struct Topology;
}  // namespace device
}  // namespace emu

namespace qvnet {

struct DeviceSettings {
    std::array<uint8_t, 6> eeprom_address = {0x02, 0x51, 0x56, 0x00, 0x00, 0x01};
    bool eeprom_stuck = false;           // the EEPROM never reports done
    bool phy1_present = true;
    std::optional<uint16_t> phy1_partner = 0x01E1;  // ability word; none: no cable
    std::optional<uint16_t> phy2_id2;               // absent, or present with this identifier
    bool phy2_link = false;
    uint64_t an_ms = 400;                            // PHY 1's auto-negotiation time
    bool ehci = false;  // the host controller model: UHCI/OHCI (short IN packets fail) or EHCI
};

// One --at: the setting and when it takes effect, counted from plug-in.
struct TimedChange {
    uint64_t time_us = 0;
    std::string key;
    std::string value;
};

// Applies KEY=VALUE to Settings; empty when good, else what is wrong.
std::string SetDeviceSetting(const std::string& key, const std::string& value,
                             DeviceSettings* settings);
// Whether KEY may change while the adapter runs (the cables and the EEPROM's done bit may;
// which chips are soldered on, the EEPROM's contents and the PHY's timing may not).
bool ChangeableAtRunTime(const std::string& key);

// The topology the controller is built with.
void ApplyToTopology(const DeviceSettings& settings, emu::device::Topology* topology);
// What must be done to the controller itself once it exists, before the driver starts.
void PrepareController(const DeviceSettings& settings, emu::device::Controller& device);
// Schedules Change on the machine's clock; the controller in the port then applies it (none,
// while the port is empty).
void ScheduleChange(emu::Machine& machine, const TimedChange& change);

}  // namespace qvnet
