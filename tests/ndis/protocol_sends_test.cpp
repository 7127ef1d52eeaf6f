// Sends as NDIS makes them for a deserialized miniport: no queue and no second offer, and a
// protocol that sends again from inside the miniport's completions and indications.
#include <gtest/gtest.h>

#include <functional>

#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/protocol.h"
#include "tests/ndis/fake_miniport.h"

namespace {

using emu::Rule;
using emu::ndis::Protocol;

std::vector<uint8_t> Frame(uint8_t first) { return std::vector<uint8_t>(60, first); }

class ProtocolSends : public qvtest::NdisFixture {
protected:
    // Every test here decides itself which frames wait for a call back.
    ProtocolSends() : saved_(Protocol::CurrentCallbacks()) { Protocol::SetCallbacks({}); }
    ~ProtocolSends() override { Protocol::SetCallbacks(saved_); }

    // MiniportSend completing inside the call, counting how deep sends nest.
    void CompleteInsideTheSend() {
        fake.on_send = [this](NDIS_PACKET* packet) {
            depths.push_back(++depth);
            NdisMSendComplete(fake.handle, packet, NDIS_STATUS_SUCCESS);
            --depth;
            return NDIS_STATUS_PENDING;
        };
    }

    std::vector<uint64_t> CompletedInOrder() {
        std::vector<uint64_t> order;
        for (const auto& completion : Edge().Completions()) order.push_back(completion.packet);
        return order;
    }

    int depth = 0;
    std::vector<int> depths;

private:
    Protocol::Callbacks saved_;
};

// NdisMSetAttributesEx and "Deserialized NDIS Miniport Drivers": whatever a deserialized
// miniport returns but pending completes the packet with that status, and nothing is offered
// again, not even after NdisMSendResourcesAvailable. A refusal for resources is a lost frame.
TEST_F(ProtocolSends, ADeserializedMiniportsReturnCompletesThePacketAndResourcesIsReported) {
    Expect(Rule::SendOnce);
    StartAdapter();
    const NDIS_STATUS returns[] = {NDIS_STATUS_SUCCESS, NDIS_STATUS_FAILURE,
                                   NDIS_STATUS_RESOURCES};
    for (NDIS_STATUS returned : returns) {
        SCOPED_TRACE(returned);
        int offers = 0;
        fake.on_send = [&offers, returned](NDIS_PACKET*) {
            ++offers;
            return returned;
        };
        const size_t reports = Check().Of(Rule::SendOnce).size();
        const uint64_t id = Edge().Send(Frame(1));
        NdisMSendResourcesAvailable(fake.handle);
        M().Clock().RunUntilIdle();

        EXPECT_EQ(offers, 1);
        EXPECT_EQ(Edge().Queued(), 0u);
        ASSERT_FALSE(Edge().Completions().empty());
        EXPECT_EQ(Edge().Completions().back().packet, id);
        EXPECT_EQ(Edge().Completions().back().status, returned);
        EXPECT_EQ(Check().Of(Rule::SendOnce).size(),
                  reports + (returned == NDIS_STATUS_RESOURCES ? 1 : 0));
    }
}

TEST_F(ProtocolSends, AHeldFrameGoesDownFromInsideTheNextCompletionInOrder) {
    StartAdapter();
    CompleteInsideTheSend();
    Edge().HoldNextSend();
    const uint64_t a = Edge().Send(Frame(0xA0));
    EXPECT_TRUE(fake.sent.empty()) << "held for a call back";
    EXPECT_EQ(Edge().Held(), 1u);
    const uint64_t b = Edge().Send(Frame(0xB0));
    const uint64_t c = Edge().Send(Frame(0xC0));

    // a goes first; b from inside a's completion; c once that returned.
    EXPECT_EQ(depths, (std::vector<int>{1, 2, 1}));
    EXPECT_EQ(CompletedInOrder(), (std::vector<uint64_t>{a, b, c}));
    EXPECT_EQ(Edge().CallbackSends(), 1u);

    // Without a call back a held frame still goes at the end of the moment.
    Edge().HoldNextSend();
    const uint64_t d = Edge().Send(Frame(0xD0));
    EXPECT_EQ(Edge().Held(), 1u);
    M().Clock().Advance(0);
    EXPECT_EQ(Edge().Held(), 0u);
    EXPECT_EQ(CompletedInOrder().back(), d);
}

// A miniport that holds its lock across a call up into the protocol deadlocks on Windows as
// soon as the protocol sends from there; here that is a LOCK_STATE report, never a hang.
TEST_F(ProtocolSends, ALockHeldAcrossACallIntoTheProtocolIsReportedWhenItSendsBack) {
    Expect(Rule::LockState);
    Expect(Rule::IrqlBalance);  // the inner release lets go of the outer hold
    NDIS_HANDLE packet_pool = nullptr;
    NDIS_HANDLE buffer_pool = nullptr;
    fake.on_initialize = [&](NDIS_HANDLE) {
        NDIS_STATUS status;
        NdisAllocatePacketPool(&status, &packet_pool, 1, 0);
        NdisAllocateBufferPool(&status, &buffer_pool, 1);
    };
    fake.on_halt = [&] {
        NdisFreeBufferPool(buffer_pool);
        NdisFreePacketPool(packet_pool);
    };
    StartAdapter();
    NDIS_SPIN_LOCK lock;
    NdisAllocateSpinLock(&lock);
    fake.on_send = [&](NDIS_PACKET* packet) {
        NdisAcquireSpinLock(&lock);
        NdisReleaseSpinLock(&lock);
        NdisMSendComplete(fake.handle, packet, NDIS_STATUS_SUCCESS);
        return NDIS_STATUS_PENDING;
    };
    std::vector<uint8_t> memory(60, 0x5A);
    struct Case {
        const char* call;
        std::function<void()> up;  // the call into the protocol, made with the lock held
    };
    const Case cases[] = {
        {"NdisMIndicateStatus",
         [&] {
             NdisAcquireSpinLock(&lock);
             NdisMIndicateStatus(fake.handle, NDIS_STATUS_MEDIA_CONNECT, nullptr, 0);
             NdisMIndicateStatusComplete(fake.handle);
             NdisReleaseSpinLock(&lock);
         }},
        {"NdisMIndicateReceivePacket",
         [&] {
             NDIS_STATUS status;
             NDIS_PACKET* packet = nullptr;
             NDIS_BUFFER* buffer = nullptr;
             NdisAllocatePacket(&status, &packet, packet_pool);
             NdisAllocateBuffer(&status, &buffer, buffer_pool, memory.data(),
                                static_cast<UINT>(memory.size()));
             NdisChainBufferAtFront(packet, buffer);
             NDIS_SET_PACKET_HEADER_SIZE(packet, 14);
             NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_RESOURCES);
             NdisAcquireSpinLock(&lock);
             NdisMIndicateReceivePacket(fake.handle, &packet, 1);
             NdisReleaseSpinLock(&lock);
             NdisFreeBuffer(buffer);
             NdisFreePacket(packet);
         }},
        {"NdisMSendComplete",
         [&] {
             // A second send of the miniport's own is completed under the lock.
             fake.on_send = [&](NDIS_PACKET* packet) {
                 NdisAcquireSpinLock(&lock);
                 NdisMSendComplete(fake.handle, packet, NDIS_STATUS_SUCCESS);
                 NdisReleaseSpinLock(&lock);
                 return NDIS_STATUS_PENDING;
             };
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        const size_t reports = Check().Of(Rule::LockState).size();
        const size_t completed = Edge().Completions().size();
        if (std::string(c.call) == "NdisMSendComplete") {
            c.up();
            Edge().Send(Frame(1));  // completed under the lock...
            Edge().HoldNextSend();
            Edge().Send(Frame(2));
            Edge().Send(Frame(3));  // ...which sends the held one from there
        } else {
            Edge().HoldNextSend();
            Edge().Send(Frame(2));
            AtIrql(DISPATCH_LEVEL, c.up);
        }
        M().Clock().RunUntilIdle();
        EXPECT_GT(Check().Of(Rule::LockState).size(), reports);
        EXPECT_EQ(Edge().Held(), 0u);
        EXPECT_EQ(Edge().Completions().size(),
                  completed + (std::string(c.call) == "NdisMSendComplete" ? 3 : 1));
        EXPECT_TRUE(M().Cpu().Held().empty());
    }
    NdisFreeSpinLock(&lock);
}

// "NdisMSetAttributesEx": NDIS times out the sends it holds pended to a serialized miniport
// (two hang checks) and resets it, unless told to ignore packet time-outs; a deserialized
// miniport's sends are its own business. A send completed in time never leads to a reset.
TEST_F(ProtocolSends, ASendPendedAcrossTwoHangChecksResetsOnlyASerializedMiniport) {
    struct Case {
        const char* name;
        ULONG flags;
        bool completed_in_time;
        int resets;
    };
    const Case cases[] = {
        {"serialized", 0, false, 1},
        {"serialized, time-outs ignored", NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT, false, 0},
        {"serialized, completed within one check", 0, true, 0},
        {"deserialized", NDIS_ATTRIBUTE_DESERIALIZE, false, 0},
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
        NDIS_PACKET* pended = nullptr;
        fake.on_send = [&pended](NDIS_PACKET* packet) {
            pended = packet;
            return NDIS_STATUS_PENDING;
        };
        const uint64_t sent = M().Clock().Now();
        Edge().Send(Frame(1));
        ASSERT_NE(pended, nullptr);
        auto complete = [&] {
            AtIrql(DISPATCH_LEVEL,
                   [&] { NdisMSendComplete(fake.handle, pended, NDIS_STATUS_SUCCESS); });
            pended = nullptr;
        };
        if (c.completed_in_time) {
            Advance(1'500'000);
            complete();
        }
        Advance(6'000'000);
        EXPECT_EQ(fake.resets, c.resets);
        if (c.resets != 0) {
            const auto& reset = Adapter().ResetLog().back();
            EXPECT_GT(reset.started_us - sent, 2'000'000u) << "after the second check";
            EXPECT_LE(reset.started_us - sent, 4'000'000u);
        }
        if (pended != nullptr) complete();
        Pnp(IRP_MN_STOP_DEVICE);
    }
}

}  // namespace
