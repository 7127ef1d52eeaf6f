// Packet and buffer pools, and receive indications with their ownership rules.
#include <gtest/gtest.h>

#include "emulator/kernel/scheduler.h"
#include "tests/ndis/fake_miniport.h"

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
        AtIrql(DISPATCH_LEVEL, [this, packet] {
            NDIS_PACKET* array[1] = {packet};
            NdisMIndicateReceivePacket(fake.handle, array, 1);
        });
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
    EXPECT_EQ(third->Private.Head, nullptr);
    EXPECT_EQ(NDIS_GET_PACKET_HEADER_SIZE(third), 0u) << "out-of-band data starts clean";

    std::vector<uint8_t> memory(PAGE_SIZE + 100);
    NDIS_BUFFER* buffer = nullptr;
    UCHAR* start = memory.data() + 50;
    NdisAllocateBuffer(&status, &buffer, buffer_pool, start, PAGE_SIZE);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(static_cast<UCHAR*>(buffer->StartVa) + buffer->ByteOffset, start);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer->StartVa) % PAGE_SIZE, 0u);
    EXPECT_EQ(buffer->MappedSystemVa, start);
    EXPECT_EQ(buffer->ByteCount, PAGE_SIZE);
    EXPECT_EQ(NDIS_BUFFER_TO_SPAN_PAGES(buffer), buffer->ByteOffset == 0 ? 1u : 2u);
    // Freeing the pools at halt ends these packets and buffers without a leak report.
}

TEST_F(Receives, QueryPacketWalksTheChainOnceThenUsesItsCounts) {
    std::vector<uint8_t> memory = Frame(60);
    NDIS_PACKET* packet = Packet(memory, NDIS_STATUS_RESOURCES);
    NDIS_BUFFER* body = packet->Private.Head->Next;
    UINT physical = 0, count = 0, total = 0;
    NdisQueryPacket(packet, &physical, &count, nullptr, &total);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(total, 60u);
    EXPECT_GE(physical, 2u);

    NdisAdjustBufferLength(body, 10);
    NdisQueryPacket(packet, nullptr, &count, nullptr, &total);
    EXPECT_EQ(total, 60u) << "the counts stay cached until the chain changes";

    NDIS_BUFFER* extra = nullptr;
    NDIS_STATUS status;
    NdisAllocateBuffer(&status, &extra, buffer_pool, memory.data(), 4);
    NdisChainBufferAtFront(packet, extra);
    NdisQueryPacket(packet, nullptr, &count, nullptr, &total);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(total, 4u + 14u + 10u);
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
    NDIS_BUFFER* body = packet->Private.Head->Next;
    NdisAdjustBufferLength(body, 90);
    EXPECT_EQ(Check().Of(Rule::RecvOwnership).size(), 1u);
    Indicate(packet);
    EXPECT_EQ(Check().Of(Rule::RecvOwnership).size(), 2u);
    EXPECT_EQ(Edge().Received()[0].bytes, Frame(100)) << "only the built bytes are read";
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
