// Reading the INF's text: logical lines, then sections, then strings put in.
#include "emulator/ndis/inf_reader.h"

namespace emu::ndis::inf {

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

}  // namespace emu::ndis::inf
