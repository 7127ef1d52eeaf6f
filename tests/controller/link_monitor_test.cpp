// The link monitor on a running adapter, seen where its users see it: the register and MII
// operations the controller received in each pass, the media indications NDIS got, and frames
// crossing the port through the PHY that has link.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "controller/link_monitor.h"
#include "controller/phy.h"
#include "core/adapter.h"
#include "driver/handlers.h"
#include "core/pool_tags.h"
#include "emulator/device/topology.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/requests.h"
#include "emulator/usbbus/bus.h"
#include "emulator/usbbus/faults.h"
#include "tests/support/device_ops.h"
#include "tests/support/running_adapter_fixture.h"
#include "usb/registers.h"

namespace qvtest {
namespace {

using emu::device::Topology;
using emu::usb::FaultAction;
namespace match = emu::usb::match;
using Texts = std::vector<std::string>;
using Keywords = std::vector<std::pair<std::string, ULONG>>;

constexpr uint16_t kAllAbilities = 0x01E1;
// Past PHY 1's negotiation (400 ms) after a partner plugs in or changes.
constexpr uint64_t kNegotiatedUs = 500'000;
constexpr uint64_t kHangCheckPeriodUs = 2'000'000;
constexpr uint8_t kPhySelectRegister = 0x7F;
constexpr uint8_t kPromiscuous = 0x04;  // in register 0x02

// PHY 1 with its partner from power-on, PHY 2 present (so MediaSel 0 stays automatic), and
// PHY 2's partner as given.
Topology BothPhys(std::optional<uint16_t> partner2 = std::nullopt) {
    Topology topology;
    topology.phy2_id2 = 0x6B93;
    topology.partner2 = partner2;
    return topology;
}

class LinkMonitor : public RunningAdapterFixture {
protected:
    // Starts the adapter with NDIS's periodic hang check off unless asked for: the test calls
    // it, so each pass can be looked at alone.
    void StartWith(Topology topology, Keywords keywords = {}, bool hang_check = false) {
        AdapterOptions options;
        options.identity.topology = topology;
        options.keywords = std::move(keywords);
        options.hang_check = hang_check;
        Start(options);
        statuses_seen_ = Nic().Edge().Statuses().size();
    }

    void HangCheck() {
        EXPECT_FALSE(AtIrql(DISPATCH_LEVEL, [&] { return MiniportCheckForHang(&Record()); }));
    }
    bool Busy() { return Record().LinkMonitorBusy != 0; }

    // One hang check and the pass it starts, to its end: what the controller received.
    Texts Pass() {
        Nic().Device().ClearControlLog();
        HangCheck();
        EXPECT_TRUE(Nic().RunUntil([&] { return !Busy(); })) << "the pass did not end";
        return DeviceOpTexts(Nic().Device().ControlLog());
    }

    // NDIS's status calls since the last look: "connect", "disconnect", "complete".
    Texts NewIndications() {
        const auto& statuses = Nic().Edge().Statuses();
        Texts texts;
        for (size_t i = statuses_seen_; i < statuses.size(); ++i) {
            if (statuses[i].complete) {
                texts.push_back("complete");
            } else if (statuses[i].status == NDIS_STATUS_MEDIA_CONNECT) {
                texts.push_back("connect");
            } else if (statuses[i].status == NDIS_STATUS_MEDIA_DISCONNECT) {
                texts.push_back("disconnect");
            } else {
                texts.push_back("status " + std::to_string(statuses[i].status));
            }
        }
        statuses_seen_ = statuses.size();
        return texts;
    }

    // One frame out and one in: "out+in" when both crossed the port, "" when neither did.
    std::string FramesFlow() {
        // The PHY acts on the pass's last MII command a moment after its write completed.
        Nic().Run(1'000);
        const size_t out = Nic().OnWire().size();
        const size_t in = Nic().Received().size();
        Nic().Send(FrameOut(200, seed_));
        Nic().Inject(FrameIn(200, seed_));
        ++seed_;
        Nic().Run(20'000);
        std::string flow = Nic().OnWire().size() > out ? "out" : "";
        if (Nic().Received().size() > in) flow += flow.empty() ? "in" : "+in";
        return flow;
    }

    void Plug(int phy, uint16_t ability = kAllAbilities) {
        Nic().Device().Partner(phy).Attach(ability);
        Nic().Run(kNegotiatedUs);
    }
    void Unplug(int phy) { Nic().Device().Partner(phy).Detach(); }

    // A request of the pass that the bus holds until it is cancelled.
    void HoldRequest(std::function<bool(const emu::usb::Submission&)> when, int skip) {
        emu::usb::Fault fault;
        fault.when = std::move(when);
        fault.action = FaultAction::PendForever;
        fault.skip = skip;
        M().Bus().Faults().Add(fault);
    }

    // Where the device and the driver disagree: the MAC control registers against the
    // Adapter's shadows, and, while connected, the selected PHY and its control against
    // ActivePhy; MediaState against the last media indication NDIS received. Empty when they
    // agree.
    Texts Disagreements() {
        Texts found;
        auto& device = Nic().Device();
        const Adapter& adapter = Record();
        auto compare = [&](const char* what, unsigned device_value, unsigned driver_value) {
            if (device_value != driver_value) {
                found.push_back(std::string(what) + ": device " + std::to_string(device_value) +
                                ", driver " + std::to_string(driver_value));
            }
        };
        compare("register 0x00", device.Register(MacControl0), adapter.MacControl0);
        compare("register 0x01", device.Register(MacControl1), adapter.MacControl1);
        compare("register 0x02", device.Register(MacControl2), adapter.MacControl2Shadow);
        ULONG indicated = adapter.MediaState;
        for (const auto& status : Nic().Edge().Statuses()) {
            if (status.status == NDIS_STATUS_MEDIA_CONNECT) indicated = MediaConnected;
            if (status.status == NDIS_STATUS_MEDIA_DISCONNECT) indicated = MediaDisconnected;
        }
        compare("media state as indicated", indicated, adapter.MediaState);
        if (adapter.MediaSel == 0 && adapter.MediaState == MediaConnected) {
            const bool two = adapter.ActivePhy == PhyTwo;
            const uint8_t select = device.Register(kPhySelectRegister);
            compare("PHY 2 selected", select == PhySelectTwo, two);
            const uint16_t control = two ? device.PhyTwo()->Control() : device.PhyOne()->Control();
            compare("active PHY isolated", (control & PhyControlIsolate) != 0, 0);
        }
        return found;
    }

    // Runs `stage` at the next boundary (a platform call by driver code holding no lock) for
    // which `when` holds, as another processor stepping in there would; then the platform's
    // own boundaries again.
    void AtNextBoundary(std::function<bool(const char*)> when, std::function<void()> stage) {
        M().Cpu().SetBoundaryHook([this, when = std::move(when), stage = std::move(stage)](
                                      const char* call) {
            if (!when(call)) {
                M().Clock().AtBoundary(call);
                return;
            }
            // Replacing the hook ends this closure: what it still needs is taken out first.
            std::function<void()> staged = stage;
            auto* fixture = this;
            fixture->M().Cpu().SetBoundaryHook(
                [fixture](const char* c) { fixture->M().Clock().AtBoundary(c); });
            staged();
        });
    }

private:
    size_t statuses_seen_ = 0;
    uint32_t seed_ = 1;
};

// ---- Failover between the PHYs (MediaSel 0) ------------------------------------------------

// Each step: what happens on the cables, then one hang check.
struct FailoverStep {
    const char* what;
    std::function<void()> cables;
    Texts pass;
    Texts indications;
    UCHAR active_phy_after;
    const char* frames;  // through the port after the pass
};

TEST_F(LinkMonitor, FailsOverBetweenThePhysAndFramesFollowThePhyWithLink) {
    StartWith(BothPhys());
    ASSERT_EQ(Record().MediaSel, 0u);
    const ULONG speed = Record().LinkSpeed, duplex = Record().DuplexMode;
    const UCHAR mac = Nic().Device().Register(MacControl1);
    auto nothing = [] {};

    const FailoverStep steps[] = {
        {"PHY 1 keeps its partner", nothing, {"M1.R5", "R26/2"}, {}, PhyOne, "out+in"},
        {"PHY 1 loses its partner", [this] { Unplug(1); },
         {"M1.R5", "R26/2", "Sel=26/11", "M1.W0=3400", "M2.W0=0400"},
         {"disconnect", "complete"}, PhyOne, ""},
        {"PHY 1 still without partner: PHY 2 next", nothing, {"M1.R5", "R26/2"}, {}, PhyTwo,
         ""},
        {"neither has link: PHY 2, then PHY 1 at once", nothing,
         {"M2.R1", "R26/2", "M1.R5", "R26/2"}, {}, PhyTwo, ""},
        {"PHY 2 gains link while disconnected", [this] { Plug(2); },
         {"M2.R1", "R26/2", "Sel=34/11", "M1.W0=3400", "M2.W0=A000"},
         {"connect", "complete"}, PhyTwo, "out+in"},
        {"PHY 2 keeps link", nothing, {"M2.R1", "R26/2"}, {}, PhyTwo, "out+in"},
        {"PHY 2 loses link", [this] { Unplug(2); },
         {"M2.R1", "R26/2", "Sel=34/11", "M1.W0=3400", "M2.W0=0400"},
         {"disconnect", "complete"}, PhyOne, ""},
        {"PHY 1 gains a partner while disconnected", [this] { Plug(1); },
         {"M1.R5", "R26/2", "Sel=24/11", "M1.W0=3000", "M2.W0=0400"},
         {"connect", "complete"}, PhyOne, "out+in"},
        {"PHY 1 keeps it", nothing, {"M1.R5", "R26/2"}, {}, PhyOne, "out+in"},
    };
    for (const FailoverStep& step : steps) {
        SCOPED_TRACE(step.what);
        step.cables();
        EXPECT_EQ(Pass(), step.pass);
        EXPECT_EQ(NewIndications(), step.indications);
        EXPECT_EQ(Record().ActivePhy, step.active_phy_after);
        EXPECT_EQ(FramesFlow(), step.frames);
    }
    // Failing over is no partner change: speed, duplex and the MAC stay as they were.
    EXPECT_EQ(Record().LinkSpeed, speed);
    EXPECT_EQ(Record().DuplexMode, duplex);
    EXPECT_EQ(Nic().Device().Register(MacControl1), mac);
}

// PHY 1 loses its partner while PHY 2 has link: two hang checks later the frames go through
// PHY 2, which was isolated until then.
TEST_F(LinkMonitor, PhyTwoTakesOverTwoPassesAfterPhyOneLostItsPartner) {
    StartWith(BothPhys(kAllAbilities));
    Unplug(1);
    EXPECT_EQ(Pass(), (Texts{"M1.R5", "R26/2", "Sel=26/11", "M1.W0=3400", "M2.W0=0400"}));
    EXPECT_EQ(Pass(), (Texts{"M1.R5", "R26/2"}));
    EXPECT_EQ(FramesFlow(), "");
    EXPECT_EQ(Pass(), (Texts{"M2.R1", "R26/2", "Sel=34/11", "M1.W0=3400", "M2.W0=A000"}));
    EXPECT_EQ(NewIndications(), (Texts{"disconnect", "complete", "connect", "complete"}));
    EXPECT_EQ(FramesFlow(), "out+in");
    EXPECT_EQ(Nic().Device().PhyTwo()->Control() & 0x0400, 0) << "PHY 2 still isolated";
}

// A PHY switch cut short after connect was indicated and ActivePhy set (the hang checks
// cancel its held PHY 2 write, or the write fails): the next pass sends the switch again, and
// frames flow through PHY 2.
struct CutShort {
    const char* name;
    FaultAction action;
    int busy_checks;  // hang checks that find the pass still in flight
};

class LinkMonitorCutShort : public LinkMonitor, public ::testing::WithParamInterface<CutShort> {};

TEST_P(LinkMonitorCutShort, TheNextPassCompletesAPhySwitchLeftHalfDone) {
    const CutShort& cut = GetParam();
    StartWith(BothPhys(kAllAbilities));
    Unplug(1);
    Pass();
    Pass();
    ASSERT_EQ(Record().ActivePhy, PhyTwo);
    NewIndications();
    // The pass's writes: the MII command, PhySelect, PHY 1's control, then PHY 2's 0xA000.
    emu::usb::Fault fault;
    fault.when = match::Request(RegisterWriteRequestType, RegisterWrite);
    fault.action = cut.action;
    fault.skip = 3;
    M().Bus().Faults().Add(fault);

    HangCheck();
    Nic().Run(100'000);
    for (int check = 0; check < cut.busy_checks; ++check) {
        ASSERT_TRUE(Busy());
        HangCheck();
    }
    ASSERT_TRUE(Nic().RunUntil([&] { return !Busy(); }));
    EXPECT_EQ(NewIndications(), (Texts{"connect", "complete"}));
    EXPECT_EQ(FramesFlow(), "");

    EXPECT_EQ(Pass(), (Texts{"Sel=34/11", "M1.W0=3400", "M2.W0=A000"}));
    EXPECT_EQ(FramesFlow(), "out+in");
    EXPECT_EQ(Disagreements(), Texts{});
    EXPECT_EQ(Pass(), (Texts{"M2.R1", "R26/2"}));
    EXPECT_EQ(NewIndications(), Texts{});
}

INSTANTIATE_TEST_SUITE_P(Faults, LinkMonitorCutShort,
                         ::testing::Values(CutShort{"HeldAndCancelled", FaultAction::PendForever, 3},
                                           CutShort{"Failed", FaultAction::Fail, 0}),
                         [](const ::testing::TestParamInfo<CutShort>& info) {
                             return info.param.name;
                         });

// A partner change's MAC write that fails is sent again by the next pass, although the
// partner's ability no longer differs from the one the Adapter took.
TEST_F(LinkMonitor, AFailedMacControlWriteIsSentAgain) {
    StartWith(Topology{});
    Nic().Device().Partner(1).SetAbility(0x0061);
    Nic().Run(kNegotiatedUs);
    emu::usb::Fault fault;
    fault.when = match::Request(RegisterWriteRequestType, RegisterWrite);
    fault.action = FaultAction::Fail;
    fault.skip = 1;
    M().Bus().Faults().Add(fault);

    EXPECT_EQ(Pass(), (Texts{"M1.R5", "R26/2"}));
    EXPECT_EQ(Nic().Device().Register(MacControl1), 0x30);
    EXPECT_EQ(Pass(), (Texts{"W01=20 00"}));
    EXPECT_EQ(Disagreements(), Texts{});
    EXPECT_EQ(FramesFlow(), "out+in");
    EXPECT_EQ(Pass(), (Texts{"M1.R5", "R26/2"}));
}

// ---- Partner changes on PHY 1 --------------------------------------------------------------

struct PartnerChange {
    const char* name;
    uint16_t ability;
    const char* mac_write;  // registers 0x01 and 0x02
    ULONG speed, duplex;
};

class LinkMonitorPartner : public LinkMonitor,
                           public ::testing::WithParamInterface<PartnerChange> {};

TEST_P(LinkMonitorPartner, TheMacFollowsANewPartnerAbilityAndFramesFlowAgain) {
    const PartnerChange& change = GetParam();
    StartWith(Topology{});
    ASSERT_EQ(Record().LinkSpeed, 2u);
    ASSERT_EQ(Nic().Device().Register(MacControl1), 0x30);

    Nic().Device().Partner(1).SetAbility(change.ability);
    Nic().Run(kNegotiatedUs);
    const bool speed_changes = change.speed != 2;
    const uint64_t mismatched = Nic().Device().Port().speed_mismatch;
    EXPECT_EQ(FramesFlow(), speed_changes ? "" : "out+in");
    EXPECT_EQ(Nic().Device().Port().speed_mismatch > mismatched, speed_changes);

    EXPECT_EQ(Pass(), (Texts{"M1.R5", "R26/2", change.mac_write}));
    EXPECT_EQ(Record().LinkSpeed, change.speed);
    EXPECT_EQ(Record().DuplexMode, change.duplex);
    EXPECT_EQ(Record().LinkPartnerAbility, change.ability);
    EXPECT_EQ(NewIndications(), Texts{});
    EXPECT_EQ(FramesFlow(), "out+in");

    // The same ability again: a pass of two transfers that changes nothing.
    EXPECT_EQ(Pass(), (Texts{"M1.R5", "R26/2"}));
}

INSTANTIATE_TEST_SUITE_P(
    Abilities, LinkMonitorPartner,
    ::testing::Values(PartnerChange{"TenFull", 0x0061, "W01=20 00", 1, 2},
                      PartnerChange{"HundredHalf", 0x00A1, "W01=10 00", 2, 1},
                      PartnerChange{"TenHalf", 0x0021, "W01=00 00", 1, 1},
                      PartnerChange{"HundredFullFirst", 0x0181, "W01=30 00", 2, 2}),
    [](const ::testing::TestParamInfo<PartnerChange>& info) { return info.param.name; });

TEST_F(LinkMonitor, AForcedMediumIgnoresPartnerChanges) {
    StartWith(Topology{}, {{"MediaType", 2}});  // 10 Mb/s full duplex
    const USHORT applied = Record().LinkPartnerAbility;
    const UCHAR mac = Nic().Device().Register(MacControl1);

    Nic().Device().Partner(1).SetAbility(0x0061);
    Nic().Run(kNegotiatedUs);

    EXPECT_EQ(Pass(), (Texts{"M1.R5", "R26/2"}));
    EXPECT_EQ(Record().LinkPartnerAbility, applied);
    EXPECT_EQ(Nic().Device().Register(MacControl1), mac);
    EXPECT_EQ(NewIndications(), Texts{});
}

// Register 0x02 goes along with every write of 0x01: the packet filter's promiscuous bit
// survives a partner change, and frames for other stations are still taken.
TEST_F(LinkMonitor, APartnerChangeKeepsThePromiscuousBit) {
    StartWith(Topology{});
    // As the packet filter leaves it.
    Record().MacControl2Shadow = kPromiscuous;
    Nic().Device().SetRegister(MacControl2, kPromiscuous);

    Nic().Device().Partner(1).SetAbility(0x0061);
    Nic().Run(kNegotiatedUs);
    EXPECT_EQ(Pass(), (Texts{"M1.R5", "R26/2", "W01=20 04"}));

    EXPECT_EQ(Nic().Device().Register(MacControl2), kPromiscuous);
    // The driver takes it (the bound protocol's own filter then turns it away).
    const ULONG received = Record().RcvOk;
    Nic().Inject(MakeFrame(MacAddress{0x02, 0x00, 0x5E, 0x77, 0x77, 0x77}, kPeerAddress, 100, 7));
    Nic().Run(20'000);
    EXPECT_EQ(Record().RcvOk, received + 1);
}

// ---- A PHY chosen by configuration ---------------------------------------------------------

struct ChosenPhy {
    const char* name;
    ULONG media_sel;
    int phy;
    const char* read;  // the pass's MII read command
};

class LinkMonitorChosenPhy : public LinkMonitor,
                             public ::testing::WithParamInterface<ChosenPhy> {};

TEST_P(LinkMonitorChosenPhy, OnlyIndicatesAndNeverSwitchesPhy) {
    const ChosenPhy& chosen = GetParam();
    StartWith(BothPhys(kAllAbilities), {{"MediaSel", chosen.media_sel}});
    ASSERT_EQ(Record().ActivePhy, chosen.phy);
    const UCHAR select = Nic().Device().Register(kPhySelectRegister);
    const Texts poll = {chosen.read, "R26/2"};

    struct Step {
        const char* what;
        std::function<void()> cables;
        Texts indications;
    } steps[] = {
        {"link", [] {}, {}},
        {"link lost", [&] { Unplug(chosen.phy); }, {"disconnect", "complete"}},
        {"still without", [] {}, {}},
        {"link back", [&] { Plug(chosen.phy); }, {"connect", "complete"}},
        {"link kept", [] {}, {}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.cables();
        EXPECT_EQ(Pass(), poll);
        EXPECT_EQ(NewIndications(), step.indications);
        EXPECT_EQ(Record().ActivePhy, chosen.phy);
    }
    EXPECT_EQ(Nic().Device().Register(kPhySelectRegister), select);
    EXPECT_EQ(FramesFlow(), "out+in");
}

INSTANTIATE_TEST_SUITE_P(MediaSel, LinkMonitorChosenPhy,
                         ::testing::Values(ChosenPhy{"PhyOne", 1, 1, "M1.R5"},
                                           ChosenPhy{"PhyTwo", 2, 2, "M2.R1"}),
                         [](const ::testing::TestParamInfo<ChosenPhy>& info) {
                             return info.param.name;
                         });

// ---- When no pass starts, and passes that cannot go on -------------------------------------

TEST_F(LinkMonitor, AHangCheckDuringAPassStartsNothing) {
    ExactSchedule();
    StartWith(Topology{});
    Nic().Device().ClearControlLog();

    HangCheck();
    ASSERT_TRUE(Busy());
    HangCheck();
    ASSERT_TRUE(Nic().RunUntil([&] { return !Busy(); }));

    EXPECT_EQ(DeviceOpTexts(Nic().Device().ControlLog()), (Texts{"M1.R5", "R26/2"}));
}

// A failed bulk transfer stops the device: NDIS's hang checks go on, the monitor does not.
TEST_F(LinkMonitor, NoPassOnceATransferHasFailed) {
    StartWith(Topology{}, {}, /*hang_check=*/true);
    emu::usb::Fault fault;
    fault.when = match::Endpoint(RunningAdapter::kBulkOut);
    fault.action = FaultAction::Fail;
    M().Bus().Faults().Add(fault);
    Nic().Send(FrameOut(100, 1));
    Nic().Run(10'000);
    ASSERT_EQ(Record().DeviceState, DeviceFailed);
    Nic().Device().ClearControlLog();
    const uint64_t checks = Nic().Block().HangChecks();

    Unplug(1);
    Nic().Run(3 * kHangCheckPeriodUs);

    EXPECT_GE(Nic().Block().HangChecks(), checks + 3);
    EXPECT_EQ(DeviceOpTexts(Nic().Device().ControlLog()), Texts{});
    EXPECT_EQ(NewIndications(), Texts{});
}

struct Unstartable {
    const char* name;
    ULONG tag;   // of the allocation that fails
    int skip;    // allocations under that tag let through first
    Texts pass;  // what the pass got out before it ended
};

class LinkMonitorUnstartable : public LinkMonitor,
                               public ::testing::WithParamInterface<Unstartable> {};

TEST_P(LinkMonitorUnstartable, APassThatCannotStartItsTransferEndsAndTheNextOneRuns) {
    const Unstartable& step = GetParam();
    StartWith(Topology{});
    const size_t pending = M().Bus().PendingRequests();  // the receive transfer
    Check().Allocations().FailTag(step.tag, 1, step.skip);

    EXPECT_EQ(Pass(), step.pass);
    EXPECT_FALSE(Busy());
    EXPECT_EQ(M().Bus().PendingRequests(), pending);

    EXPECT_EQ(Pass(), (Texts{"M1.R5", "R26/2"}));
}

INSTANTIATE_TEST_SUITE_P(
    Allocations, LinkMonitorUnstartable,
    ::testing::Values(Unstartable{"CommandUrb", RequestPoolTag, 0, {}},
                      Unstartable{"CommandRequest", emu::IoManager::kRequestTag, 0, {}},
                      Unstartable{"ReadUrb", RequestPoolTag, 1, {"M1.R5"}},
                      Unstartable{"ReadRequest", emu::IoManager::kRequestTag, 1, {"M1.R5"}}),
    [](const ::testing::TestParamInfo<Unstartable>& info) { return info.param.name; });

TEST_F(LinkMonitor, MediaStateIsIndicatedOnlyOnceInitialized) {
    StartWith(Topology{});
    struct Case {
        BOOLEAN initialized;
        ULONG state;
        Texts indications;
    } cases[] = {
        {FALSE, MediaDisconnected, {"complete"}},
        {FALSE, MediaConnected, {"complete"}},
        {TRUE, MediaDisconnected, {"disconnect", "complete"}},
        {TRUE, MediaConnected, {"connect", "complete"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.initialized) + " " + std::to_string(c.state));
        Record().Initialized = c.initialized;
        EXPECT_EQ(AtIrql(DISPATCH_LEVEL, [&] { return IndicateMediaState(&Record(), c.state); }),
                  ResultSuccess);
        EXPECT_EQ(NewIndications(), c.indications);
    }
}

// ---- Halt with a pass in flight ------------------------------------------------------------

struct HeldStep {
    const char* name;
    bool failover;  // PHY 1 has lost its partner, so the pass writes the PHYs
    bool read;      // the held request is a register read, else the n-th write
    int skip;
    Texts got_out;  // what the device received before the pass stopped
};

class LinkMonitorHeld : public LinkMonitor, public ::testing::WithParamInterface<HeldStep> {};

// The halt waits for the pass a bounded time, then cancels its request; the cancelled step
// ends the pass, and the halt frees everything.
TEST_P(LinkMonitorHeld, HaltCancelsARequestThatNeverCompletes) {
    const HeldStep& held = GetParam();
    StartWith(BothPhys());
    if (held.failover) Unplug(1);
    HoldRequest(held.read ? match::Request(RegisterReadRequestType, RegisterRead)
                          : match::Request(RegisterWriteRequestType, RegisterWrite),
                held.skip);
    Nic().Device().ClearControlLog();
    HangCheck();
    Nic().Run(100'000);
    ASSERT_TRUE(Busy());
    ASSERT_EQ(M().Bus().PendingRequests(), 2u);  // with the receive transfer
    const uint64_t start = Nic().Now();

    Nic().Halt();

    // The stop's second, then the second the monitor is given.
    EXPECT_GE(Nic().Now() - start, 2'000'000u);
    EXPECT_LT(Nic().Now() - start, 3'000'000u);
    EXPECT_EQ(M().Bus().PendingRequests(), 0u);
    // The pass got no further than the held request; the stop's own requests follow.
    const Texts ops = DeviceOpTexts(Nic().Device().ControlLog());
    const auto stop = std::find_if(ops.begin(), ops.end(), [](const std::string& op) {
        return op.rfind("Std", 0) == 0;
    });
    EXPECT_NE(stop, ops.end());
    EXPECT_EQ(Texts(ops.begin(), stop), held.got_out);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LinkMonitorHeld,
    ::testing::Values(HeldStep{"Command", false, false, 0, {}},
                      HeldStep{"Read", false, true, 0, {"M1.R5"}},
                      HeldStep{"PhyWrite", true, false, 3,
                               {"M1.R5", "R26/2", "Sel=26/11", "M1.W0=3400"}}),
    [](const ::testing::TestParamInfo<HeldStep>& info) { return info.param.name; });

// ---- The monitor and other processors -----------------------------------------------------

// The stop marks the device on another processor between the hang check's look at
// DeviceState and its taking of the monitor, and finds no pass to wait for: no pass may start.
TEST_F(LinkMonitor, NoPassStartsAfterAStopFoundTheMonitorIdle) {
    ExactSchedule();
    StartWith(Topology{});
    Nic().Device().ClearControlLog();
    bool idle_at_stop = false;
    AtNextBoundary(
        [](const char* call) { return std::string(call) == "InterlockedCompareExchange"; },
        [&] {
            Record().Stopping = TRUE;
            Record().DeviceState = DeviceStopped;
            idle_at_stop = !Busy();  // what AwaitLinkMonitor looks at
        });

    HangCheck();
    Nic().Run(100'000);

    EXPECT_TRUE(idle_at_stop);
    EXPECT_FALSE(Busy());
    EXPECT_EQ(DeviceOpTexts(Nic().Device().ControlLog()), Texts{});
}

// The sequence's writes complete inside the calls that send them, so the pass has ended
// before SelectSequence returns; a hang check that starts right then must find ActivePhy,
// MediaState and NDIS's view already moved on, or it would switch the PHYs a second time.
TEST_F(LinkMonitor, APassThatEndsInsideItsOwnCallsLeavesNothingForTheNextToRedo) {
    ExactSchedule();
    StartWith(BothPhys(kAllAbilities));
    Unplug(1);
    Pass();
    Pass();
    ASSERT_EQ(Record().ActivePhy, PhyTwo);
    NewIndications();
    // Every write after the MII read command (whose answer takes the PHY a moment).
    emu::usb::Fault at_once;
    at_once.when = match::Request(RegisterWriteRequestType, RegisterWrite);
    at_once.action = FaultAction::SucceedAtOnce;
    at_once.skip = 1;
    at_once.times = -1;
    M().Bus().Faults().Add(at_once);
    bool second_check = false;
    AtNextBoundary(
        [&](const char*) {
            return Record().LinkMonitorState >= MonitorPhyOneRegained && !Busy();
        },
        [&] {
            second_check = true;
            StartLinkPoll(&Record());
        });

    EXPECT_EQ(Pass(), (Texts{"M2.R1", "R26/2", "Sel=34/11", "M1.W0=3400", "M2.W0=A000"}));
    M().Bus().Faults().Clear();
    EXPECT_FALSE(second_check) << "a hang check could start while the pass was still deciding";
    M().Cpu().SetBoundaryHook([this](const char* call) { M().Clock().AtBoundary(call); });
    EXPECT_EQ(NewIndications(), (Texts{"connect", "complete"}));
    EXPECT_EQ(FramesFlow(), "out+in");
    EXPECT_EQ(Disagreements(), Texts{});
    EXPECT_EQ(Pass(), (Texts{"M2.R1", "R26/2"}));
}

// A pass queued on the default pipe behind a synchronous request that takes its full 5 s
// (a wake-up slot write the device never answers) is slow, not stuck: only the third hang
// check that finds a pass in flight cancels it, and every pass starts counting afresh.
TEST_F(LinkMonitor, APassBehindASynchronousRequestThatTimesOutIsNotCancelled) {
    StartWith(Topology{}, {}, /*hang_check=*/true);
    auto& requests = Nic().Block().Request();
    NDIS_PM_PACKET_PATTERN header{};
    header.PatternOffset = sizeof header;
    std::vector<uint8_t> pattern(sizeof header);
    std::memcpy(pattern.data(), &header, sizeof header);
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const uint64_t checks = Nic().Block().HangChecks();
        ASSERT_TRUE(Nic().RunUntil([&] { return Nic().Block().HangChecks() > checks; },
                                   kHangCheckPeriodUs + 10'000));
        // Half a second before the next hang check, which then starts a pass behind the write.
        Nic().Run(kHangCheckPeriodUs - 500'000);
        ASSERT_FALSE(Busy());
        HoldRequest(
            [](const emu::usb::Submission& s) {
                return s.setup && s.setup->request_type == RegisterWriteRequestType &&
                       s.setup->index == WakeSlot0;
            },
            0);
        // A cancelled pass and the one after it would each send the MII command.
        int commands = 0;
        emu::usb::Fault watch;
        watch.when = [&commands](const emu::usb::Submission& s) {
            if (s.setup && s.setup->request_type == RegisterWriteRequestType &&
                s.setup->index == MiiAddress) {
                ++commands;
            }
            return false;
        };
        M().Bus().Faults().Add(watch);
        Nic().Device().ClearControlLog();
        const uint64_t id = requests.StartSet(OID_PNP_ADD_WAKE_UP_PATTERN, pattern);
        ASSERT_TRUE(Nic().RunUntil([&] { return requests.Of(id).completed; }, 6'000'000));
        EXPECT_EQ(requests.Of(id).status, NDIS_STATUS_FAILURE);
        ASSERT_TRUE(Nic().RunUntil([&] { return !Busy(); }));
        const Texts ops = DeviceOpTexts(Nic().Device().ControlLog());
        EXPECT_EQ(std::count(ops.begin(), ops.end(), "M1.R5"), 1) << ::testing::PrintToString(ops);
        EXPECT_EQ(std::count(ops.begin(), ops.end(), "R26/2"), 1);
        EXPECT_EQ(commands, 1);
        M().Bus().Faults().Clear();
    }
    EXPECT_EQ(NewIndications(), Texts{});
}

// The stop marks the device while the pass reads PHY 2's status with neither PHY linked: the
// pass ends there instead of going on to PHY 1.
TEST_F(LinkMonitor, TheContinuationToPhyOneHonoursAStop) {
    ExactSchedule();
    StartWith(BothPhys());
    Unplug(1);
    Pass();
    Pass();
    ASSERT_EQ(Record().ActivePhy, PhyTwo);
    Record().LinkMonitorState = 0;  // the last pass left MonitorDataRead
    AtNextBoundary(
        [&](const char*) {
            return Record().LinkMonitorState == MonitorDataRead && Record().ActivePhy == PhyTwo;
        },
        [&] {
            Record().Stopping = TRUE;
            Record().DeviceState = DeviceStopped;
        });

    EXPECT_EQ(Pass(), (Texts{"M2.R1", "R26/2"}));
    EXPECT_EQ(Record().ActivePhy, PhyOne);
}

// A packet filter set whose work item writes registers 0x00-0x02 while a pass follows a
// partner change (0x01E1 <-> 0x0061) and writes 0x01-0x02: whichever lands last, the device
// ends with what the Adapter holds. Seeds of the second processor by delays of the set.
TEST_F(LinkMonitor, AFilterSetRacingAPartnerChangeLeavesTheDeviceAsTheAdapterHoldsIt) {
    StartWith(Topology{});
    auto& requests = Nic().Block().Request();
    const uint64_t delays_us[] = {0, 250, 500, 1'000, 1'500, 2'000, 3'000, 4'000};
    const uint16_t abilities[] = {0x0061, kAllAbilities};
    const ULONG filters[] = {0x20, 0x0B};  // promiscuous; directed, multicast, broadcast
    unsigned step = 0;
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        for (uint64_t delay : delays_us) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", set " + std::to_string(delay) +
                         " us after the hang check");
            Nic().Device().Partner(1).SetAbility(abilities[step % 2]);
            Nic().Run(kNegotiatedUs);
            emu::Scheduler::InterleaveOptions interleave;
            interleave.seed = seed;
            M().Clock().Interleave(interleave);
            HangCheck();
            Nic().Run(delay);
            std::vector<uint8_t> filter(sizeof(ULONG));
            std::memcpy(filter.data(), &filters[step % 2], sizeof(ULONG));
            const uint64_t id = requests.StartSet(OID_GEN_CURRENT_PACKET_FILTER, filter);
            ASSERT_TRUE(Nic().RunUntil([&] { return requests.Of(id).completed && !Busy(); }));
            M().Clock().StopInterleaving();
            EXPECT_EQ(requests.Of(id).status, NDIS_STATUS_SUCCESS);
            ASSERT_EQ(Disagreements(), Texts{});
            ++step;
        }
    }
}

// ---- End to end: the adapter follows its cable --------------------------------------------

TEST_F(LinkMonitor, EndToEndTheAdapterFollowsItsCable) {
    StartWith(Topology{}, {}, /*hang_check=*/true);
    EXPECT_EQ(Record().LinkSpeed, 2u);
    EXPECT_EQ(Record().DuplexMode, 2u);
    EXPECT_EQ(Nic().Device().Register(MacControl1), 0x30);  // 100 Mb/s, full duplex
    EXPECT_EQ(FramesFlow(), "out+in");
    EXPECT_EQ(NewIndications(), Texts{});

    auto indicated = [&](NDIS_STATUS status) {
        for (const auto& s : Nic().Edge().Statuses()) {
            if (!s.complete && s.status == status) return true;
        }
        return false;
    };
    Unplug(1);
    ASSERT_TRUE(Nic().RunUntil([&] { return indicated(NDIS_STATUS_MEDIA_DISCONNECT); },
                               kHangCheckPeriodUs + 10'000));
    EXPECT_EQ(FramesFlow(), "");

    const uint64_t replugged = Nic().Now();
    Nic().Device().Partner(1).Attach();
    ASSERT_TRUE(Nic().RunUntil([&] { return indicated(NDIS_STATUS_MEDIA_CONNECT); },
                               kNegotiatedUs + kHangCheckPeriodUs + 10'000));
    EXPECT_GT(Nic().Now(), replugged);
    EXPECT_EQ(FramesFlow(), "out+in");

    // Once each, and nothing more while the cable stays in.
    Nic().Run(3 * kHangCheckPeriodUs);
    EXPECT_EQ(NewIndications(), (Texts{"disconnect", "complete", "connect", "complete"}));
}

}  // namespace
}  // namespace qvtest
