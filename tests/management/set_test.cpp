// The set handler on a running adapter, seen where its users see it: the status and counts
// NDIS got for each request, the register writes the controller received, and which frames
// from the wire reach the protocol under each packet filter.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/adapter.h"
#include "driver/handlers.h"
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

using emu::usb::FaultAction;
using Outcome = emu::ndis::Requests::Record;
using Texts = std::vector<std::string>;

constexpr uint8_t kAllMulticastBit = 0x02;  // in register 0x00
constexpr uint8_t kPromiscuous = 0x04;      // register 0x02
constexpr uint64_t kNegotiatedUs = 500'000;
constexpr MacAddress kSomeoneElse = {0x02, 0x00, 0x5E, 0x77, 0x77, 0x77};

std::vector<uint8_t> Ulong(ULONG value) {
    std::vector<uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}


class SetInformation : public RunningAdapterFixture {
protected:
    void SetUp() override {
        AdapterOptions options;
        options.hang_check = false;  // no link-monitor pass in the control log
        options.keywords = {{"MediaType", 0}};
        // The set handler alone: no protocol binds, so the requests here are the only ones and
        // every frame the driver indicates is seen.
        options.bind_as_tcpip = false;
        Start(options);
    }

    // One set, and what the controller received for it.
    std::pair<Outcome, Texts> SetAndLook(NDIS_OID oid, const std::vector<uint8_t>& bytes) {
        Nic().Device().ClearControlLog();
        Outcome record = Nic().Block().Request().Set(oid, bytes);
        return {record, DeviceOpTexts(Nic().Device().ControlLog())};
    }

    // The receive-control write a filter makes, the other bits of register 0x00 as brought up.
    std::string FilterWrite(bool allMulticast, bool promiscuous) {
        uint8_t mac0 = Nic().Device().Register(MacControl0) & ~kAllMulticastBit;
        if (allMulticast) mac0 |= kAllMulticastBit;
        return RegisterWriteText(0x00, {mac0, Nic().Device().Register(MacControl1),
                                    static_cast<uint8_t>(promiscuous ? kPromiscuous : 0)});
    }

    size_t Indicated(const std::vector<uint8_t>& frame) {
        const size_t before = Nic().Received().size();
        Nic().Inject(frame);
        Nic().Run(20'000);
        return Nic().Received().size() - before;
    }

    void HangCheckPass() {
        EXPECT_FALSE(AtIrql(DISPATCH_LEVEL, [&] { return MiniportCheckForHang(&Record()); }));
        EXPECT_TRUE(Nic().RunUntil([&] { return Record().LinkMonitorBusy == 0; }));
    }
};

// Each step in order on one adapter: the filter, how NDIS saw the request end, and the one
// write of registers 0x00-0x02 it caused, or none.
TEST_F(SetInformation, PacketFilterReachesTheReceiveControlRegisters) {
    struct Step {
        const char* what;
        std::vector<uint8_t> value;
        NDIS_STATUS status;
        bool written, allMulticast, promiscuous;
    };
    const std::vector<Step> steps = {
        {"none", Ulong(0), NDIS_STATUS_SUCCESS, true, false, false},
        {"directed and broadcast", Ulong(0x09), NDIS_STATUS_SUCCESS, true, false, false},
        {"promiscuous", Ulong(0x20), NDIS_STATUS_SUCCESS, true, true, true},
        {"directed, multicast, broadcast", Ulong(0x0B), NDIS_STATUS_SUCCESS, true, false, false},
        {"all multicast", Ulong(0x04), NDIS_STATUS_SUCCESS, true, true, false},
        // Bits with no packet type of 802.3's refused set are taken and ignored.
        {"bits 0x100-0x800", Ulong(0x0F0B), NDIS_STATUS_SUCCESS, true, false, false},
        {"bits 16-31", Ulong(0xFFFF000B), NDIS_STATUS_SUCCESS, true, false, false},
        {"all multicast again", Ulong(0x04), NDIS_STATUS_SUCCESS, true, true, false},
        // Refused: the registers keep all-multicast from the step before.
        {"source routing", Ulong(0x10), NDIS_STATUS_NOT_SUPPORTED, false, true, false},
        {"eight bytes", {0x20, 0, 0, 0, 0, 0, 0, 0}, NDIS_STATUS_INVALID_LENGTH, false, true, false},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const std::string expectedWrite = FilterWrite(step.allMulticast, step.promiscuous);
        auto [record, ops] = SetAndLook(OID_GEN_CURRENT_PACKET_FILTER, step.value);
        EXPECT_EQ(record.status, step.status);
        EXPECT_EQ(ops, step.written ? Texts{expectedWrite} : Texts{});
        if (step.status == NDIS_STATUS_SUCCESS) {
            EXPECT_TRUE(record.pended);
            EXPECT_EQ(record.bytes_done, 4u);
            // The receiver settles on the new filter before the protocol is told it holds.
            EXPECT_GE(record.completed_us - record.issued_us, 1'000u);
        }
        if (step.status == NDIS_STATUS_INVALID_LENGTH) {
            EXPECT_EQ(record.bytes_needed, 4u);
        }
        EXPECT_EQ((Nic().Device().Register(MacControl0) & kAllMulticastBit) != 0,
                  step.allMulticast);
        EXPECT_EQ(Nic().Device().Register(MacControl2), step.promiscuous ? kPromiscuous : 0);
    }
    // The refused filter is still the one reported (the 8-byte one was never taken).
    const Outcome query = Nic().Block().Request().Query(OID_GEN_CURRENT_PACKET_FILTER, 4);
    ASSERT_EQ(query.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(query.buffer.begin(), query.buffer.begin() + 4), Ulong(0x10));
}

// The OIDs that are accepted without programming anything, and those refused.
TEST_F(SetInformation, OtherOidsAreAnsweredWithoutWritingAnything) {
    struct Case {
        const char* what;
        NDIS_OID oid;
        size_t length;
        NDIS_STATUS status;
        ULONG bytes;  // BytesRead on success, BytesNeeded on INVALID_LENGTH
    };
    const Case cases[] = {
        {"lookahead, 0 bytes", OID_GEN_CURRENT_LOOKAHEAD, 0, NDIS_STATUS_INVALID_LENGTH, 4},
        {"lookahead, 2 bytes", OID_GEN_CURRENT_LOOKAHEAD, 2, NDIS_STATUS_INVALID_LENGTH, 4},
        {"lookahead, 4 bytes", OID_GEN_CURRENT_LOOKAHEAD, 4, NDIS_STATUS_SUCCESS, 4},
        {"lookahead, 8 bytes", OID_GEN_CURRENT_LOOKAHEAD, 8, NDIS_STATUS_SUCCESS, 4},
        {"multicast list, 7 bytes", OID_802_3_MULTICAST_LIST, 7, NDIS_STATUS_INVALID_LENGTH, 6},
        {"multicast list, empty", OID_802_3_MULTICAST_LIST, 0, NDIS_STATUS_SUCCESS, 0},
        {"multicast list, 40 addresses", OID_802_3_MULTICAST_LIST, 240, NDIS_STATUS_SUCCESS, 240},
        {"set power", OID_PNP_SET_POWER, 4, NDIS_STATUS_NOT_SUPPORTED, 0},
        {"query power as a set", OID_PNP_QUERY_POWER, 4, NDIS_STATUS_INVALID_OID, 0},
        {"enable wake-up", OID_PNP_ENABLE_WAKE_UP, 4, NDIS_STATUS_SUCCESS, 4},
        {"wake-up pattern list", OID_PNP_WAKE_UP_PATTERN_LIST, 4, NDIS_STATUS_INVALID_OID, 0},
        {"unknown", 0x00FF0101, 4, NDIS_STATUS_INVALID_OID, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes(c.length, 0x01);
        auto [record, ops] = SetAndLook(c.oid, bytes);
        EXPECT_EQ(record.status, c.status);
        EXPECT_FALSE(record.pended);
        if (c.status == NDIS_STATUS_SUCCESS) {
            EXPECT_EQ(record.bytes_done, c.bytes);
        }
        if (c.status == NDIS_STATUS_INVALID_LENGTH) {
            EXPECT_EQ(record.bytes_needed, c.bytes);
        }
        EXPECT_EQ(ops, Texts{});
    }
}

// A frame for another station reaches the protocol in promiscuous mode only, also after the
// link monitor has rewritten the MAC control registers for a new partner ability.
TEST_F(SetInformation, PromiscuousModeTakesOtherStationsFramesAndSurvivesAPartnerChange) {
    uint32_t seed = 1;
    auto other = [&] { return MakeFrame(kSomeoneElse, kPeerAddress, 120, seed++); };
    EXPECT_EQ(Indicated(other()), 0u);
    EXPECT_EQ(Indicated(FrameIn(120, seed++)), 1u);

    ASSERT_EQ(SetAndLook(OID_GEN_CURRENT_PACKET_FILTER, Ulong(0x2B)).first.status,
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Indicated(other()), 1u);

    Nic().Device().Partner(1).SetAbility(0x0061);  // 10 Mb/s only
    Nic().Run(kNegotiatedUs);
    Nic().Device().ClearControlLog();
    HangCheckPass();
    EXPECT_EQ(DeviceOpTexts(Nic().Device().ControlLog()),
              (Texts{"M1.R5", "R26/2", "W01=20 04"}));
    EXPECT_EQ(Nic().Device().Register(MacControl2), kPromiscuous);
    EXPECT_EQ(Indicated(other()), 1u);

    ASSERT_EQ(SetAndLook(OID_GEN_CURRENT_PACKET_FILTER, Ulong(0x0B)).first.status,
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Indicated(other()), 0u);
    EXPECT_EQ(Indicated(FrameIn(120, seed++)), 1u);
}

// A set still pended when the halt begins is finished by its work item during the halt, before
// the device is stopped: its write is the first thing the controller receives.
TEST_F(SetInformation, HaltWaitsForAPendedSet) {
    auto& requests = Nic().Block().Request();
    Nic().Device().ClearControlLog();
    const uint64_t id = requests.StartSet(OID_GEN_CURRENT_PACKET_FILTER, Ulong(0x20));
    ASSERT_TRUE(requests.Of(id).pended);
    ASSERT_FALSE(requests.Of(id).completed);
    const std::string write = FilterWrite(true, true);

    Nic().Halt();

    const Outcome& record = requests.Of(id);
    EXPECT_TRUE(record.completed);
    EXPECT_FALSE(record.abandoned);
    EXPECT_EQ(record.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(record.bytes_done, 4u);
    const Texts ops = DeviceOpTexts(Nic().Device().ControlLog());
    ASSERT_FALSE(ops.empty());
    EXPECT_EQ(ops.front(), write);
    EXPECT_FALSE(Check().Saw(emu::Rule::Watchdog));
    EXPECT_FALSE(Check().Saw(emu::Rule::TimerAtHalt));
}

// A pended set writes both counts before it completes (NDIS's own values are whatever they
// were: a sentinel here), and the halt is held off by RequestsInFlight until the completion
// call has returned: the Adapter may be freed right after the count drops.
TEST_F(SetInformation, APendedSetWritesItsCountsAndHoldsTheHaltUntilItHasCompleted) {
    NDIS_PM_PACKET_PATTERN header{};
    header.PatternOffset = sizeof header;  // no mask bytes, no pattern bytes
    std::vector<uint8_t> pattern(sizeof header);
    std::memcpy(pattern.data(), &header, sizeof header);
    struct Case {
        const char* what;
        NDIS_OID oid;
        std::vector<uint8_t> value;
    };
    const Case cases[] = {
        {"packet filter", OID_GEN_CURRENT_PACKET_FILTER, Ulong(0x0B)},
        {"add a wake-up pattern", OID_PNP_ADD_WAKE_UP_PATTERN, pattern},
        {"remove a wake-up pattern", OID_PNP_REMOVE_WAKE_UP_PATTERN, pattern},
    };
    constexpr ULONG kSentinel = 0xC0DEC0DE;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LONG in_flight_at_completion = -1;
        M().Cpu().SetBoundaryHook([&](const char* call) {
            const std::string name = call;
            if (name == "NdisScheduleWorkItem") {
                *Record().PendingBytesRead = kSentinel;
                *Record().PendingBytesNeeded = kSentinel;
            } else if (name == "NdisMSetInformationComplete") {
                in_flight_at_completion = Record().RequestsInFlight;
            }
            M().Clock().AtBoundary(call);
        });
        const Outcome record = Nic().Block().Request().Set(c.oid, c.value);
        M().Cpu().SetBoundaryHook([this](const char* call) { M().Clock().AtBoundary(call); });
        EXPECT_TRUE(record.pended);
        EXPECT_EQ(record.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(record.bytes_done, c.value.size());
        EXPECT_EQ(record.bytes_needed, c.oid == OID_GEN_CURRENT_PACKET_FILTER ? kSentinel : 0u);
        EXPECT_EQ(in_flight_at_completion, 1);
        EXPECT_EQ(Record().RequestsInFlight, 0);
    }
}

// Only a write that could not be completed fails the request; one the device answered with an
// error still succeeds.
TEST_F(SetInformation, FilterWriteOutcomes) {
    struct Case {
        const char* what;
        FaultAction action;
        NDIS_STATUS status;
        uint64_t at_least_us;
    };
    const Case cases[] = {
        {"refused by the device", FaultAction::Fail, NDIS_STATUS_SUCCESS, 0},
        {"never completed", FaultAction::PendForever, NDIS_STATUS_FAILURE, 5'000'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        emu::usb::Fault fault;
        fault.when = [](const emu::usb::Submission& s) {
            return s.setup && s.setup->request_type == RegisterWriteRequestType &&
                   s.setup->index == MacControl0;
        };
        fault.action = c.action;
        M().Bus().Faults().Add(fault);
        const Outcome record =
            Nic().Block().Request().Set(OID_GEN_CURRENT_PACKET_FILTER, Ulong(0x20));
        EXPECT_TRUE(record.pended);
        EXPECT_EQ(record.status, c.status);
        EXPECT_GE(record.completed_us - record.issued_us, c.at_least_us);
        M().Bus().Faults().Clear();
    }
    // The adapter still takes filters afterwards.
    const std::string write = FilterWrite(false, false);
    auto [record, ops] = SetAndLook(OID_GEN_CURRENT_PACKET_FILTER, Ulong(0x0B));
    EXPECT_EQ(record.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(ops, Texts{write});
}

}  // namespace
}  // namespace qvtest
