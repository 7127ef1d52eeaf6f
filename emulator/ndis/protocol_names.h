// How the protocol edge names a status and a packet in its reports.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/ndis.h"

namespace emu::ndis {

inline std::string StatusText(NDIS_STATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

inline std::string PacketName(uint64_t id) { return "packet #" + std::to_string(id); }

}  // namespace emu::ndis
