// OIDs and NDIS statuses by their NDIS names, for what the command prints and parses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qvnet {

struct NamedOid {
    uint32_t oid;
    const char* name;
};

// The driver's supported list in its order, then the OIDs it refuses outright.
const std::vector<NamedOid>& QueriedOids();
// The NDIS name of an OID the command knows; null for others.
const char* OidName(uint32_t oid);
// An OID by its NDIS name.
std::optional<uint32_t> OidByName(const std::string& name);
// NDIS_STATUS_SUCCESS, NDIS_STATUS_INVALID_LENGTH, ...; 0x%08x for a status without a name.
std::string StatusName(int32_t status);

}  // namespace qvnet
