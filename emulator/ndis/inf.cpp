// Reading the driver's INF: logical lines, then sections, then the install the hardware id
// selects and the adapter-key values its AddReg sections write.
#include "emulator/ndis/inf.h"

#include <map>

#include "emulator/ndis/config.h"

namespace emu::ndis {

namespace {

constexpr uint32_t kRegDword = 0x00010001;

std::string Fold(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

bool Same(std::string_view a, std::string_view b) { return Fold(a) == Fold(b); }

std::string Trim(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' ||
                           text[end - 1] == '\r')) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string AtLine(int line, const std::string& message) {
    return "line " + std::to_string(line) + ": " + message;
}

// Decimal, or hex after "0x"; an optional leading minus.
bool ParseNumber(std::string_view text, int64_t* value) {
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t result = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        if (digit >= base) return false;
        result = result * base + digit;
        if (result > 0xFFFFFFFFull) return false;
    }
    *value = negative ? -static_cast<int64_t>(result) : static_cast<int64_t>(result);
    return true;
}

// One logical line: "key = fields" or bare fields, quotes removed, strings not yet put in.
struct Line {
    int number = 0;
    bool has_key = false;
    std::string key;
    std::vector<std::string> fields;
};

struct Section {
    std::string name;
    std::vector<Line> lines;
};

class Reader {
public:
    bool Read(std::string_view text);
    const std::string& Error() const { return error_; }
    const Section* Find(std::string_view name) const;
    // %strkey% put in; false with the error set when a key is unknown or unterminated.
    bool Substitute(const Line& line, Line* out);

private:
    bool Fail(int line, const std::string& message) {
        error_ = AtLine(line, message);
        return false;
    }
    bool SplitLine(int number, const std::string& text, Line* line);
    bool Expand(int number, const std::string& text, std::string* out);

    std::vector<Section> sections_;
    std::map<std::string, std::string> strings_;  // keyed by the folded key
    std::string error_;
};

// Splits at unquoted commas (and the first unquoted '='). Around a field, blanks outside
// quotes are dropped; inside quotes everything stands, "" giving one quote.
bool Reader::SplitLine(int number, const std::string& text, Line* line) {
    line->number = number;
    std::string field;
    bool quoted = false;       // inside quotes
    bool any_quote = false;    // the field had a quoted part: its blanks are content
    size_t pending_blanks = 0; // blanks after unquoted text, kept only if more text follows
    auto finish_field = [&]() {
        std::string value = any_quote ? field : Trim(field);
        line->fields.push_back(value);
        field.clear();
        any_quote = false;
        pending_blanks = 0;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += c;
            }
            continue;
        }
        if (c == '"') {
            if (!any_quote) {  // blanks ahead of the field's first quote are not content
                size_t lead = field.find_first_not_of(" \t");
                field.erase(0, lead == std::string::npos ? field.size() : lead);
            }
            field.append(pending_blanks, ' ');
            pending_blanks = 0;
            quoted = true;
            any_quote = true;
        } else if (c == ',') {
            finish_field();
        } else if (c == '=' && !line->has_key && line->fields.empty()) {
            line->has_key = true;
            line->key = any_quote ? field : Trim(field);
            field.clear();
            any_quote = false;
            pending_blanks = 0;
        } else if (c == ' ' || c == '\t') {
            if (any_quote) {
                ++pending_blanks;
            } else {
                field += c;
            }
        } else {
            field.append(pending_blanks, ' ');
            pending_blanks = 0;
            field += c;
        }
    }
    if (quoted) return Fail(number, "unterminated quoted string");
    finish_field();
    if (line->has_key && line->key.empty()) return Fail(number, "'=' with no key before it");
    // A bare line with nothing on it is no line at all.
    if (!line->has_key && line->fields.size() == 1 && line->fields[0].empty()) {
        line->fields.clear();
    }
    return true;
}

bool Reader::Read(std::string_view text) {
    int number = 0;
    int first = 0;        // where the logical line began
    std::string logical;  // joined across trailing backslashes
    Section* current = nullptr;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view raw = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (logical.empty()) first = number;

        // Cut the comment: a ';' outside quotes.
        std::string content;
        bool quoted = false;
        for (char c : raw) {
            if (c == '"') quoted = !quoted;
            if (c == ';' && !quoted) break;
            content += c;
        }
        if (quoted) return Fail(number, "unterminated quoted string");
        content = Trim(content);
        if (!content.empty() && content.back() == '\\') {
            content.pop_back();
            logical += content;
            if (at > text.size()) return Fail(number, "a continued line with nothing after it");
            continue;
        }
        logical += content;
        std::string whole = Trim(logical);
        logical.clear();
        if (whole.empty()) continue;

        if (whole[0] == '[') {
            if (whole.back() != ']') return Fail(first, "section name without its ']'");
            std::string name = Trim(std::string_view(whole).substr(1, whole.size() - 2));
            if (name.empty()) return Fail(first, "empty section name");
            current = nullptr;
            for (Section& section : sections_) {
                if (Same(section.name, name)) current = &section;  // same name: one section
            }
            if (current == nullptr) {
                sections_.push_back(Section{name, {}});
                current = &sections_.back();
            }
            continue;
        }
        if (current == nullptr) return Fail(first, "text before the first section");
        Line line;
        if (!SplitLine(first, whole, &line)) return false;
        current->lines.push_back(std::move(line));
    }

    if (const Section* strings = Find("Strings")) {
        for (const Line& line : strings->lines) {
            if (!line.has_key || line.fields.size() != 1) {
                return Fail(line.number, "a [Strings] line is 'key = text'");
            }
            strings_[Fold(line.key)] = line.fields[0];
        }
    }
    return true;
}

const Section* Reader::Find(std::string_view name) const {
    for (const Section& section : sections_) {
        if (Same(section.name, name)) return &section;
    }
    return nullptr;
}

bool Reader::Expand(int number, const std::string& text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *out += text[i];
            continue;
        }
        size_t close = text.find('%', i + 1);
        if (close == std::string::npos) return Fail(number, "'%' without its closing '%'");
        std::string key = text.substr(i + 1, close - i - 1);
        i = close;
        if (key.empty()) {
            *out += '%';
            continue;
        }
        int64_t dirid = 0;
        if (ParseNumber(key, &dirid)) {  // a directory id: left for the installer
            *out += "%" + key + "%";
            continue;
        }
        auto it = strings_.find(Fold(key));
        if (it == strings_.end()) return Fail(number, "unknown string key %" + key + "%");
        *out += it->second;
    }
    return true;
}

bool Reader::Substitute(const Line& line, Line* out) {
    out->number = line.number;
    out->has_key = line.has_key;
    if (!Expand(line.number, line.key, &out->key)) return false;
    out->fields.clear();
    for (const std::string& field : line.fields) {
        std::string expanded;
        if (!Expand(line.number, field, &expanded)) return false;
        out->fields.push_back(std::move(expanded));
    }
    return true;
}

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
