#include "tests/capture/tshark.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace qvtest {

namespace {

std::vector<std::string> SplitOn(const std::string& line, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(line);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!line.empty() && line.back() == separator) parts.emplace_back();
    return parts;
}

}  // namespace

std::string TsharkMissing() {
    if (std::system("tshark --version >/dev/null 2>&1") == 0) return "";
    return "tshark is missing: these tests decode the capture files with it (Debian package "
           "tshark, installed by scripts/setup)";
}

std::vector<std::vector<std::string>> TsharkFields(const std::string& file,
                                                   const std::vector<std::string>& fields,
                                                   std::string& error) {
    std::string command = "tshark -r '" + file + "' -T fields -E separator='|' -E occurrence=f";
    for (const std::string& field : fields) command += " -e " + field;
    const std::string errors = file + ".tshark-errors";
    command += " 2>'" + errors + "'";
    std::vector<std::vector<std::string>> rows;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        error = "cannot run: " + command;
        return rows;
    }
    std::string output;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    if (pclose(pipe) != 0) {
        std::ifstream said(errors);
        error = "tshark failed: " + command + "\n" +
                std::string(std::istreambuf_iterator<char>(said), {});
    }
    std::remove(errors.c_str());
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> row = SplitOn(line, '|');
        row.resize(fields.size());
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<uint8_t> HexBytes(const std::string& text) {
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text) {
        if (c == ':') continue;
        digits += c;
        if (digits.size() == 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
            digits.clear();
        }
    }
    return bytes;
}

uint64_t Microseconds(const std::string& seconds) {
    const size_t dot = seconds.find('.');
    const uint64_t whole = std::stoull(seconds.substr(0, dot));
    std::string fraction = dot == std::string::npos ? "" : seconds.substr(dot + 1);
    fraction.resize(6, '0');
    return whole * 1'000'000 + std::stoull(fraction);
}

uint64_t Number(const std::string& text) { return std::stoull(text, nullptr, 0); }

}  // namespace qvtest
