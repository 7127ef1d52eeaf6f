// The configuration an adapter reads through NDIS: keywords with integer or text values, as
// the registry holds them; the network address is the text keyword "NetworkAddress". A test
// or the command fills it before the adapter starts.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ndis.h"

namespace emu::ndis {

class Miniport;

class ConfigStore {
public:
    struct Value {
        bool is_text = false;
        ULONG integer = 0;
        std::u16string text;
        // Bytes NdisReadNetworkAddress hands over as they are, whatever the text says.
        std::optional<std::vector<uint8_t>> address_bytes;
    };

    void SetInteger(std::string_view keyword, ULONG value);
    // A text value: read as an integer only when it spells one (decimal, or hex for
    // NdisParameterHexInteger), as the registry's string values are.
    void SetText(std::string_view keyword, std::u16string_view value);
    void Remove(std::string_view keyword);
    // "NetworkAddress" as the text of the bytes in hex digits, as the adapter's properties
    // page writes it.
    void SetNetworkAddress(const std::vector<uint8_t>& address);
    // A network address read back as these bytes, of any length, as a platform that reads
    // the text more loosely than twelve hex digits would return it.
    void SetNetworkAddressBytes(std::vector<uint8_t> address);
    void ClearNetworkAddress() { Remove(kNetworkAddressKeyword); }
    void Clear() { values_.clear(); }

    // Keywords match without regard to case.
    const Value* Find(std::u16string_view keyword) const;

    static constexpr std::string_view kNetworkAddressKeyword = "NetworkAddress";

private:
    std::map<std::u16string, Value> values_;  // keyed by the folded keyword
};

// One open configuration handle: what it handed out stays valid until it is closed.
struct ConfigHandle {
    Miniport* adapter = nullptr;
    std::vector<std::unique_ptr<NDIS_CONFIGURATION_PARAMETER>> parameters;
    std::vector<std::unique_ptr<std::u16string>> texts;
    std::vector<std::unique_ptr<std::vector<uint8_t>>> network_addresses;
};

// ASCII case folding of a keyword, as the store keys it.
std::u16string FoldKeyword(std::u16string_view keyword);
std::string KeywordText(const NDIS_STRING& keyword);
// Registry text read as a number: decimal for NdisParameterInteger, hex for the hex type.
bool ParseInteger(std::u16string_view text, unsigned base, ULONG* value);
// The bytes of a network address spelled as 12 hex digits; false for anything else.
bool ParseNetworkAddress(std::u16string_view text, std::vector<uint8_t>* address);

}  // namespace emu::ndis
