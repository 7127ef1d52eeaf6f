// NDIS queries a connectionless miniport on its own behalf once MiniportInitialize has
// returned NDIS_STATUS_SUCCESS, for its capabilities and status ("Querying a Connectionless
// Miniport Driver (NDIS 5.1)"). Which general OIDs it asks is not listed there: these are
// taken from the mandatory general OIDs that say what the adapter can do and whether its
// medium is connected. OID_PNP_CAPABILITIES decides power management: an answer other than
// success makes the adapter a legacy one that is not power-management aware ("Power
// Management for Legacy Miniport Drivers (NDIS 5.1)", "OID_PNP_CAPABILITIES").
#include "emulator/ndis/initial_queries.h"

#include "emulator/ndis/miniport.h"
#include "emulator/ndis/requests.h"

namespace emu::ndis {

namespace {
// Room for the largest answer among them: NDIS_PNP_CAPABILITIES is 16 bytes.
constexpr ULONG kAnswerRoom = 16;
}  // namespace

const std::vector<NDIS_OID>& InitialQueryOids() {
    static const std::vector<NDIS_OID> oids = {OID_GEN_MAXIMUM_LOOKAHEAD, OID_GEN_MAC_OPTIONS,
                                               OID_GEN_MEDIA_CONNECT_STATUS,
                                               OID_PNP_CAPABILITIES};
    return oids;
}

void IssueInitialQueries(Miniport& adapter) {
    adapter.SetPowerManaged(false);
    for (NDIS_OID oid : InitialQueryOids()) {
        if (!adapter.IsRunning()) return;
        const Requests::Record answer = adapter.Request().Query(oid, kAnswerRoom);
        if (oid == OID_PNP_CAPABILITIES) {
            adapter.SetPowerManaged(answer.completed && answer.status == NDIS_STATUS_SUCCESS);
        }
    }
}

}  // namespace emu::ndis
