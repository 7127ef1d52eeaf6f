// What a qvnet run is asked to do, and the parsers that turn the command line's texts into it.
// Each parser returns an empty string when the text is good, else one line naming what is
// wrong, so that a bad argument stops the command before anything runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/harness/schedule.h"
#include "tools/qvnet/device_settings.h"

namespace qvnet {

// One --set: the OID and the bytes of its information buffer.
struct SetRequest {
    uint32_t oid = 0;
    std::string name;  // as the user wrote it, or the OID's NDIS name
    std::vector<uint8_t> bytes;
};

// One --at usb=... or system=...: a step in the adapter's life rather than in the hardware.
struct LifeStep {
    enum class Kind { Unplug, Plug, Sleep, Wake };
    uint64_t time_us = 0;
    Kind kind = Kind::Unplug;
    std::string text;  // the argument as given, for messages
};

struct RunOptions {
    unsigned frames = 200;
    unsigned size_min = 14;
    unsigned size_max = 1514;
    unsigned seed = 1;
    unsigned interval_us = 2000;
    bool complete_at_once = false;
    // Integer keywords by exact name, and the network address, on top of the INF's values.
    std::vector<std::pair<std::string, uint32_t>> params;
    std::optional<std::vector<uint8_t>> network_address;
    DeviceSettings device;
    std::vector<TimedChange> changes;  // --at of device settings, in the order given
    std::vector<LifeStep> life;        // --at usb= and system=, in time order once checked
    std::optional<uint64_t> up_for_us;
    std::vector<SetRequest> sets;
    std::string usb_pcap;
    std::string pcap;
    bool json = false;
    qvtest::ScheduleOptions schedule;
};

// "N" or "MIN-MAX", each from 14 to 1514 (an Ethernet frame without its FCS).
std::string ParseSize(const std::string& text, RunOptions* options);
// "KEYWORD=VALUE" for a configuration keyword the driver reads.
std::string ParseParam(const std::string& text, RunOptions* options);
// "OID=HEX": the OID by NDIS name or number, then the buffer's bytes in hex.
std::string ParseSet(const std::string& text, RunOptions* options);
// A virtual time with its unit: "250us", "9500ms", "6s".
std::optional<uint64_t> ParseDuration(const std::string& text);
// "TIME:KEY=VALUE": a device setting that changes at a virtual time, or usb=unplugged|plugged,
// system=sleep|wake.
std::string ParseAt(const std::string& text, RunOptions* options);
// Puts the usb and system steps in time order (the order given among equal times) and checks
// that each can happen: an unplug needs a device in the port, a plug an empty port and a
// system awake, a sleep a system awake, a wake one asleep.
std::string CheckLifeSteps(RunOptions* options);

// The integer keywords the driver reads, by their exact names.
const std::vector<std::string>& IntegerKeywords();
// A number in decimal or with a 0x prefix, up to 32 bits.
std::optional<uint32_t> ParseNumber(const std::string& text);
// Six bytes written as 12 hex digits, with "-" or ":" between pairs allowed.
std::optional<std::vector<uint8_t>> ParseMacAddress(const std::string& text);

}  // namespace qvnet
