// Queries and sets as NDIS makes them: one at a time at DISPATCH_LEVEL, each with a guarded
// information buffer, pended until the miniport's completion call (REQUEST_ONE,
// REQUEST_BOUNDS, WATCHDOG).
#include <gtest/gtest.h>

#include <cstring>

#include "emulator/kernel/poison.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/initial_queries.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/requests.h"
#include "tests/ndis/fake_miniport.h"

namespace {

using emu::Rule;
using emu::ndis::Requests;

class RequestsTest : public qvtest::NdisFixture {
protected:
    Requests& Request() { return Adapter().Request(); }

    // The fake pends every set and finishes it from its work item after `sleep_us`, with
    // what `finish` does (by default: the whole buffer read, success).
    void PendSetsInWorkItem(uint64_t sleep_us, std::function<void()> finish = nullptr) {
        fake.on_set = [this](NDIS_OID, PVOID buffer, ULONG length, ULONG* read, ULONG*) {
            set_bytes.assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
            *read = length;
            EXPECT_EQ(NdisScheduleWorkItem(&fake.work_item), NDIS_STATUS_SUCCESS);
            return NDIS_STATUS_PENDING;
        };
        fake.on_work = [this, sleep_us, finish] {
            NdisMSleep(static_cast<ULONG>(sleep_us));
            if (finish) {
                finish();
            } else {
                fake.CompleteSet(NDIS_STATUS_SUCCESS);
            }
        };
    }

    // The number of a test's first request: NDIS's own queries after initialization come first.
    static std::string FirstId() {
        return std::to_string(emu::ndis::InitialQueryOids().size() + 1);
    }

    std::vector<uint8_t> set_bytes;
    ULONG* read_count = nullptr;     // where the pending set's handler was told to count
};

TEST_F(RequestsTest, AQueryThatReturnsAtOnceWritesItsBufferAtDispatch) {
    StartAdapter();
    const uint64_t start = M().Clock().Now();
    fake.on_query = [](NDIS_OID oid, PVOID buffer, ULONG length, ULONG* written, ULONG* needed) {
        if (oid != OID_GEN_LINK_SPEED) return NDIS_STATUS_INVALID_OID;
        if (length < sizeof(ULONG)) {
            *needed = sizeof(ULONG);
            return NDIS_STATUS_INVALID_LENGTH;
        }
        const ULONG speed = 1'000'000;
        std::memcpy(buffer, &speed, sizeof speed);
        *written = sizeof speed;
        return NDIS_STATUS_SUCCESS;
    };

    Requests::Record record = Request().Query(OID_GEN_LINK_SPEED, 6);
    EXPECT_EQ(fake.irql["MiniportQueryInformation"], DISPATCH_LEVEL);
    EXPECT_TRUE(record.completed);
    EXPECT_FALSE(record.pended);
    EXPECT_EQ(record.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(record.bytes_done, 4u);
    EXPECT_EQ(record.completed_us, start) << "no virtual time passes for a request that returns";
    EXPECT_EQ(record.buffer, (std::vector<uint8_t>{0x40, 0x42, 0x0F, 0x00,
                                                    Requests::kQueryFill, Requests::kQueryFill}));

    record = Request().Query(OID_GEN_LINK_SPEED, 2);
    EXPECT_EQ(record.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(record.bytes_needed, 4u);
    EXPECT_EQ(Request().Query(OID_GEN_VENDOR_ID, 4).status, NDIS_STATUS_INVALID_OID);
    EXPECT_EQ(Request().Set(OID_GEN_CURRENT_LOOKAHEAD, {1, 2, 3, 4}).status,
              NDIS_STATUS_NOT_SUPPORTED);
}

// The shape a deserialized miniport gives a set that writes registers: pend it, do the work at
// PASSIVE_LEVEL in a work item, which may sleep, and complete it from there. A query made
// meanwhile waits in NDIS's queue: the miniport never sees two requests at once.
TEST_F(RequestsTest, APendedSetCompletesFromAWorkItemAndTheNextRequestWaitsForIt) {
    StartAdapter();
    PendSetsInWorkItem(5'000);
    fake.on_query = [](NDIS_OID, PVOID, ULONG, ULONG* written, ULONG*) {
        *written = 0;
        return NDIS_STATUS_SUCCESS;
    };
    const uint64_t start = M().Clock().Now();

    const uint64_t set = Request().StartSet(OID_GEN_CURRENT_PACKET_FILTER, {0x0B, 0, 0, 0});
    const uint64_t query = Request().StartQuery(OID_GEN_MEDIA_CONNECT_STATUS, 4);
    EXPECT_EQ(Request().Outstanding(), 1u);
    EXPECT_EQ(Request().Queued(), 1u);
    EXPECT_EQ(events.back(), "MiniportSetInformation") << "the query was not handed over yet";
    EXPECT_FALSE(Request().Of(set).completed);

    const Requests::Record done = Request().Wait(set);
    EXPECT_TRUE(done.pended);
    EXPECT_EQ(done.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(done.bytes_done, 4u);
    EXPECT_EQ(done.completed_us, start + 5'000);
    EXPECT_EQ(set_bytes, (std::vector<uint8_t>{0x0B, 0, 0, 0}));
    EXPECT_EQ(fake.irql["work item"], PASSIVE_LEVEL);

    const Requests::Record next = Request().Wait(query);
    EXPECT_EQ(next.status, NDIS_STATUS_SUCCESS);
    EXPECT_GE(next.issued_us, done.completed_us);
    EXPECT_EQ(Request().Outstanding(), 0u);
}

// The counts start at a value no miniport writes, so one left alone differs from one set to
// 0: a refusal needs neither, a success of no bytes is sound.
TEST_F(RequestsTest, CountsLeftAloneDifferFromCountsOfZero) {
    StartAdapter();
    fake.on_query = [](NDIS_OID oid, PVOID, ULONG, ULONG* written, ULONG*) {
        if (oid != OID_GEN_VENDOR_DESCRIPTION) return NDIS_STATUS_INVALID_OID;
        *written = 0;
        return NDIS_STATUS_SUCCESS;
    };
    const Requests::Record wrote_zero = Request().Query(OID_GEN_VENDOR_DESCRIPTION, 8);
    EXPECT_EQ(wrote_zero.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(wrote_zero.bytes_done, 0u);
    EXPECT_EQ(wrote_zero.bytes_needed, Requests::kNotWritten);
    const Requests::Record refused = Request().Query(OID_GEN_LINK_SPEED, 4);
    EXPECT_EQ(refused.status, NDIS_STATUS_INVALID_OID);
    EXPECT_EQ(refused.bytes_done, Requests::kNotWritten);
    EXPECT_EQ(refused.bytes_needed, Requests::kNotWritten);
}

// NDIS hands the next queued request over from inside the completion call of the one before,
// so a miniport is re-entered there and must have finished with the first by then.
TEST_F(RequestsTest, TheNextRequestIsHandedOverInsideTheCompletionCall) {
    StartAdapter();
    bool completing = false;
    bool query_inside_completion = false;
    fake.on_set = [&](NDIS_OID, PVOID, ULONG length, ULONG* read, ULONG*) {
        *read = length;
        NdisScheduleWorkItem(&fake.work_item);
        return NDIS_STATUS_PENDING;
    };
    fake.on_work = [&] {
        completing = true;
        fake.CompleteSet(NDIS_STATUS_SUCCESS);
        completing = false;
    };
    fake.on_query = [&](NDIS_OID, PVOID, ULONG, ULONG* written, ULONG*) {
        query_inside_completion = completing;
        *written = 0;
        return NDIS_STATUS_SUCCESS;
    };
    const uint64_t set = Request().StartSet(OID_GEN_CURRENT_PACKET_FILTER, {0x0B, 0, 0, 0});
    const uint64_t query = Request().StartQuery(OID_GEN_MEDIA_CONNECT_STATUS, 4);
    EXPECT_EQ(Request().Wait(query).status, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(Request().Of(set).completed);
    EXPECT_TRUE(query_inside_completion);
    EXPECT_EQ(fake.irql["MiniportQueryInformation"], DISPATCH_LEVEL);
}

// Without NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT, a request still pended at the second hang
// check after it was issued leads NDIS to reset the adapter; with it, only the watchdog
// speaks. A request that completes in time never does.
TEST_F(RequestsTest, ARequestPendedAcrossTwoHangChecksResetsUnlessTimeOutsAreIgnored) {
    struct Case {
        const char* name;
        ULONG flags;
        uint64_t complete_after_us;  // 0 = never
        int resets;
    };
    const Case cases[] = {
        {"time-outs honoured", NDIS_ATTRIBUTE_DESERIALIZE, 0, 1},
        {"time-outs ignored",
         NDIS_ATTRIBUTE_DESERIALIZE | NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT, 0, 0},
        {"completed within one check", NDIS_ATTRIBUTE_DESERIALIZE, 1'500'000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake.attribute_flags = c.flags;
        fake.resets = 0;
        if (&c == cases) {
            StartAdapter();
        } else {
            ASSERT_EQ(Pnp(IRP_MN_START_DEVICE).final, STATUS_SUCCESS);
        }
        fake.on_set = [](NDIS_OID, PVOID, ULONG length, ULONG* read, ULONG*) {
            *read = length;
            return NDIS_STATUS_PENDING;
        };
        const uint64_t issued = M().Clock().Now();
        const uint64_t id = Request().StartSet(OID_GEN_CURRENT_PACKET_FILTER, {1, 0, 0, 0});
        if (c.complete_after_us != 0) {
            Advance(c.complete_after_us);
            AtIrql(DISPATCH_LEVEL, [&] { fake.CompleteSet(NDIS_STATUS_SUCCESS); });
        }
        Advance(6'000'000);
        EXPECT_EQ(fake.resets, c.resets);
        if (c.resets != 0) {
            const auto& reset = Adapter().ResetLog().back();
            EXPECT_FALSE(reset.asked_by_test);
            EXPECT_GT(reset.started_us - issued, 2'000'000u) << "after the second check";
            EXPECT_LE(reset.started_us - issued, 4'000'000u);
        }
        if (!Request().Of(id).completed) {
            AtIrql(DISPATCH_LEVEL, [&] { fake.CompleteSet(NDIS_STATUS_SUCCESS); });
        }
        Pnp(IRP_MN_STOP_DEVICE);
    }
}

// Each case is a fake that completes wrongly; the report names REQUEST_ONE, the call and the
// fake's place.
TEST_F(RequestsTest, CompletionsWithoutAPendedRequestOfTheirKindAreReported) {
    Expect(Rule::RequestOne);
    StartAdapter();
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::function<void()> act;  // issues the request(s) and runs them out
        const char* call;
        const char* place;
        const char* detail;
    };
    const Case cases[] = {
        {"completed twice",
         [&] { PendSetsInWorkItem(100, [&] {
                   fake.CompleteSet(NDIS_STATUS_SUCCESS);
                   fake.CompleteSet(NDIS_STATUS_SUCCESS);
               }); },
         [&] { Request().Set(OID_GEN_CURRENT_PACKET_FILTER, {1, 0, 0, 0}); },
         "NdisMSetInformationComplete", "FakeMiniport::CompleteSet", "was completed already"},
        {"a query that returned success, completed later",
         [&] {
             fake.on_query = [&](NDIS_OID, PVOID, ULONG, ULONG* written, ULONG*) {
                 *written = 0;
                 NdisScheduleWorkItem(&fake.work_item);
                 return NDIS_STATUS_SUCCESS;
             };
             fake.on_work = [&] { fake.CompleteQuery(NDIS_STATUS_SUCCESS); };
         },
         [&] {
             Request().Query(OID_GEN_LINK_SPEED, 4);
             Advance(0);
         },
         "NdisMQueryInformationComplete", "FakeMiniport::CompleteQuery", "was never pending"},
        {"a pended set completed as a query",
         [&] { PendSetsInWorkItem(100, [&] {
                   fake.CompleteQuery(NDIS_STATUS_SUCCESS);
                   fake.CompleteSet(NDIS_STATUS_SUCCESS);
               }); },
         [&] { Request().Set(OID_GEN_CURRENT_PACKET_FILTER, {1, 0, 0, 0}); },
         "NdisMQueryInformationComplete", "FakeMiniport::CompleteQuery",
         "which NdisMSetInformationComplete completes"},
        {"completed inside the handler, which then returns success",
         [&] {
             fake.on_set = [&](NDIS_OID, PVOID, ULONG length, ULONG* read, ULONG*) {
                 *read = length;
                 fake.CompleteSet(NDIS_STATUS_SUCCESS);
                 return NDIS_STATUS_SUCCESS;
             };
         },
         [&] { Request().Set(OID_GEN_CURRENT_PACKET_FILTER, {1, 0, 0, 0}); },
         "MiniportSetInformation", "FakeSetInformation", "instead of NDIS_STATUS_PENDING"},
    };
    size_t reports = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        c.act();
        const auto all = Check().Of(Rule::RequestOne);
        ASSERT_EQ(all.size(), ++reports);
        EXPECT_EQ(all.back().call, c.call);
        EXPECT_NE(all.back().place.find(c.place), std::string::npos) << all.back().place;
        EXPECT_NE(all.back().detail.find(c.detail), std::string::npos) << all.back().detail;
        EXPECT_EQ(Request().Outstanding(), 0u) << "the right completion still ended it";
    }
}

// A query's handler reports its counts at return; a pended set's at its completion call, which
// is then where the report points.
TEST_F(RequestsTest, CountsBeyondTheBufferAreReportedWhereTheyWereGiven) {
    Expect(Rule::RequestBounds);
    StartAdapter();
    struct Case {
        const char* name;
        std::function<void()> act;
        const char* call;
        const char* place;
        const char* detail;
    };
    const Case cases[] = {
        {"BytesWritten past the length",
         [&] {
             fake.on_query = [](NDIS_OID, PVOID, ULONG length, ULONG* written, ULONG*) {
                 *written = length + 2;
                 return NDIS_STATUS_SUCCESS;
             };
             Request().Query(OID_802_3_CURRENT_ADDRESS, 4);
         },
         "MiniportQueryInformation", "FakeQueryInformation", "BytesWritten is 6 for the 4-byte"},
        {"a short buffer refused without BytesNeeded",
         [&] {
             fake.on_query = [](NDIS_OID, PVOID, ULONG, ULONG*, ULONG* needed) {
                 *needed = 0;
                 return NDIS_STATUS_INVALID_LENGTH;
             };
             Request().Query(OID_802_3_CURRENT_ADDRESS, 4);
         },
         "MiniportQueryInformation", "FakeQueryInformation", "with BytesNeeded 0"},
        {"a short buffer refused, BytesNeeded never written",
         [&] {
             fake.on_query = [](NDIS_OID, PVOID, ULONG, ULONG*, ULONG*) {
                 return NDIS_STATUS_BUFFER_TOO_SHORT;
             };
             Request().Query(OID_802_3_CURRENT_ADDRESS, 4);
         },
         "MiniportQueryInformation", "FakeQueryInformation", "without writing BytesNeeded"},
        {"a query succeeding without BytesWritten",
         [&] {
             fake.on_query = [](NDIS_OID, PVOID, ULONG, ULONG*, ULONG*) {
                 return NDIS_STATUS_SUCCESS;
             };
             Request().Query(OID_802_3_CURRENT_ADDRESS, 4);
         },
         "MiniportQueryInformation", "FakeQueryInformation", "succeeded without writing BytesWritten"},
        {"a pended set completed without BytesRead",
         [&] {
             fake.on_work = [&] { fake.CompleteSet(NDIS_STATUS_SUCCESS); };
             fake.on_set = [&](NDIS_OID, PVOID, ULONG, ULONG*, ULONG*) {
                 NdisScheduleWorkItem(&fake.work_item);
                 return NDIS_STATUS_PENDING;
             };
             Request().Set(OID_802_3_MULTICAST_LIST, {1, 0, 0x5E, 0, 0, 1});
         },
         "NdisMSetInformationComplete", "FakeMiniport::CompleteSet",
         "succeeded without writing BytesRead"},
        {"BytesRead past the length, at the completion",
         [&] {
             fake.on_work = [&] {
                 *read_count = 9;
                 fake.CompleteSet(NDIS_STATUS_SUCCESS);
             };
             fake.on_set = [&](NDIS_OID, PVOID, ULONG, ULONG* read, ULONG*) {
                 read_count = read;
                 NdisScheduleWorkItem(&fake.work_item);
                 return NDIS_STATUS_PENDING;
             };
             Request().Set(OID_802_3_MULTICAST_LIST, {1, 0, 0x5E, 0, 0, 1});
         },
         "NdisMSetInformationComplete", "FakeMiniport::CompleteSet", "BytesRead is 9 for the 6-byte"},
    };
    size_t reports = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.act();
        const auto all = Check().Of(Rule::RequestBounds);
        ASSERT_EQ(all.size(), ++reports);
        EXPECT_EQ(all.back().call, c.call);
        EXPECT_NE(all.back().place.find(c.place), std::string::npos) << all.back().place;
        EXPECT_NE(all.back().detail.find(c.detail), std::string::npos) << all.back().detail;
    }
}

// A handler that writes past InformationBufferLength: the plain build finds the damaged guard
// at the return (query) or the completion (pended set); AddressSanitizer stops the write.
TEST_F(RequestsTest, WritingPastTheBufferIsCaught) {
    StartAdapter();
    fake.on_query = [](NDIS_OID, PVOID buffer, ULONG length, ULONG* written, ULONG*) {
        std::memset(buffer, 0, length + 1);  // one byte too many
        *written = length;
        return NDIS_STATUS_SUCCESS;
    };
    if (emu::kAddressSanitizer) {
        EXPECT_DEATH(Request().Query(OID_802_3_CURRENT_ADDRESS, 6), "use-after-poison.*WRITE");
        return;
    }
    Expect(Rule::RequestBounds);
    Requests::Record record = Request().Query(OID_802_3_CURRENT_ADDRESS, 6);
    EXPECT_EQ(record.buffer, std::vector<uint8_t>(6, 0));
    auto reports = Check().Of(Rule::RequestBounds);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].call, "MiniportQueryInformation");
    EXPECT_NE(reports[0].place.find("FakeQueryInformation"), std::string::npos);
    EXPECT_NE(reports[0].detail.find("wrote past the end of the 6-byte information buffer of "
                                     "query #" + FirstId() + " of OID 0x01010102 (1 guard byte(s)"),
              std::string::npos)
        << reports[0].detail;

    uint8_t* set_buffer = nullptr;
    fake.on_set = [&](NDIS_OID, PVOID buffer, ULONG length, ULONG* read, ULONG*) {
        set_buffer = static_cast<uint8_t*>(buffer);
        *read = length;
        NdisScheduleWorkItem(&fake.work_item);
        return NDIS_STATUS_PENDING;
    };
    fake.on_work = [&] {
        std::memset(set_buffer, 0xFF, 8);  // the set's 6 bytes and two more
        fake.CompleteSet(NDIS_STATUS_SUCCESS);
    };
    EXPECT_EQ(Request().Set(OID_802_3_MULTICAST_LIST, std::vector<uint8_t>(6, 1)).status,
              NDIS_STATUS_SUCCESS);
    reports = Check().Of(Rule::RequestBounds);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].call, "NdisMSetInformationComplete");
    EXPECT_NE(reports[1].place.find("FakeMiniport::CompleteSet"), std::string::npos);
    EXPECT_NE(reports[1].detail.find("2 guard byte(s)"), std::string::npos) << reports[1].detail;
}

TEST_F(RequestsTest, ARequestPendedForTwelveSecondsIsReportedOnce) {
    Expect(Rule::Watchdog);
    StartAdapter();
    fake.on_set = [](NDIS_OID, PVOID, ULONG length, ULONG* read, ULONG*) {
        *read = length;
        return NDIS_STATUS_PENDING;  // and nothing will complete it for now
    };
    const uint64_t start = M().Clock().Now();
    const uint64_t id = Request().StartSet(OID_GEN_CURRENT_PACKET_FILTER, {1, 0, 0, 0});
    Advance(Requests::kWatchdogUs - 1);
    EXPECT_FALSE(Check().Saw(Rule::Watchdog));
    Advance(1);
    Advance(30'000'000);
    const auto reports = Check().Of(Rule::Watchdog);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].call, "MiniportSetInformation");
    EXPECT_EQ(reports[0].time_us, start + Requests::kWatchdogUs);
    EXPECT_NE(reports[0].detail.find("set #" + FirstId() + " of OID 0x0001010E was pended 12000 ms ago"),
              std::string::npos)
        << reports[0].detail;

    // Late is not never: the completion is still taken, and nothing more is reported.
    AtIrql(DISPATCH_LEVEL, [&] { fake.CompleteSet(NDIS_STATUS_SUCCESS); });
    EXPECT_EQ(Request().Of(id).status, NDIS_STATUS_SUCCESS);
    Adapter().Halt();
    EXPECT_EQ(Check().Of(Rule::Watchdog).size(), 1u);
}

// A request the miniport's halt leaves pending would hold NDIS for ever; the run goes on
// without it, and the miniport's completion after the halt is a call after the halt.
TEST_F(RequestsTest, ARequestStillPendingAtTheHaltIsReported) {
    Expect(Rule::Watchdog);
    Expect(Rule::NoCallsAfterHalt);
    StartAdapter();
    fake.on_query = [](NDIS_OID, PVOID, ULONG, ULONG*, ULONG*) { return NDIS_STATUS_PENDING; };
    const uint64_t pending = Request().StartQuery(OID_GEN_LINK_SPEED, 4);
    const uint64_t queued = Request().StartQuery(OID_GEN_MEDIA_CONNECT_STATUS, 4);
    Advance(1'000);

    Adapter().Halt();
    const auto reports = Check().Of(Rule::Watchdog);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].call, "MiniportHalt");
    EXPECT_NE(reports[0].detail.find("query #" + FirstId() + " of OID 0x00010107, pended at 0 ms, is still not "
                                     "completed when the halt has ended"),
              std::string::npos)
        << reports[0].detail;
    EXPECT_TRUE(Request().Of(pending).abandoned);
    EXPECT_FALSE(Request().Of(queued).issued) << "it never reached the miniport";
    EXPECT_EQ(Request().Of(queued).status, NDIS_STATUS_FAILURE);

    AtIrql(DISPATCH_LEVEL, [&] { fake.CompleteQuery(NDIS_STATUS_SUCCESS); });
    const auto late = Check().Of(Rule::NoCallsAfterHalt);
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].call, "NdisMQueryInformationComplete");
    EXPECT_NE(late[0].place.find("FakeMiniport::CompleteQuery"), std::string::npos);
}

}  // namespace
