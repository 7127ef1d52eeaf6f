// Packet and buffer pools, and receive indications with their ownership rules.
#include <gtest/gtest.h>

#include <functional>

#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/packets.h"
#include "tests/ndis/fake_miniport.h"

// Outside the anonymous namespace so that reports can name it as the place of an indication.
__attribute__((noinline)) void ReceivesIndicateHere(NDIS_HANDLE handle, NDIS_PACKET* packet) {
    NdisMIndicateReceivePacket(handle, &packet, 1);
    asm volatile("" ::: "memory");  // keeps the call from becoming a jump, so it is our site
}

namespace {

using emu::Rule;
using emu::ndis::Protocol;

// Receive packets as a miniport builds them: pools made once, one packet per frame buffer.
class Receives : public qvtest::NdisFixture {
protected:
    void SetUp() override {
        fake.on_initialize = [this](NDIS_HANDLE) {
            NDIS_STATUS status;
            NdisAllocatePacketPool(&status, &packet_pool, 2, 0);
            ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
            NdisAllocateBufferPool(&status, &buffer_pool, 4);
            ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        };
        fake.on_halt = [this] {
            // As a miniport does from its own records: each packet and buffer, then the pools.
            emu::ndis::Pools& pools = N().PoolTable();
            for (NDIS_BUFFER* buffer : pools.DrawnBuffers(buffer_pool)) NdisFreeBuffer(buffer);
            for (NDIS_PACKET* packet : pools.DrawnPackets(packet_pool)) NdisFreePacket(packet);
            NdisFreeBufferPool(buffer_pool);
            NdisFreePacketPool(packet_pool);
        };
        StartAdapter();
    }

    // A packet over `memory`: a 14-byte header buffer, then the rest.
    NDIS_PACKET* Packet(std::vector<uint8_t>& memory, NDIS_STATUS status) {
        NDIS_STATUS result;
        NDIS_PACKET* packet = nullptr;
        NDIS_BUFFER *header = nullptr, *body = nullptr;
        NdisAllocatePacket(&result, &packet, packet_pool);
        NdisAllocateBuffer(&result, &body, buffer_pool, memory.data() + 14,
                           static_cast<UINT>(memory.size() - 14));
        NdisAllocateBuffer(&result, &header, buffer_pool, memory.data(), 14);
        NdisChainBufferAtFront(packet, body);
        NdisChainBufferAtFront(packet, header);
        NDIS_SET_PACKET_HEADER_SIZE(packet, 14);
        NDIS_SET_PACKET_STATUS(packet, status);
        return packet;
    }

    void Indicate(NDIS_PACKET* packet) {
        AtIrql(DISPATCH_LEVEL, [this, packet] { ReceivesIndicateHere(fake.handle, packet); });
    }

    static NDIS_BUFFER* Nth(NDIS_PACKET* packet, int n) {
        NDIS_BUFFER* buffer = nullptr;
        NdisQueryPacket(packet, nullptr, nullptr, &buffer, nullptr);
        while (n-- > 0) NdisGetNextBuffer(buffer, &buffer);
        return buffer;
    }

    NDIS_HANDLE packet_pool = nullptr;
    NDIS_HANDLE buffer_pool = nullptr;
};

std::vector<uint8_t> Frame(size_t length) {
    std::vector<uint8_t> frame(length);
    for (size_t i = 0; i < length; ++i) frame[i] = static_cast<uint8_t>(i * 7);
    return frame;
}

TEST_F(Receives, PoolsHoldWhatTheyWereSizedFor) {
    NDIS_STATUS status;
    NDIS_PACKET *first = nullptr, *second = nullptr, *third = nullptr;
    NdisAllocatePacket(&status, &first, packet_pool);
    NdisAllocatePacket(&status, &second, packet_pool);
    NdisAllocatePacket(&status, &third, packet_pool);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(third, nullptr);
    NdisFreePacket(first);
    NdisAllocatePacket(&status, &third, packet_pool);
    EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    UINT buffers = 99, total = 99;
    NDIS_BUFFER* head = nullptr;
    NdisQueryPacket(third, nullptr, &buffers, &head, &total);
    EXPECT_EQ(head, nullptr);
    EXPECT_EQ(buffers, 0u);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(NDIS_GET_PACKET_HEADER_SIZE(third), 0u) << "out-of-band data starts clean";

    std::vector<uint8_t> memory(PAGE_SIZE + 100);
    NDIS_BUFFER* buffer = nullptr;
    UCHAR* start = memory.data() + 50;
    NdisAllocateBuffer(&status, &buffer, buffer_pool, start, PAGE_SIZE);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    PVOID address = nullptr;
    UINT length = 0, offset = 0;
    NdisQueryBuffer(buffer, &address, &length);
    EXPECT_EQ(address, start);
    EXPECT_EQ(length, PAGE_SIZE);
    NdisQueryBufferOffset(buffer, &offset, &length);
    EXPECT_EQ(offset, reinterpret_cast<uintptr_t>(start) % PAGE_SIZE);
    EXPECT_EQ(NDIS_BUFFER_TO_SPAN_PAGES(buffer), offset == 0 ? 1u : 2u);
}

// Freeing a pool leaks, rather than ends, what is still drawn from it: reported with the
// counts, and silent once each packet and buffer has been freed first.
TEST_F(Receives, APoolFreedWithPacketsOrBuffersStillDrawnIsALeak) {
    Expect(Rule::PoolLeak);
    struct Case {
        const char* name;
        UINT packets_left;
        UINT buffers_left;
        std::vector<std::string> reports;  // what each report starts with
    };
    const Case cases[] = {
        {"emptied first", 0, 0, {}},
        {"packets left", 2, 0, {"2 of the pool's 3 packets"}},
        {"buffers left", 0, 1, {"1 of the pool's 3 buffers"}},
        {"both left", 1, 3, {"1 of the pool's 3 packets", "3 of the pool's 3 buffers"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = Check().Of(Rule::PoolLeak).size();
        NDIS_STATUS status;
        NDIS_HANDLE packets = nullptr, buffers = nullptr;
        NdisAllocatePacketPool(&status, &packets, 3, 0);
        NdisAllocateBufferPool(&status, &buffers, 3);
        std::vector<uint8_t> memory(64);
        std::vector<NDIS_PACKET*> drawn_packets(3);
        std::vector<NDIS_BUFFER*> drawn_buffers(3);
        for (auto& packet : drawn_packets) NdisAllocatePacket(&status, &packet, packets);
        for (auto& buffer : drawn_buffers) {
            NdisAllocateBuffer(&status, &buffer, buffers, memory.data(), 64);
        }
        for (UINT i = c.packets_left; i < 3; ++i) NdisFreePacket(drawn_packets[i]);
        for (UINT i = c.buffers_left; i < 3; ++i) NdisFreeBuffer(drawn_buffers[i]);
        NdisFreePacketPool(packets);
        NdisFreeBufferPool(buffers);

        const auto reports = Check().Of(Rule::PoolLeak);
        ASSERT_EQ(reports.size() - before, c.reports.size());
        for (size_t i = 0; i < c.reports.size(); ++i) {
            const auto& report = reports[before + i];
            EXPECT_EQ(report.detail.rfind(c.reports[i], 0), 0u) << report.detail;
            EXPECT_EQ(report.call, i == 0 && c.packets_left != 0 ? "NdisFreePacketPool"
                                                                 : "NdisFreeBufferPool");
        }
    }
}

// The cached counts change with the chain, not with a buffer's length: after
// NdisAdjustBufferLength the packet keeps its old total until NdisRecalculatePacketCounts.
TEST_F(Receives, QueryPacketCountsFollowTheChainAndARecalculationNotABufferLength) {
    std::vector<uint8_t> memory = Frame(60);
    NDIS_PACKET* packet = Packet(memory, NDIS_STATUS_RESOURCES);  // 14 + 46 bytes
    NDIS_STATUS status;
    NDIS_BUFFER *front = nullptr, *back = nullptr, *taken = nullptr;
    NdisAllocateBuffer(&status, &front, buffer_pool, memory.data(), 4);
    NdisAllocateBuffer(&status, &back, buffer_pool, memory.data(), 6);

    struct Step {
        const char* name;
        std::function<void()> change;
        UINT buffers;
        UINT total;
        int last;  // index of the last buffer reached by the walk
    };
    const Step steps[] = {
        {"as chained", [] {}, 2, 60, 1},
        {"body adjusted", [&] { NdisAdjustBufferLength(Nth(packet, 1), 10); }, 2, 60, 1},
        {"recalculated", [&] { NdisRecalculatePacketCounts(packet); }, 2, 24, 1},
        {"chained at the front", [&] { NdisChainBufferAtFront(packet, front); }, 3, 28, 2},
        {"chained at the back", [&] { NdisChainBufferAtBack(packet, back); }, 4, 34, 3},
        {"header adjusted", [&] { NdisAdjustBufferLength(Nth(packet, 1), 2); }, 4, 34, 3},
        {"unchained at the back", [&] { NdisUnchainBufferAtBack(packet, &taken); }, 3, 16, 2},
        {"unchained at the front", [&] { NdisUnchainBufferAtFront(packet, &taken); }, 2, 12, 1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.change();
        UINT physical = 0, buffers = 0, total = 0;
        NDIS_BUFFER* first = nullptr;
        NdisQueryPacket(packet, &physical, &buffers, &first, &total);
        EXPECT_EQ(buffers, step.buffers);
        EXPECT_EQ(total, step.total);
        EXPECT_GE(physical, buffers);
        EXPECT_EQ(first, Nth(packet, 0));
        NDIS_BUFFER* after = Nth(packet, step.last);
        ASSERT_NE(after, nullptr);
        NdisGetNextBuffer(after, &after);
        EXPECT_EQ(after, nullptr);
    }
    EXPECT_EQ(taken, front);

    // The unchained buffers stand alone, and emptying the chain leaves an empty packet.
    NdisUnchainBufferAtBack(packet, &taken);
    NdisUnchainBufferAtBack(packet, &taken);
    NdisUnchainBufferAtFront(packet, &taken);
    EXPECT_EQ(taken, nullptr);
    UINT buffers = 9, total = 9;
    NdisQueryPacket(packet, nullptr, &buffers, nullptr, &total);
    EXPECT_EQ(buffers, 0u);
    EXPECT_EQ(total, 0u);
    NdisChainBufferAtBack(packet, back);
    NdisQueryPacket(packet, nullptr, &buffers, nullptr, &total);
    EXPECT_EQ(buffers, 1u);
    EXPECT_EQ(total, 6u);
}

TEST_F(Receives, ResourcesStatusIsCopiedDuringTheCall) {
    std::vector<uint8_t> memory = Frame(64);
    NDIS_PACKET* packet = Packet(memory, NDIS_STATUS_RESOURCES);
    Indicate(packet);
    ASSERT_EQ(Edge().Received().size(), 1u);
    const Protocol::Receive& receive = Edge().Received()[0];
    EXPECT_EQ(receive.bytes, Frame(64));
    EXPECT_EQ(receive.header_size, 14u);
    EXPECT_EQ(receive.status, NDIS_STATUS_RESOURCES);

    // The packet is the miniport's again: reusing it at once is fine, and the copy stands.
    memory.assign(memory.size(), 0xEE);
    Indicate(packet);
    M().Clock().RunUntilIdle();
    EXPECT_EQ(Edge().Received()[0].bytes, Frame(64));
    EXPECT_EQ(Edge().Received()[1].bytes, std::vector<uint8_t>(64, 0xEE));
    EXPECT_EQ(Edge().Lent(), 0u);
    EXPECT_TRUE(fake.returned.empty());
}

TEST_F(Receives, LentPacketsComeBackThroughReturnPacket) {
    Expect(Rule::RecvOwnership);
    std::vector<uint8_t> memory = Frame(60);
    NDIS_PACKET* packet = Packet(memory, NDIS_STATUS_SUCCESS);

    Indicate(packet);
    EXPECT_EQ(Edge().Lent(), 1u);
    EXPECT_TRUE(fake.returned.empty()) << "returned after the call, not during it";
    M().Clock().RunUntilIdle();
    EXPECT_EQ(fake.returned, std::vector<NDIS_PACKET*>{packet});
    EXPECT_EQ(fake.irql["MiniportReturnPacket"], DISPATCH_LEVEL);

    Edge().SetReturnMode(Protocol::ReturnMode::Manual);
    NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_SUCCESS);
    Indicate(packet);
    M().Clock().RunUntilIdle();
    EXPECT_EQ(fake.returned.size(), 1u);
    Indicate(packet);
    EXPECT_EQ(Check().Of(Rule::RecvOwnership).size(), 1u) << "indicated while still lent";
    EXPECT_EQ(Edge().Received().size(), 2u);

    // Before NDIS halts the adapter, the protocol gives back what it holds.
    Pnp(IRP_MN_STOP_DEVICE);
    EXPECT_EQ(fake.returned.size(), 2u);
    auto halted = std::find(events.begin(), events.end(), "MiniportHalt");
    ASSERT_NE(halted, events.begin());
    EXPECT_EQ(*(halted - 1), "MiniportReturnPacket");
}

TEST_F(Receives, BufferSetLongerThanItWasBuiltIsReported) {
    Expect(Rule::RecvOwnership);
    std::vector<uint8_t> memory = Frame(100);
    NDIS_PACKET* packet = Packet(memory, NDIS_STATUS_RESOURCES);
    NDIS_BUFFER* body = Nth(packet, 1);
    NdisAdjustBufferLength(body, 90);
    EXPECT_EQ(Check().Of(Rule::RecvOwnership).size(), 1u);
    PVOID address = nullptr;
    UINT length = 0;
    NdisQueryBuffer(body, &address, &length);
    EXPECT_EQ(length, 86u) << "it still describes only the memory it was built over";
    Indicate(packet);
    EXPECT_EQ(Edge().Received()[0].bytes, Frame(100));
}

// A protocol takes the frame's length from NdisQueryPacket. After the miniport shortens or
// lengthens the buffer of a packet whose counts are cached, without recalculating them, the
// frame comes out cut short, or the chain falls short of the length and that is reported.
TEST_F(Receives, AProtocolTakesTheLengthTheCachedCountsGive) {
    Expect(Rule::RecvOwnership);
    std::vector<uint8_t> memory = Frame(100);
    NDIS_PACKET* packet = Packet(memory, NDIS_STATUS_RESOURCES);
    NDIS_BUFFER* body = Nth(packet, 1);
    NdisAdjustBufferLength(body, 36);
    NdisRecalculatePacketCounts(packet);
    Indicate(packet);  // caches a total of 50

    struct Case {
        UINT body;
        bool recalculate;
        size_t received;
        size_t reports;
    };
    size_t reports = 0;
    for (const Case c : {Case{86, false, 50, 0}, Case{20, false, 34, 1}, Case{86, true, 100, 0},
                         Case{20, true, 34, 0}}) {
        SCOPED_TRACE(testing::Message() << c.body << (c.recalculate ? ", recalculated" : ""));
        NdisAdjustBufferLength(body, c.body);
        if (c.recalculate) NdisRecalculatePacketCounts(packet);
        Indicate(packet);
        EXPECT_EQ(Edge().Received().back().bytes, std::vector<uint8_t>(memory.begin(),
                                                                       memory.begin() + c.received));
        reports += c.reports;
        EXPECT_EQ(Check().Of(Rule::RecvOwnership).size(), reports);
    }
    const auto report = Check().Of(Rule::RecvOwnership).back();
    EXPECT_NE(report.detail.find("total length of 50"), std::string::npos) << report.detail;
}

// While a lent packet is away, its buffers and their bytes are the protocol's to read: a
// miniport that changes them before MiniportReturnPacket is reported, with the place of the
// indication.
TEST_F(Receives, ALentPacketChangedBeforeItComesBackIsReported) {
    Expect(Rule::RecvOwnership);
    Edge().SetReturnMode(Protocol::ReturnMode::Manual);
    std::vector<uint8_t> memory = Frame(60);
    NDIS_PACKET* packet = Packet(memory, NDIS_STATUS_SUCCESS);
    NDIS_STATUS status;
    NDIS_BUFFER* spare = nullptr;
    NdisAllocateBuffer(&status, &spare, buffer_pool, memory.data(), 4);

    struct Case {
        const char* name;
        std::function<void()> change;   // made while the packet is lent
        std::function<void()> restore;  // afterwards, for the next case
        const char* reported;           // nullptr: nothing
    };
    const Case cases[] = {
        {"left alone", [] {}, [] {}, nullptr},
        {"a byte changed", [&] { memory[30] ^= 0xFF; }, [&] { memory[30] ^= 0xFF; },
         "the bytes of its buffers"},
        {"a buffer shortened", [&] { NdisAdjustBufferLength(Nth(packet, 1), 40); },
         [&] { NdisAdjustBufferLength(Nth(packet, 1), 46); }, "its buffer chain"},
        {"a buffer chained", [&] { NdisChainBufferAtBack(packet, spare); },
         [&] {
             NDIS_BUFFER* taken = nullptr;
             NdisUnchainBufferAtBack(packet, &taken);
         },
         "its buffer chain"},
    };
    size_t reports = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_SUCCESS);
        Indicate(packet);
        ASSERT_EQ(Edge().Lent(), 1u);
        c.change();
        Edge().ReturnLent();
        EXPECT_EQ(fake.returned.back(), packet) << "it still goes back";
        c.restore();
        if (c.reported == nullptr) {
            EXPECT_EQ(Check().Of(Rule::RecvOwnership).size(), reports);
            continue;
        }
        const auto all = Check().Of(Rule::RecvOwnership);
        ASSERT_EQ(all.size(), ++reports);
        EXPECT_EQ(all.back().call, "MiniportReturnPacket");
        EXPECT_NE(all.back().detail.find(c.reported), std::string::npos) << all.back().detail;
        EXPECT_NE(all.back().place.find("ReceivesIndicateHere"), std::string::npos)
            << all.back().place;
    }
}

TEST_F(Receives, IndicatingAboveDispatchIsAnIrqlFault) {
    Expect(Rule::IrqlCall);
    std::vector<uint8_t> memory = Frame(60);
    NDIS_PACKET* packet = Packet(memory, NDIS_STATUS_RESOURCES);
    NdisMIndicateReceivePacket(fake.handle, &packet, 1);  // passive: allowed
    EXPECT_FALSE(Check().Saw(Rule::IrqlCall));

    constexpr KIRQL DeviceLevel = DISPATCH_LEVEL + 1;
    KIRQL old;
    KeRaiseIrql(DeviceLevel, &old);
    NdisMIndicateReceivePacket(fake.handle, &packet, 1);
    KeLowerIrql(old);
    EXPECT_EQ(Check().Of(Rule::IrqlCall).size(), 1u);
}

}  // namespace
