// The configuration store and the NDIS calls that read it.
#include "emulator/ndis/config.h"

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/processor.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/verifier/verifier.h"
#include "emulator/kernel/platform_lock.h"

namespace emu::ndis {

namespace {

std::u16string Widen(std::string_view text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

bool ParseInteger(std::u16string_view text, unsigned base, ULONG* value) {
    if (text.empty()) return false;
    uint64_t result = 0;
    for (char16_t c : text) {
        unsigned digit;
        if (c >= u'0' && c <= u'9') {
            digit = c - u'0';
        } else if (c >= u'a' && c <= u'f') {
            digit = c - u'a' + 10;
        } else if (c >= u'A' && c <= u'F') {
            digit = c - u'A' + 10;
        } else {
            return false;
        }
        if (digit >= base) return false;
        result = result * base + digit;
        if (result > UINT32_MAX) return false;
    }
    *value = static_cast<ULONG>(result);
    return true;
}

bool ParseNetworkAddress(std::u16string_view text, std::vector<uint8_t>* address) {
    constexpr size_t kDigits = 12;
    if (text.size() != kDigits) return false;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < kDigits; i += 2) {
        ULONG byte = 0;
        if (!ParseInteger(text.substr(i, 2), 16, &byte)) return false;
        bytes.push_back(static_cast<uint8_t>(byte));
    }
    *address = std::move(bytes);
    return true;
}

std::u16string FoldKeyword(std::u16string_view keyword) {
    std::u16string folded(keyword);
    for (char16_t& c : folded) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return folded;
}

std::string KeywordText(const NDIS_STRING& keyword) {
    std::string text;
    for (USHORT i = 0; i < keyword.Length / 2; ++i) {
        char16_t c = keyword.Buffer[i];
        text += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return text;
}

void ConfigStore::SetInteger(std::string_view keyword, ULONG value) {
    Value& entry = values_[FoldKeyword(Widen(keyword))];
    entry = Value{};
    entry.integer = value;
}

void ConfigStore::SetText(std::string_view keyword, std::u16string_view value) {
    Value& entry = values_[FoldKeyword(Widen(keyword))];
    entry = Value{};
    entry.is_text = true;
    entry.text = value;
}

void ConfigStore::Remove(std::string_view keyword) { values_.erase(FoldKeyword(Widen(keyword))); }

void ConfigStore::SetNetworkAddress(const std::vector<uint8_t>& address) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::u16string text;
    for (uint8_t byte : address) {
        text += static_cast<char16_t>(kDigits[byte >> 4]);
        text += static_cast<char16_t>(kDigits[byte & 0xF]);
    }
    SetText(kNetworkAddressKeyword, text);
}

void ConfigStore::SetNetworkAddressBytes(std::vector<uint8_t> address) {
    SetNetworkAddress(address);
    values_[FoldKeyword(Widen(kNetworkAddressKeyword))].address_bytes = std::move(address);
}

const ConfigStore::Value* ConfigStore::Find(std::u16string_view keyword) const {
    auto it = values_.find(FoldKeyword(keyword));
    return it == values_.end() ? nullptr : &it->second;
}

}  // namespace emu::ndis

// ---- Platform routines --------------------------------------------------------------------

using emu::Kernel;
using emu::Rule;
using emu::ndis::ConfigHandle;
using emu::ndis::ConfigStore;
using emu::ndis::Miniport;

namespace {

bool AtPassive(const char* call, uintptr_t site) {
    return Kernel::Current().Cpu().CheckIrql(call, PASSIVE_LEVEL, PASSIVE_LEVEL, site);
}

// Looked up at each read, so that a test may fill the stores at any time.
std::vector<const ConfigStore*> Stores(const ConfigHandle& open) {
    return emu::ndis::Ndis::Current().ConfigurationChain(open.adapter->PhysicalDevice());
}

ConfigHandle* OpenHandle(NDIS_HANDLE handle, const char* call, uintptr_t site) {
    Kernel& kernel = Kernel::Current();
    for (Miniport* adapter : emu::ndis::Ndis::Current().Adapters()) {
        ConfigHandle* open = adapter->FindConfiguration(handle);
        if (open != nullptr) return open;
    }
    kernel.Check().Report(Rule::Platform, call, "not an open configuration handle", site);
    return nullptr;
}

}  // namespace

void NdisOpenConfiguration(NDIS_STATUS* Status, NDIS_HANDLE* ConfigurationHandle,
                           NDIS_HANDLE WrapperConfigurationContext) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    AtPassive("NdisOpenConfiguration", site);
    Kernel& kernel = Kernel::Current();
    *Status = NDIS_STATUS_FAILURE;
    *ConfigurationHandle = nullptr;
    Miniport* owner = nullptr;
    for (Miniport* adapter : emu::ndis::Ndis::Current().Adapters()) {
        if (adapter->ConfigurationContext() == WrapperConfigurationContext) owner = adapter;
    }
    if (owner == nullptr) {
        kernel.Check().Report(Rule::Platform, "NdisOpenConfiguration",
                               "not a configuration context NDIS gave out", site);
        return;
    }
    if (emu::ndis::Ndis::Current().Use(owner->Handle(), "NdisOpenConfiguration", site) == nullptr) return;
    if (emu::ndis::Ndis::Current().OpenConfigurationFails()) {
        *Status = NDIS_STATUS_RESOURCES;
        return;
    }
    *ConfigurationHandle = owner->OpenConfiguration();
    *Status = NDIS_STATUS_SUCCESS;
}

void NdisReadConfiguration(NDIS_STATUS* Status, NDIS_CONFIGURATION_PARAMETER** ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, NDIS_STRING* Keyword,
                           NDIS_PARAMETER_TYPE ParameterType) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    AtPassive("NdisReadConfiguration", site);
    // On a failure the parameter pointer is left as it was, as NDIS leaves it.
    *Status = NDIS_STATUS_FAILURE;
    ConfigHandle* open = OpenHandle(ConfigurationHandle, "NdisReadConfiguration", site);
    if (open == nullptr) return;
    open->adapter->NoteConfigurationRead(emu::ndis::KeywordText(*Keyword));
    const ConfigStore::Value* value = nullptr;
    for (const ConfigStore* store : Stores(*open)) {
        value = store->Find(std::u16string_view(Keyword->Buffer, Keyword->Length / 2));
        if (value != nullptr) break;
    }
    if (value == nullptr) return;

    auto parameter = std::make_unique<NDIS_CONFIGURATION_PARAMETER>();
    if (!value->is_text) {
        // A number is handed out as a number whatever type was asked for, as NDIS does.
        parameter->ParameterType = NdisParameterInteger;
        parameter->ParameterData.IntegerData = value->integer;
    } else if (ParameterType == NdisParameterInteger || ParameterType == NdisParameterHexInteger) {
        ULONG number = 0;
        unsigned base = ParameterType == NdisParameterHexInteger ? 16 : 10;
        if (!emu::ndis::ParseInteger(value->text, base, &number)) return;
        parameter->ParameterType = ParameterType;
        parameter->ParameterData.IntegerData = number;
    } else {
        open->texts.push_back(std::make_unique<std::u16string>(value->text));
        const std::u16string& text = *open->texts.back();
        parameter->ParameterType = NdisParameterString;
        parameter->ParameterData.StringData.Length = static_cast<USHORT>(text.size() * 2);
        parameter->ParameterData.StringData.MaximumLength =
            static_cast<USHORT>(text.size() * 2 + 2);
        parameter->ParameterData.StringData.Buffer = const_cast<WCHAR*>(text.c_str());
    }
    open->parameters.push_back(std::move(parameter));
    *ParameterValue = open->parameters.back().get();
    *Status = NDIS_STATUS_SUCCESS;
}

void NdisReadNetworkAddress(NDIS_STATUS* Status, PVOID* NetworkAddress,
                            UINT* NetworkAddressLength, NDIS_HANDLE ConfigurationHandle) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    AtPassive("NdisReadNetworkAddress", site);
    *Status = NDIS_STATUS_FAILURE;
    *NetworkAddress = nullptr;
    *NetworkAddressLength = 0;
    ConfigHandle* open = OpenHandle(ConfigurationHandle, "NdisReadNetworkAddress", site);
    if (open == nullptr) return;
    open->adapter->NoteConfigurationRead(std::string(ConfigStore::kNetworkAddressKeyword));
    const std::u16string keyword(ConfigStore::kNetworkAddressKeyword.begin(),
                                 ConfigStore::kNetworkAddressKeyword.end());
    const ConfigStore::Value* value = nullptr;
    for (const ConfigStore* store : Stores(*open)) {
        value = store->Find(keyword);
        if (value != nullptr) break;
    }
    std::vector<uint8_t> address;
    if (value != nullptr && value->address_bytes) {
        address = *value->address_bytes;
    } else if (value == nullptr || !value->is_text ||
               !emu::ndis::ParseNetworkAddress(value->text, &address)) {
        return;
    }
    open->network_addresses.push_back(std::make_unique<std::vector<uint8_t>>(std::move(address)));
    std::vector<uint8_t>& kept = *open->network_addresses.back();
    *NetworkAddress = kept.data();
    *NetworkAddressLength = static_cast<UINT>(kept.size());
    *Status = NDIS_STATUS_SUCCESS;
}

void NdisInitUnicodeString(NDIS_STRING* Destination, const WCHAR* Source) {
    EMU_PLATFORM_ENTRY();
    Kernel::Current().Cpu().CheckIrql("NdisInitUnicodeString", DISPATCH_LEVEL, PASSIVE_LEVEL,
                                      EMU_CALLER());
    size_t units = 0;
    if (Source != nullptr) {
        while (Source[units] != 0) ++units;
    }
    Destination->Length = static_cast<USHORT>(units * sizeof(WCHAR));
    Destination->MaximumLength =
        static_cast<USHORT>(Source != nullptr ? (units + 1) * sizeof(WCHAR) : 0);
    Destination->Buffer = const_cast<WCHAR*>(Source);
}

void NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    AtPassive("NdisCloseConfiguration", site);
    ConfigHandle* open = OpenHandle(ConfigurationHandle, "NdisCloseConfiguration", site);
    if (open == nullptr) return;
    open->adapter->CloseConfiguration(open);
}
