// Reading the driver's INF: the install the hardware id selects and the adapter-key values
// its AddReg sections write, from the text inf_reader.cpp reads.
#include "emulator/ndis/inf.h"

#include <map>

#include "emulator/ndis/config.h"
#include "emulator/ndis/inf_reader.h"

namespace emu::ndis {

namespace {

using inf::AtLine;
using inf::Fold;
using inf::Line;
using inf::ParseNumber;
using inf::Reader;
using inf::Same;
using inf::Section;

constexpr uint32_t kRegDword = 0x00010001;

std::string Join(const std::vector<std::string>& fields) {
    std::string joined;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) joined += ", ";
        joined += fields[i];
    }
    return joined;
}

// The model section's line naming `hardware_id`, substituted.
bool FindModel(Reader& reader, std::string_view hardware_id, Line* model, std::string* error) {
    const Section* manufacturer = reader.Find("Manufacturer");
    if (manufacturer == nullptr) {
        *error = "no [Manufacturer] section";
        return false;
    }
    for (const Line& raw : manufacturer->lines) {
        Line entry;
        if (!reader.Substitute(raw, &entry)) return false;
        if (!entry.has_key || entry.fields.empty() || entry.fields[0].empty()) {
            *error = AtLine(raw.number, "a [Manufacturer] line is 'name = models section'");
            return false;
        }
        const Section* models = reader.Find(entry.fields[0]);
        if (models == nullptr) {
            *error = AtLine(raw.number, "no models section [" + entry.fields[0] + "]");
            return false;
        }
        for (const Line& raw_model : models->lines) {
            Line line;
            if (!reader.Substitute(raw_model, &line)) return false;
            if (!line.has_key || line.fields.size() < 2) {
                *error = AtLine(raw_model.number,
                                "a model line is 'name = install section, hardware id'");
                return false;
            }
            for (size_t i = 1; i < line.fields.size(); ++i) {
                if (Same(line.fields[i], hardware_id)) {
                    *model = std::move(line);
                    return true;
                }
            }
        }
    }
    *error = "no model for hardware id " + std::string(hardware_id);
    return false;
}

bool ReadAddReg(Reader& reader, const Section& section, InfModel* model, std::string* error) {
    for (const Line& raw : section.lines) {
        Line line;
        if (!reader.Substitute(raw, &line)) return false;
        if (line.has_key || line.fields.size() < 3 || line.fields.size() > 5) {
            *error = AtLine(raw.number,
                            "an AddReg line is 'HKR, subkey, value name, flags, data'");
            return false;
        }
        if (!Same(line.fields[0], "HKR")) {
            *error = AtLine(raw.number, "'" + line.fields[0] +
                                            "': only the adapter's key (HKR) is written");
            return false;
        }
        InfRegValue value;
        value.subkey = line.fields[1];
        value.name = line.fields[2];
        if (line.fields.size() > 3 && !line.fields[3].empty()) {
            int64_t flags = 0;
            if (!ParseNumber(line.fields[3], &flags) || flags < 0) {
                *error = AtLine(raw.number, "flags '" + line.fields[3] + "' are not a number");
                return false;
            }
            value.flags = static_cast<uint32_t>(flags);
        }
        if (line.fields.size() > 4) value.data = line.fields[4];
        model->adapter_key.push_back(std::move(value));
    }
    return true;
}

// Ndi\params\<keyword>[\enum] values into the advanced-property definitions.
bool BuildParams(InfModel* model, std::string* error) {
    const std::string prefix = "ndi\\params\\";
    auto param_for = [model](const std::string& keyword) -> InfParam& {
        for (InfParam& param : model->params) {
            if (Same(param.keyword, keyword)) return param;
        }
        model->params.push_back(InfParam{});
        model->params.back().keyword = keyword;
        return model->params.back();
    };
    auto number = [error](const InfRegValue& value, std::optional<int64_t>* out) {
        int64_t parsed = 0;
        if (!ParseNumber(value.data, &parsed)) {
            *error = value.subkey + " " + value.name + ": '" + value.data + "' is not a number";
            return false;
        }
        *out = parsed;
        return true;
    };
    for (const InfRegValue& value : model->adapter_key) {
        if (value.subkey.empty()) {
            model->install_values.emplace_back(value.name, value.data);
            continue;
        }
        std::string folded = Fold(value.subkey);
        if (folded.compare(0, prefix.size(), prefix) != 0) continue;
        std::string rest = value.subkey.substr(prefix.size());
        size_t slash = rest.find('\\');
        std::string keyword = rest.substr(0, slash);
        if (keyword.empty()) {
            *error = value.subkey + ": no keyword";
            return false;
        }
        InfParam& param = param_for(keyword);
        if (slash != std::string::npos) {
            if (!Same(rest.substr(slash + 1), "enum")) {
                *error = value.subkey + ": only an enum's choices sit below a keyword";
                return false;
            }
            param.choices.push_back({value.name, value.data});
            continue;
        }
        std::string name = Fold(value.name);
        std::optional<int64_t> flag;
        if (name == "paramdesc") {
            param.description = value.data;
        } else if (name == "type") {
            param.type = Fold(value.data);
        } else if (name == "default") {
            param.default_value = value.data;
        } else if (name == "optional") {
            if (!number(value, &flag)) return false;
            param.optional = *flag != 0;
        } else if (name == "uppercase") {
            if (!number(value, &flag)) return false;
            param.upper_case = *flag != 0;
        } else if (name == "min") {
            if (!number(value, &param.min)) return false;
        } else if (name == "max") {
            if (!number(value, &param.max)) return false;
        } else if (name == "step") {
            if (!number(value, &param.step)) return false;
        } else if (name == "limittext") {
            if (!number(value, &param.limit_text)) return false;
        }
    }
    for (const InfParam& param : model->params) {
        const std::string where = "Ndi\\params\\" + param.keyword;
        if (param.description.empty()) {
            *error = where + " has no ParamDesc";
            return false;
        }
        if (param.type.empty()) {
            *error = where + " has no Type";
            return false;
        }
        const bool is_enum = param.type == "enum";
        if (!is_enum && !param.IsNumber() && param.type != "edit") {
            *error = where + ": unknown Type '" + param.type + "'";
            return false;
        }
        if (is_enum && param.choices.empty()) {
            *error = where + " is an enum without choices";
            return false;
        }
        if (!is_enum && !param.choices.empty()) {
            *error = where + " has choices but is not an enum";
            return false;
        }
    }
    return true;
}

std::u16string Widen(std::string_view text) {
    std::u16string wide;
    for (char c : text) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
    return wide;
}

}  // namespace


bool InfParam::IsNumber() const {
    return type == "int" || type == "long" || type == "word" || type == "dword";
}

const InfParam* InfModel::Param(std::string_view keyword) const {
    for (const InfParam& param : params) {
        if (Same(param.keyword, keyword)) return &param;
    }
    return nullptr;
}

const std::string* InfModel::Directive(std::string_view name) const {
    for (const auto& [key, value] : install_directives) {
        if (Same(key, name)) return &value;
    }
    return nullptr;
}

const std::string* InfModel::Value(std::string_view subkey, std::string_view name) const {
    for (const InfRegValue& value : adapter_key) {
        if (Same(value.subkey, subkey) && Same(value.name, name)) return &value.data;
    }
    return nullptr;
}

InfReadResult ReadInf(std::string_view text, std::string_view hardware_id) {
    InfReadResult result;
    Reader reader;
    if (!reader.Read(text)) {
        result.error = reader.Error();
        return result;
    }
    auto failed = [&](std::string error) {
        result.error = error.empty() ? reader.Error() : std::move(error);
        result.model = InfModel{};
        return result;
    };
    std::string error;

    const Section* version = reader.Find("Version");
    bool signed_nt = false;
    if (version != nullptr) {
        for (const Line& line : version->lines) {
            if (line.has_key && Same(line.key, "Signature") && line.fields.size() == 1 &&
                Same(line.fields[0], "$Windows NT$")) {
                signed_nt = true;
            }
        }
    }
    if (!signed_nt) return failed("no [Version] Signature \"$Windows NT$\"");

    Line model_line;
    if (!FindModel(reader, hardware_id, &model_line, &error)) return failed(error);
    InfModel& model = result.model;
    model.device_description = model_line.key;
    model.install_section = model_line.fields[0];
    const Section* install = reader.Find(model.install_section);
    if (install == nullptr) {
        return failed("no install section [" + model.install_section + "]");
    }

    for (const Line& raw : install->lines) {
        Line line;
        if (!reader.Substitute(raw, &line)) return failed("");
        if (!line.has_key) {
            return failed(AtLine(raw.number, "an install line is 'directive = value'"));
        }
        model.install_directives.emplace_back(line.key, Join(line.fields));
        if (!Same(line.key, "AddReg")) continue;
        for (const std::string& name : line.fields) {
            const Section* section = reader.Find(name);
            if (section == nullptr) {
                return failed(AtLine(raw.number, "no AddReg section [" + name + "]"));
            }
            if (!ReadAddReg(reader, *section, &model, &error)) return failed(error);
        }
    }
    if (!BuildParams(&model, &error)) return failed(error);
    result.ok = true;
    return result;
}

void ApplyInstallDefaults(ConfigStore& store, const InfModel& model) {
    for (const InfRegValue& value : model.adapter_key) {
        if (!value.subkey.empty()) continue;
        int64_t number = 0;
        if ((value.flags & kRegDword) == kRegDword && ParseNumber(value.data, &number)) {
            store.SetInteger(value.name, static_cast<ULONG>(number));
        } else {
            store.SetText(value.name, Widen(value.data));
        }
    }
}

}  // namespace emu::ndis
