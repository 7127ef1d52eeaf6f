// The queries NDIS makes of an adapter on its own, right after MiniportInitialize succeeded,
// before any protocol is bound, and what it does with the answers.
#pragma once

#include <vector>

#include "platform/ndis.h"

namespace emu::ndis {

class Miniport;

// In the order they are made: the adapter's capabilities and its media state, then its
// power-management capabilities.
const std::vector<NDIS_OID>& InitialQueryOids();

// Issues them through the adapter's request path, one at a time (a pended one is waited for),
// and records whether the adapter is power-managed.
void IssueInitialQueries(Miniport& adapter);

}  // namespace emu::ndis
