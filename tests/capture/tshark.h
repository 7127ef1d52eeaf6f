// tshark as the capture tests' reader: what Wireshark makes of a file is what its users see.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvtest {

// Empty when tshark can be run; else why not.
std::string TsharkMissing();

// One row per record of `file`, with the fields' values in the order asked ("" when a record
// has no such field). A failed run leaves the reason in `error`.
std::vector<std::vector<std::string>> TsharkFields(const std::string& file,
                                                   const std::vector<std::string>& fields,
                                                   std::string& error);

// "0a:1b:..." or "0a1b..." as bytes.
std::vector<uint8_t> HexBytes(const std::string& text);
// A time tshark prints in seconds ("12.345678000") in microseconds.
uint64_t Microseconds(const std::string& seconds);
// tshark's "0x00c0", "0xc0" or "192".
uint64_t Number(const std::string& text);

}  // namespace qvtest
