#include "tools/qvnet/run_options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "tools/qvnet/oids.h"

namespace qvnet {

namespace {

constexpr unsigned kSmallestFrame = 14;  // the Ethernet header alone
constexpr unsigned kLargestFrame = 1514;

std::optional<unsigned> ParseFrameLength(const std::string& text) {
    std::optional<uint32_t> value = ParseNumber(text);
    if (!value || *value < kSmallestFrame || *value > kLargestFrame) return std::nullopt;
    return *value;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return bytes;
}

// Splits "KEY=VALUE" at its first '='; false when there is none or the key is empty.
bool SplitPair(const std::string& text, std::string* key, std::string* value) {
    size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    *key = text.substr(0, equals);
    *value = text.substr(equals + 1);
    return true;
}

}  // namespace

const std::vector<std::string>& IntegerKeywords() {
    static const std::vector<std::string> keywords = {
        "TxPacketDesc", "RxPacketDesc", "MediaType",      "MediaSel",       "MagicPkt",
        "LinkWakeup",   "FlowControl",  "FlowControl_Tx", "FlowControl_Rx", "Platform"};
    return keywords;
}

std::optional<uint32_t> ParseNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    for (size_t i = start; i < text.size(); ++i) {
        if (base == 10 ? !std::isdigit(static_cast<unsigned char>(text[i]))
                       : HexDigit(text[i]) < 0) {
            return std::nullopt;
        }
    }
    if (text.size() - start > 10) return std::nullopt;
    unsigned long long value = std::strtoull(text.c_str() + start, nullptr, base);
    if (value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::optional<std::vector<uint8_t>> ParseMacAddress(const std::string& text) {
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        // A separator only between two pairs of digits.
        if ((c == '-' || c == ':') && digits.size() % 2 == 0 && !digits.empty() &&
            i + 1 < text.size()) {
            continue;
        }
        digits.push_back(c);
    }
    if (digits.size() != 12) return std::nullopt;
    return ParseHexBytes(digits);
}

std::string ParseSize(const std::string& text, RunOptions* options) {
    size_t dash = text.find('-');
    std::optional<unsigned> low = ParseFrameLength(text.substr(0, dash));
    std::optional<unsigned> high =
        dash == std::string::npos ? low : ParseFrameLength(text.substr(dash + 1));
    if (!low || !high || *low > *high) {
        return "--size " + text + ": expected N or MIN-MAX, frame lengths from 14 to 1514";
    }
    options->size_min = *low;
    options->size_max = *high;
    return {};
}

std::string ParseParam(const std::string& text, RunOptions* options) {
    std::string keyword, value;
    if (!SplitPair(text, &keyword, &value)) return "--param " + text + ": expected KEYWORD=VALUE";
    if (keyword == "NetworkAddress") {
        std::optional<std::vector<uint8_t>> address = ParseMacAddress(value);
        if (!address) {
            return "--param " + text + ": expected 12 hex digits, '-' or ':' between pairs";
        }
        options->network_address = *address;
        return {};
    }
    const auto& known = IntegerKeywords();
    if (std::find(known.begin(), known.end(), keyword) == known.end()) {
        std::string list;
        for (const std::string& name : known) list += name + ", ";
        return "--param " + text + ": unknown keyword (known: " + list + "NetworkAddress)";
    }
    std::optional<uint32_t> number = ParseNumber(value);
    if (!number) return "--param " + text + ": expected a 32-bit number, decimal or 0x hex";
    options->params.emplace_back(keyword, *number);
    return {};
}

std::string ParseSet(const std::string& text, RunOptions* options) {
    std::string oid_text, hex;
    if (!SplitPair(text, &oid_text, &hex)) return "--set " + text + ": expected OID=HEX";
    std::optional<uint32_t> oid = OidByName(oid_text);
    if (!oid) oid = ParseNumber(oid_text);
    if (!oid) {
        return "--set " + text +
               ": unknown OID (an NDIS name like OID_GEN_CURRENT_PACKET_FILTER, or a number)";
    }
    std::optional<std::vector<uint8_t>> bytes = ParseHexBytes(hex);
    if (!bytes) return "--set " + text + ": expected the buffer as pairs of hex digits";
    const char* name = OidName(*oid);
    options->sets.push_back({*oid, name != nullptr ? name : oid_text, *bytes});
    return {};
}

std::optional<uint64_t> ParseDuration(const std::string& text) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
        ++digits;
    }
    if (digits == 0 || digits > 12) return std::nullopt;
    const uint64_t count = std::strtoull(text.substr(0, digits).c_str(), nullptr, 10);
    const std::string unit = text.substr(digits);
    if (unit == "us") return count;
    if (unit == "ms") return count * 1000;
    if (unit == "s") return count * 1'000'000;
    return std::nullopt;
}

std::string ParseAt(const std::string& text, RunOptions* options) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) return "--at " + text + ": expected TIME:KEY=VALUE";
    std::optional<uint64_t> time = ParseDuration(text.substr(0, colon));
    if (!time) return "--at " + text + ": expected a time like 250us, 9500ms or 6s first";
    std::string key, value;
    if (!SplitPair(text.substr(colon + 1), &key, &value)) {
        return "--at " + text + ": expected TIME:KEY=VALUE";
    }
    if (key == "usb" || key == "system") {
        using Kind = LifeStep::Kind;
        std::optional<Kind> kind;
        if (key == "usb" && value == "unplugged") kind = Kind::Unplug;
        if (key == "usb" && value == "plugged") kind = Kind::Plug;
        if (key == "system" && value == "sleep") kind = Kind::Sleep;
        if (key == "system" && value == "wake") kind = Kind::Wake;
        if (!kind) {
            return "--at " + text + ": " + key +
                   (key == "usb" ? " takes unplugged or plugged" : " takes sleep or wake");
        }
        options->life.push_back({*time, *kind, text});
        return {};
    }
    DeviceSettings scratch;
    std::string error = SetDeviceSetting(key, value, &scratch);
    if (!error.empty()) return "--at " + text + ": " + error.substr(error.find(':') + 2);
    if (!ChangeableAtRunTime(key)) {
        return "--at " + text + ": " + key +
               " cannot change while the adapter runs (eeprom, phy1.partner and phy2.link can, "
               "and usb and system are steps of the adapter's life)";
    }
    options->changes.push_back({*time, key, value});
    return {};
}

std::string CheckLifeSteps(RunOptions* options) {
    using Kind = LifeStep::Kind;
    std::stable_sort(options->life.begin(), options->life.end(),
                     [](const LifeStep& a, const LifeStep& b) { return a.time_us < b.time_us; });
    bool plugged = true, asleep = false;
    for (const LifeStep& step : options->life) {
        const char* problem = nullptr;
        switch (step.kind) {
            case Kind::Unplug:
                if (!plugged) problem = "the port is already empty then";
                plugged = false;
                break;
            case Kind::Plug:
                if (plugged) problem = "a controller is already in the port then";
                if (asleep) problem = "the system sleeps then";
                plugged = true;
                break;
            case Kind::Sleep:
                if (asleep) problem = "the system already sleeps then";
                asleep = true;
                break;
            case Kind::Wake:
                if (!asleep) problem = "the system is awake then";
                asleep = false;
                break;
        }
        if (problem != nullptr) return "--at " + step.text + ": " + problem;
    }
    return {};
}

}  // namespace qvnet
