// The protocol edge on the send side: completions, SEND_ONCE, refusals and the watchdog.
#include <gtest/gtest.h>

#include <functional>

#include "emulator/kernel/scheduler.h"
#include "tests/ndis/fake_miniport.h"

namespace {

using emu::Rule;
using Sends = qvtest::NdisFixture;

std::vector<uint8_t> Frame(size_t length, uint8_t first) {
    std::vector<uint8_t> frame(length);
    for (size_t i = 0; i < length; ++i) frame[i] = static_cast<uint8_t>(first + i);
    return frame;
}

// The packet's bytes as a miniport reads them, and the length of each buffer.
std::vector<uint8_t> BytesOf(NDIS_PACKET* packet, std::vector<UINT>* lengths = nullptr) {
    std::vector<uint8_t> bytes;
    NDIS_BUFFER* buffer = nullptr;
    NdisQueryPacket(packet, nullptr, nullptr, &buffer, nullptr);
    for (; buffer != nullptr; NdisGetNextBuffer(buffer, &buffer)) {
        PVOID address = nullptr;
        UINT length = 0;
        NdisQueryBuffer(buffer, &address, &length);
        auto start = static_cast<const uint8_t*>(address);
        bytes.insert(bytes.end(), start, start + length);
        if (lengths != nullptr) lengths->push_back(length);
    }
    return bytes;
}

TEST_F(Sends, EachSendReachesTheProtocolOnceWithItsStatus) {
    StartAdapter();
    struct Case {
        const char* name;
        std::function<NDIS_STATUS(NDIS_PACKET*)> send;
        NDIS_STATUS completed;
        uint64_t after_us;
    };
    auto complete_later = [this](NDIS_STATUS status) {
        return [this, status](NDIS_PACKET* packet) {
            M().Clock().After(3'000, "late completion", [this, packet, status] {
                NdisMSendComplete(fake.handle, packet, status);
            });
            return NDIS_STATUS_PENDING;
        };
    };
    const Case cases[] = {
        {"completed during the call", nullptr, NDIS_STATUS_SUCCESS, 0},
        {"pended, completed later", complete_later(NDIS_STATUS_SUCCESS), NDIS_STATUS_SUCCESS, 3'000},
        {"pended, failed later", complete_later(NDIS_STATUS_FAILURE), NDIS_STATUS_FAILURE, 3'000},
        {"sent synchronously", [](NDIS_PACKET*) { return NDIS_STATUS_SUCCESS; }, NDIS_STATUS_SUCCESS, 0},
        {"refused with a failure", [](NDIS_PACKET*) { return NDIS_STATUS_FAILURE; },
         NDIS_STATUS_FAILURE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake.on_send = c.send;
        const uint64_t started = M().Clock().Now();
        const std::vector<uint8_t> frame = Frame(60, 0x10);
        uint64_t id = Edge().Send(frame);
        EXPECT_EQ(fake.irql["MiniportSend"], DISPATCH_LEVEL);
        EXPECT_EQ(BytesOf(fake.sent.back()), frame);
        M().Clock().RunUntilIdle();
        ASSERT_FALSE(Edge().Completions().empty());
        const auto& completion = Edge().Completions().back();
        EXPECT_EQ(completion.packet, id);
        EXPECT_EQ(completion.status, c.completed);
        EXPECT_EQ(completion.time_us - started, c.after_us);
    }
    EXPECT_EQ(Edge().Completions().size(), std::size(cases));
}

TEST_F(Sends, SegmentsBecomeOneBufferEach) {
    StartAdapter();
    Edge().Send({Frame(14, 0), Frame(20, 14), Frame(26, 34)});
    NDIS_PACKET* packet = fake.sent.back();
    UINT physical = 0, count = 0, total = 0;
    NdisQueryPacket(packet, &physical, &count, nullptr, &total);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(total, 60u);
    EXPECT_GE(physical, 3u);
    std::vector<UINT> lengths;
    EXPECT_EQ(BytesOf(packet, &lengths), Frame(60, 0));
    EXPECT_EQ(lengths, (std::vector<UINT>{14, 20, 26}));
}

TEST_F(Sends, EveryWayOfBreakingSendOnceIsReported) {
    Expect(Rule::SendOnce);
    StartAdapter();
    NDIS_PACKET stranger{};
    struct Case {
        const char* name;
        std::function<NDIS_STATUS(NDIS_PACKET*)> send;
    };
    const Case cases[] = {
        {"completed twice during the call",
         [this](NDIS_PACKET* p) {
             NdisMSendComplete(fake.handle, p, NDIS_STATUS_SUCCESS);
             NdisMSendComplete(fake.handle, p, NDIS_STATUS_SUCCESS);
             return NDIS_STATUS_PENDING;
         }},
        {"pended, then completed twice",
         [this](NDIS_PACKET* p) {
             M().Clock().After(10, "twice", [this, p] {
                 NdisMSendComplete(fake.handle, p, NDIS_STATUS_SUCCESS);
                 NdisMSendComplete(fake.handle, p, NDIS_STATUS_SUCCESS);
             });
             return NDIS_STATUS_PENDING;
         }},
        {"completed, yet returned success",
         [this](NDIS_PACKET* p) {
             NdisMSendComplete(fake.handle, p, NDIS_STATUS_SUCCESS);
             return NDIS_STATUS_SUCCESS;
         }},
        {"completed, yet refused",
         [this](NDIS_PACKET* p) {
             NdisMSendComplete(fake.handle, p, NDIS_STATUS_SUCCESS);
             return NDIS_STATUS_FAILURE;
         }},
        {"completed a packet it was never given",
         [this, &stranger](NDIS_PACKET* p) {
             NdisMSendComplete(fake.handle, &stranger, NDIS_STATUS_SUCCESS);
             NdisMSendComplete(fake.handle, p, NDIS_STATUS_SUCCESS);
             return NDIS_STATUS_PENDING;
         }},
    };
    size_t reports = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake.on_send = c.send;
        Edge().Send(Frame(60, 0));
        M().Clock().RunUntilIdle();
        EXPECT_EQ(Check().Of(Rule::SendOnce).size(), ++reports);
    }
}

TEST_F(Sends, APendedSendNeverCompletedTripsTheWatchdogAndTheHalt) {
    Expect(Rule::Watchdog);
    Expect(Rule::SendOnce);
    StartAdapter();
    fake.on_send = [](NDIS_PACKET*) { return NDIS_STATUS_PENDING; };
    uint64_t id = Edge().Send(Frame(60, 0));
    EXPECT_EQ(Edge().Pended(), 1u);

    Advance(30'000'000);
    EXPECT_FALSE(Check().Saw(Rule::Watchdog)) << "30 s is still within the limit";
    Advance(2'000'000);
    EXPECT_EQ(Check().Of(Rule::Watchdog).size(), 1u);
    Advance(10'000'000);
    EXPECT_EQ(Check().Of(Rule::Watchdog).size(), 1u) << "reported once per send";

    Pnp(IRP_MN_STOP_DEVICE);
    EXPECT_EQ(Check().Of(Rule::SendOnce).size(), 1u);
    ASSERT_EQ(Edge().Completions().size(), 1u);
    EXPECT_EQ(Edge().Completions()[0].packet, id);
    EXPECT_EQ(Edge().Completions()[0].status, NDIS_STATUS_FAILURE);
}

// NdisMSendResourcesAvailable: only a serialized miniport's refusals wait in NDIS.
TEST_F(Sends, ASerializedMiniportsRefusedSendsAreOfferedAgainInOrderAfterResourcesAvailable) {
    fake.attribute_flags = 0;
    StartAdapter();
    int offers = 0;
    fake.on_send = [this, &offers](NDIS_PACKET* packet) {
        ++offers;
        if (offers == 1 || offers == 4) return NDIS_STATUS_RESOURCES;
        NdisMSendComplete(fake.handle, packet, NDIS_STATUS_SUCCESS);
        return NDIS_STATUS_PENDING;
    };
    uint64_t a = Edge().Send(Frame(60, 0xA0));
    uint64_t b = Edge().Send(Frame(60, 0xB0));
    uint64_t c = Edge().Send(Frame(60, 0xC0));
    EXPECT_EQ(offers, 1) << "sends after a refusal wait behind it";
    EXPECT_EQ(Edge().Queued(), 3u);

    AtIrql(DISPATCH_LEVEL, [this] { NdisMSendResourcesAvailable(fake.handle); });
    EXPECT_EQ(offers, 1) << "offered again later, not inside the call";
    M().Clock().RunUntilIdle();
    EXPECT_EQ(offers, 4) << "a, again, then b, then c refused once more";
    uint64_t d = Edge().Send(Frame(60, 0xD0));
    EXPECT_EQ(offers, 4);

    NdisMSendResourcesAvailable(fake.handle);
    M().Clock().RunUntilIdle();
    EXPECT_EQ(offers, 6);
    EXPECT_EQ(Edge().Queued(), 0u);
    std::vector<uint64_t> order;
    for (const auto& completion : Edge().Completions()) order.push_back(completion.packet);
    EXPECT_EQ(order, (std::vector<uint64_t>{a, b, c, d}));
    ASSERT_EQ(fake.sent.size(), 6u);
    EXPECT_EQ(BytesOf(fake.sent[5]), Frame(60, 0xD0));
}

}  // namespace
