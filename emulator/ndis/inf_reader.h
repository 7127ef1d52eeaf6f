// The INF as text: logical lines (comments dropped, continuations joined, fields split and
// unquoted), sections, and %strkey% from [Strings]. inf.cpp reads the install out of it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace emu::ndis::inf {

// Lower case, for the INF's case-blind names.
std::string Fold(std::string_view text);
bool Same(std::string_view a, std::string_view b);
std::string Trim(std::string_view text);
std::string AtLine(int line, const std::string& message);
// Decimal, or hex after "0x"; an optional leading minus.
bool ParseNumber(std::string_view text, int64_t* value);

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

}  // namespace emu::ndis::inf
