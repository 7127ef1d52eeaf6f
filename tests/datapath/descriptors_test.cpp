// The transfer descriptors and packet pools as bring-up leaves them: one block holding the
// records, then the request areas, then the data buffers; the free lists' orders; the slots
// and receive packets bound to the descriptors; and a bring-up that fails for want of a pool.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datapath/descriptors.h"
#include "core/adapter.h"
#include "core/resources.h"
#include "emulator/ndis/packets.h"
#include "emulator/verifier/verifier.h"
#include "tests/support/running_adapter_fixture.h"

namespace qvtest {
namespace {

constexpr ULONG kTx = 3;
constexpr ULONG kRx = 3;  // the least the bring-up allows
constexpr ULONG kCount = kTx + kRx;

class Descriptors : public RunningAdapterFixture {
protected:
    // Running, with the hang check off: the lists are as bring-up left them, less the
    // block's last descriptor, which the first receive transfer took.
    void StartAsBuilt() {
        AdapterOptions options;
        options.tx_descriptors = kTx;
        options.rx_descriptors = kRx;
        options.hang_check = false;
        Start(options);
    }

    // The tracked allocation of exactly one block's size; null when there is none.
    UCHAR* Block() {
        for (ResourceRecord* r = Record().ResourcesInUse.Head; r != nullptr; r = r->Next) {
            if (r->Kind == ResourceMemory && r->Data.Memory.Length == kCount * DescriptorFootprint) {
                return static_cast<UCHAR*>(r->Data.Memory.Address);
            }
        }
        return nullptr;
    }

    // The list's descriptors from its head, as block indices; the links are checked both ways
    // on the way, and -1 stands for an entry that is not a descriptor record of the block.
    std::vector<long> Indices(const DescriptorList& list, UCHAR* block) {
        std::vector<long> indices;
        TransferDescriptor* previous = nullptr;
        for (TransferDescriptor* d = list.Head; d != nullptr && indices.size() <= kCount;
             d = d->Next) {
            EXPECT_EQ(d->Prev, previous);
            const auto offset = reinterpret_cast<UCHAR*>(d) - block;
            const bool inBlock = offset >= 0 && offset % DescriptorRecordSize == 0 &&
                                 offset / DescriptorRecordSize < kCount;
            indices.push_back(inBlock ? static_cast<long>(offset / DescriptorRecordSize) : -1);
            previous = d;
        }
        EXPECT_EQ(list.Tail, previous);
        EXPECT_EQ(list.Count, indices.size());
        return indices;
    }

    TransferDescriptor* Descriptor(UCHAR* block, ULONG i) {
        return reinterpret_cast<TransferDescriptor*>(block + i * DescriptorRecordSize);
    }
};

TEST_F(Descriptors, OneBlockHoldsRecordsThenRequestAreasThenBuffersAndTheFreeListsRunInBlockOrder) {
    StartAsBuilt();
    UCHAR* block = Block();
    ASSERT_NE(block, nullptr) << "no tracked block of " << kCount << " descriptors";

    EXPECT_EQ(Indices(Record().TxFreeList, block), (std::vector<long>{0, 1, 2}));
    EXPECT_EQ(Indices(Record().RxFreeList, block), (std::vector<long>{4, 3}));
    EXPECT_EQ(Record().RxReadyList.Count, 0u);

    UCHAR* requestAreas = block + kCount * DescriptorRecordSize;
    UCHAR* buffers = requestAreas + kCount * RequestAreaSize;
    for (ULONG i = 0; i < kCount; ++i) {
        SCOPED_TRACE(testing::Message() << "descriptor " << i);
        TransferDescriptor* d = Descriptor(block, i);
        EXPECT_EQ(d->Adapter, &Record());
        EXPECT_EQ(reinterpret_cast<UCHAR*>(d->Urb), requestAreas + i * RequestAreaSize);
        EXPECT_EQ(d->Buffer, buffers + i * TransferBufferSize);
    }
}

// Which slot or record each descriptor gets, by its place on its list, and what a receive
// packet is built as: one buffer over the first 1514 bytes of the descriptor's data buffer.
TEST_F(Descriptors, SlotsAndReceiveRecordsAreBoundInListOrderAndEachReceivePacketIsPrebuilt) {
    StartAsBuilt();
    UCHAR* block = Block();
    ASSERT_NE(block, nullptr);

    struct Binding {
        ULONG descriptor;
        ULONG entry;  // slot for a transmit descriptor, record for a receive one
    };
    for (const Binding b : {Binding{0, 0}, Binding{1, 1}, Binding{2, 2}}) {
        EXPECT_EQ(Descriptor(block, b.descriptor)->PacketRef, &Record().TxPacketSlots[b.entry])
            << "transmit descriptor " << b.descriptor;
    }
    for (const Binding b : {Binding{5, 0}, Binding{4, 1}, Binding{3, 2}}) {
        SCOPED_TRACE(testing::Message() << "receive descriptor " << b.descriptor);
        TransferDescriptor* d = Descriptor(block, b.descriptor);
        RxPacketRecord* record = &Record().RxPacketRecords[b.entry];
        ASSERT_EQ(d->PacketRef, record);
        ASSERT_NE(record->Packet, nullptr);

        UINT buffers = 0;
        UINT total = 0;
        NDIS_BUFFER* first = nullptr;
        NdisQueryPacket(record->Packet, nullptr, &buffers, &first, &total);
        EXPECT_EQ(buffers, 1u);
        EXPECT_EQ(first, record->NdisBuffer);
        EXPECT_EQ(record->Packet->Private.Tail, record->NdisBuffer);
        PVOID address = nullptr;
        UINT length = 0;
        NdisQueryBuffer(record->NdisBuffer, &address, &length);
        EXPECT_EQ(address, d->Buffer);
        EXPECT_EQ(length, ReceiveBufferLength);
        EXPECT_EQ(total, ReceiveBufferLength);
        EXPECT_EQ(NDIS_GET_PACKET_HEADER_SIZE(record->Packet), EthernetHeaderSize);
    }
}

// The block's size is counted in 32 bits. Counts whose block would not fit are refused before
// anything is allocated, however their sum wraps; the largest that fits is asked for (and
// failed here on purpose: the machine has no 4 GB to give).
TEST_F(Descriptors, CountsWhoseBlockWouldNotFitIn32BitsAreRefusedBeforeAnyAllocation) {
    StartAsBuilt();
    Adapter& adapter = Record();
    struct Case {
        ULONG tx;
        ULONG rx;
        bool asked;
    };
    const Case cases[] = {
        {0xFFFFFFFFu, 2, false},              // the sum wraps round to 1
        {2, 0xFFFFFFFFu, false},
        {0x80000000u, 0x80000000u, false},    // the sum wraps round to 0
        {MaxDescriptorCount, 1, false},       // one more than fits
        {1, MaxDescriptorCount, false},
        {MaxDescriptorCount - 1, 1, true},    // exactly as many as fit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tx << " + " << c.rx);
        adapter.TxDescCount = c.tx;
        adapter.RxDescCount = c.rx;
        const uint64_t failedBefore = Check().Allocations().Failed();
        Check().Allocations().FailNth(1);
        const ULONG result = AtIrql(PASSIVE_LEVEL, [&] { return CarveDescriptors(&adapter); });
        Check().Allocations().Clear();
        EXPECT_EQ(result, 2u);
        EXPECT_EQ(Check().Allocations().Failed() - failedBefore, c.asked ? 1u : 0u);
    }
    adapter.TxDescCount = kTx;
    adapter.RxDescCount = kRx;
    EXPECT_EQ(Indices(adapter.TxFreeList, Block()).size(), kTx) << "the lists are untouched";
}

// A pool that cannot be had fails the bring-up, and whatever was acquired before it (the
// block, the slots, the packet pool) is given back: NDIS finds no leak after the failure.
class PoolFailure : public Descriptors, public testing::WithParamInterface<ULONG> {};

TEST_P(PoolFailure, FailsBringUpWithNothingLeftBehind) {
    Check().Allocations().FailTag(GetParam(), 1);
    AdapterOptions options;
    options.tx_descriptors = kTx;
    options.rx_descriptors = kRx;
    RunningAdapter nic(M(), options);

    EXPECT_NE(nic.Start(), NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(nic.Running());
    EXPECT_EQ(Check().Allocations().Failed(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Pools, PoolFailure,
                         testing::Values(emu::ndis::Pools::kPacketPoolTag,
                                         emu::ndis::Pools::kBufferPoolTag),
                         [](const testing::TestParamInfo<ULONG>& info) {
                             return info.param == emu::ndis::Pools::kBufferPoolTag
                                        ? std::string("BufferPool")
                                        : std::string("PacketPool");
                         });

}  // namespace
}  // namespace qvtest
