// A tiny miniport and bus written for these tests (not the real driver): each handler notes
// how it was called and does what the test planned, so that the hosted NDIS can be watched
// from both sides.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/pnp.h"
#include "emulator/ndis/protocol.h"
#include "platform/ndis.h"
#include "tests/support/machine_fixture.h"

namespace qvtest {

struct FakeMiniport {
    // ---- The plan -------------------------------------------------------------------------
    NDIS_STATUS initialize_result = NDIS_STATUS_SUCCESS;
    UINT hang_seconds = 0;
    ULONG attribute_flags = NDIS_ATTRIBUTE_DESERIALIZE;
    // The medium index Initialize selects: -1 for the offered NdisMedium802_3, -2 for none.
    int medium = -1;
    bool set_attributes = true;
    std::function<void()> on_reset;          // more work inside Reset
    NDIS_STATUS reset_result = NDIS_STATUS_SUCCESS;
    std::function<void(NDIS_HANDLE handle)> on_initialize;  // more work inside Initialize
    std::function<void()> on_halt;
    // What MiniportSend does; by default it completes the packet and returns pending.
    std::function<NDIS_STATUS(NDIS_PACKET* packet)> on_send;
    BOOLEAN hung = FALSE;
    // What MiniportQueryInformation and MiniportSetInformation do; without one they return
    // NDIS_STATUS_NOT_SUPPORTED.
    using InformationHandler = std::function<NDIS_STATUS(NDIS_OID oid, PVOID buffer, ULONG length,
                                                         ULONG* done, ULONG* needed)>;
    InformationHandler on_query;
    InformationHandler on_set;
    // What the routine of the fake's work item does (after noting its IRQL and time).
    std::function<void()> on_work;

    // ---- What happened --------------------------------------------------------------------
    NDIS_HANDLE handle = nullptr;
    std::vector<std::string>* events = nullptr;  // shared with the bus, in order
    std::vector<NDIS_MEDIUM> media_offered;
    std::map<std::string, KIRQL> irql;           // per handler, the level of its last call
    int halts = 0;
    int hang_checks = 0;
    int resets = 0;
    int shutdowns = 0;
    std::vector<NDIS_PACKET*> sent;
    std::vector<NDIS_PACKET*> returned;
    std::vector<uint64_t> timer_runs;            // virtual times
    NDIS_MINIPORT_TIMER timer{};
    NDIS_WORK_ITEM work_item{};                  // initialised with WorkRoutine and the fake
    std::vector<uint64_t> work_runs;             // virtual times the routine started

    NDIS50_MINIPORT_CHARACTERISTICS Table() const;
    static FakeMiniport* current;
    static void TimerFunction(PVOID, PVOID context, PVOID, PVOID);
    static void WorkRoutine(NDIS_WORK_ITEM* item, PVOID context);
    // The fake's completion calls, each its own place in the verifier's reports.
    void CompleteQuery(NDIS_STATUS status);
    void CompleteSet(NDIS_STATUS status);
};

// The bus below: its physical device object answers PnP requests, completing the start
// request at once, later, or with a failure.
struct FakeBus {
    enum class Start { Inline, Later, Fail };
    Start start = Start::Inline;
    std::map<UCHAR, NTSTATUS> answers;  // status per other minor code; absent = untouched
    std::vector<UCHAR> seen;
    std::vector<std::string>* events = nullptr;
    DEVICE_OBJECT* pdo = nullptr;
    static FakeBus* current;
};

class NdisFixture : public MachineFixture {
protected:
    NdisFixture();
    ~NdisFixture() override;

    emu::ndis::Ndis& N() { return M().Ndis(); }
    emu::ndis::Miniport& Adapter() { return N().Adapter(); }
    emu::ndis::Protocol& Edge() { return Adapter().Edge(); }

    // Wraps and registers `table` for `target` (the fixture's driver object by default).
    NDIS_STATUS Register(NDIS50_MINIPORT_CHARACTERISTICS table,
                         UINT length = sizeof(NDIS50_MINIPORT_CHARACTERISTICS),
                         DRIVER_OBJECT* target = nullptr);
    emu::ndis::Pnp::Result Pnp(UCHAR minor) { return N().PnpManager().Send(bus.pdo, minor); }
    // Registers the fake, adds the device and starts it; the start must succeed.
    void StartAdapter();

    FakeMiniport fake;
    FakeBus bus;
    DRIVER_OBJECT* driver = nullptr;
    std::vector<std::string> events;
};

}  // namespace qvtest
