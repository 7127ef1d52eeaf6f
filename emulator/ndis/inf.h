// The driver's INF as the hosted platform reads it: what the adapter's advanced properties
// offer for each keyword, and the values a fresh install writes into the adapter's key. Only
// the part of the INF language the qvnet INF uses is understood: sections, "; comments",
// quoted strings (with "" for a quote), %strkey% from [Strings] (%% for a percent sign; a
// number such as %12% is a directory id and stays as written), lines continued with a
// trailing backslash, and AddReg lines rooted at HKR.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu::ndis {

class ConfigStore;

// The built-in copy of windows/qvnet.inf, taken in at build time.
std::string_view QvnetInfText();
// The hardware id the INF's model matches: the emulated controller's USB identity.
inline constexpr std::string_view kQvnetHardwareId = "USB\\VID_5156&PID_0101";

// One value an AddReg line writes under the adapter's key (HKR).
struct InfRegValue {
    std::string subkey;  // "" for the key itself
    std::string name;
    uint32_t flags = 0;  // 0: a string; 0x00010001: a number
    std::string data;
};

// One entry of the advanced properties page: Ndi\params\<keyword>.
struct InfParam {
    struct Choice {
        std::string value;
        std::string text;  // as the page shows it
    };
    std::string keyword;  // as the INF spells it
    std::string description;  // ParamDesc
    std::string type;         // int, long, word, dword, edit or enum
    std::string default_value;
    bool optional = false;
    std::optional<int64_t> min, max, step;
    std::optional<int64_t> limit_text;
    bool upper_case = false;
    std::vector<Choice> choices;  // for an enum, in the INF's order

    bool IsNumber() const;
};

struct InfModel {
    std::string device_description;  // the model line's shown name
    std::string install_section;     // the DDInstall section the hardware id selects
    // Directives of the install section, keys as written ("Characteristics", "AddReg", ...).
    std::vector<std::pair<std::string, std::string>> install_directives;
    // Every HKR value of the install's AddReg sections, in order.
    std::vector<InfRegValue> adapter_key;
    // The advanced properties, in the order the INF first names them.
    std::vector<InfParam> params;
    // Values written into the adapter's key itself (empty subkey): keyword and data.
    std::vector<std::pair<std::string, std::string>> install_values;

    // Keywords match without regard to case; null when absent.
    const InfParam* Param(std::string_view keyword) const;
    const std::string* Directive(std::string_view name) const;
    const std::string* Value(std::string_view subkey, std::string_view name) const;
};

struct InfReadResult {
    bool ok = false;
    std::string error;  // "line N: ...", or what is missing, when !ok
    InfModel model;
};

// Reads the INF and follows [Manufacturer] to the model matching `hardware_id` (without
// regard to case), then its install section's AddReg sections. Malformed text, a missing
// section or a parameter without its Type, an unknown %strkey%, or numbers that do not parse
// give ok = false and a message; nothing is thrown.
InfReadResult ReadInf(std::string_view text, std::string_view hardware_id);

// Writes what a fresh install writes into the adapter's key into `store`: string values as
// registry text, numbers as numbers.
void ApplyInstallDefaults(ConfigStore& store, const InfModel& model);

}  // namespace emu::ndis
