// The resource tracker as the pool sees it: chunks of records, running tags, and one walk
// that gives everything back newest first, the Adapter last, leaving nothing behind.
#include <cstring>
#include <string>
#include <vector>

#include "datapath/descriptors.h"
#include "core/adapter.h"
#include "core/pool_tags.h"
#include "core/tracker.h"
#include "emulator/kernel/pool.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/packets.h"
#include "tests/support/machine_fixture.h"

namespace {

constexpr size_t ChunkBytes = ResourceChunkRecords * sizeof(ResourceRecord);

class TrackerTest : public qvtest::MachineFixture {
protected:
    TrackerTest() {
        // As after a fresh load, whichever test ran before in this process.
        ChunkPoolTag = FirstChunkPoolTag;
        MemoryPoolTag = FirstMemoryPoolTag;
        mark_ = M().Memory().Serial();
    }

    // The Adapter allocated, zeroed and recorded first, as initialization does.
    Adapter* NewTrackedAdapter() {
        PVOID memory = nullptr;
        EXPECT_EQ(NdisAllocateMemoryWithTag(&memory, sizeof(Adapter), AdapterPoolTag),
                  NDIS_STATUS_SUCCESS);
        memset(memory, 0, sizeof(Adapter));
        auto* adapter = static_cast<Adapter*>(memory);
        ResourceRecord* record = TrackResource(adapter);
        EXPECT_NE(record, nullptr);
        record->Kind = ResourceMemory;
        record->Data.Memory.Length = sizeof(Adapter);
        record->Data.Memory.Address = adapter;
        return adapter;
    }

    PVOID TrackedBlock(Adapter* adapter, ULONG length) {
        PVOID block = nullptr;
        EXPECT_EQ(AllocateTrackedMemory(adapter, &block, length), ResultSuccess);
        return block;
    }

    std::string TagOf(const void* block) {
        const emu::Pool::Block* found = M().Memory().Find(block);
        return found ? emu::Pool::TagName(found->tag) : "(not a live block)";
    }

    // Tags of the blocks freed from now on, in the order they were freed.
    size_t LogMark() { return M().Memory().Log().size(); }
    std::vector<std::string> FreedTagsSince(size_t mark) {
        std::vector<std::string> tags;
        const auto& log = M().Memory().Log();
        for (size_t i = mark; i < log.size(); ++i) {
            if (log[i].kind == emu::Pool::Event::Kind::Free) {
                tags.push_back(emu::Pool::TagName(log[i].tag));
            }
        }
        return tags;
    }

    void ExpectNothingLeft() { EXPECT_EQ(M().Memory().CheckLeaks(mark_, "after the walk"), 0u); }

private:
    uint64_t mark_ = 0;
};

TEST_F(TrackerTest, FirstRecordBringsAChunkThatRecordsItself) {
    Adapter* adapter = NewTrackedAdapter();

    EXPECT_EQ(adapter->ResourceCount, 1u);
    EXPECT_EQ(adapter->ResourcesInUse.Count, 2u);
    EXPECT_EQ(adapter->ResourcesFree.Count, 13u);

    // Newest first: the Adapter's record, then the chunk's own record at the tail, which is
    // the chunk's first record and so lies at the chunk's own address.
    ResourceRecord* head = adapter->ResourcesInUse.Head;
    ResourceRecord* chunk = adapter->ResourcesInUse.Tail;
    EXPECT_EQ(head->Data.Memory.Address, adapter);
    EXPECT_EQ(head, chunk + 1);
    EXPECT_EQ(head->Next, chunk);
    EXPECT_EQ(chunk->Prev, head);
    EXPECT_EQ(chunk->Next, nullptr);
    EXPECT_EQ(chunk->Kind, ResourceMemory);
    EXPECT_EQ(chunk->Data.Memory.Address, chunk);
    EXPECT_EQ(chunk->Data.Memory.Length, ChunkBytes);
    EXPECT_EQ(TagOf(chunk), "00QZ");
    EXPECT_EQ(adapter->ResourcesFree.Head, chunk + 2);
    EXPECT_EQ(adapter->ResourcesFree.Tail, chunk + 14);

    ReleaseAllResources(adapter);
    ExpectNothingLeft();
}

TEST_F(TrackerTest, FifteenthRecordTakesASecondChunkCountedOnce) {
    Adapter* adapter = NewTrackedAdapter();
    for (int i = 0; i < 13; ++i) ASSERT_NE(TrackResource(adapter), nullptr);
    EXPECT_EQ(adapter->ResourcesFree.Count, 0u);
    EXPECT_EQ(adapter->ResourceCount, 14u);

    ResourceRecord* fifteenth = TrackResource(adapter);

    ASSERT_NE(fifteenth, nullptr);
    EXPECT_EQ(adapter->ResourceCount, 15u);
    EXPECT_EQ(adapter->ResourcesInUse.Count, 17u);
    EXPECT_EQ(adapter->ResourcesFree.Count, 13u);
    EXPECT_EQ(adapter->ResourcesInUse.Head, fifteenth);
    EXPECT_EQ(fifteenth->Kind, ResourceNone);
    // The second chunk's record went on before the record handed out of it.
    ResourceRecord* chunk = fifteenth->Next;
    EXPECT_EQ(chunk->Kind, ResourceMemory);
    EXPECT_EQ(chunk->Data.Memory.Address, chunk);
    EXPECT_EQ(fifteenth, chunk + 1);
    EXPECT_EQ(TagOf(chunk), "10QZ");

    ReleaseAllResources(adapter);
    ExpectNothingLeft();
}

TEST_F(TrackerTest, ChunkThatCannotBeAllocatedChangesNothingButTheTag) {
    PVOID memory = nullptr;
    ASSERT_EQ(NdisAllocateMemoryWithTag(&memory, sizeof(Adapter), AdapterPoolTag),
              NDIS_STATUS_SUCCESS);
    memset(memory, 0, sizeof(Adapter));
    auto* adapter = static_cast<Adapter*>(memory);
    Check().Allocations().FailTag(MakePoolTag('0', '0', 'Q', 'Z'), 1);

    EXPECT_EQ(TrackResource(adapter), nullptr);
    EXPECT_EQ(adapter->ResourceCount, 0u);
    EXPECT_EQ(adapter->ResourcesInUse.Head, nullptr);
    EXPECT_EQ(adapter->ResourcesFree.Head, nullptr);
    EXPECT_EQ(ChunkPoolTag, MakePoolTag('1', '0', 'Q', 'Z'));

    // A caller that gets no record fails the allocation at hand, without trying it.
    PVOID block = &block;
    Check().Allocations().FailTag(MakePoolTag('1', '0', 'Q', 'Z'), 1);
    EXPECT_EQ(AllocateTrackedMemory(adapter, &block, 64), ResultFailure);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(MemoryPoolTag, FirstMemoryPoolTag);

    ResourceRecord* record = TrackResource(adapter);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(TagOf(adapter->ResourcesInUse.Tail), "20QZ");
    record->Kind = ResourceMemory;
    record->Data.Memory.Length = sizeof(Adapter);
    record->Data.Memory.Address = adapter;
    ReleaseAllResources(adapter);
    ExpectNothingLeft();
}

TEST_F(TrackerTest, WalkReleasesNewestFirstTheAdapterLastThenTheChunk) {
    Adapter* adapter = NewTrackedAdapter();
    PVOID first = TrackedBlock(adapter, 10);
    PVOID second = TrackedBlock(adapter, 20);
    PVOID third = TrackedBlock(adapter, 30);
    EXPECT_EQ(TagOf(first), "abQZ");
    EXPECT_EQ(TagOf(second), "bbQZ");
    EXPECT_EQ(TagOf(third), "cbQZ");
    const size_t mark = LogMark();

    ReleaseAllResources(adapter);

    EXPECT_EQ(FreedTagsSince(mark),
              (std::vector<std::string>{"cbQZ", "bbQZ", "abQZ", "aaQZ", "00QZ"}));
    ExpectNothingLeft();
}

TEST_F(TrackerTest, FailedTrackedAllocationKeepsAnEmptyRecordThatTheWalkPassesOver) {
    Adapter* adapter = NewTrackedAdapter();
    PVOID first = TrackedBlock(adapter, 16);
    Check().Allocations().FailTag(MakePoolTag('b', 'b', 'Q', 'Z'), 1);

    PVOID failed = &failed;
    EXPECT_EQ(AllocateTrackedMemory(adapter, &failed, 16), ResultFailure);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(adapter->ResourceCount, 3u);
    EXPECT_EQ(adapter->ResourcesInUse.Head->Kind, ResourceNone);

    // The failed attempt used its tag up.
    PVOID third = TrackedBlock(adapter, 16);
    EXPECT_EQ(TagOf(first), "abQZ");
    EXPECT_EQ(TagOf(third), "cbQZ");
    const size_t mark = LogMark();

    ReleaseAllResources(adapter);

    EXPECT_EQ(FreedTagsSince(mark),
              (std::vector<std::string>{"cbQZ", "abQZ", "aaQZ", "00QZ"}));
    ExpectNothingLeft();
}

// Freeing a pool leaks what is still drawn from it: the walk frees each receive packet and
// buffer first (a POOL_LEAK report fails the test otherwise).
TEST_F(TrackerTest, WalkFreesEachReceivePacketAndBufferBeforeTheirPools) {
    Adapter* adapter = NewTrackedAdapter();
    adapter->TxDescCount = 1;
    adapter->RxDescCount = 3;
    ASSERT_EQ(CarveDescriptors(adapter), ResultSuccess);
    ASSERT_EQ(AllocatePacketPools(adapter), ResultSuccess);
    emu::ndis::Pools& pools = M().Ndis().PoolTable();
    ASSERT_EQ(pools.PacketsInUse(adapter->RxPacketPool), 3u);
    ASSERT_EQ(pools.BuffersInUse(adapter->RxBufferPool), 3u);

    ReleaseAllResources(adapter);
    EXPECT_FALSE(Check().Saw(emu::Rule::PoolLeak));
    ExpectNothingLeft();
}

TEST_F(TrackerTest, TrackedMemoryIsZeroed) {
    Adapter* adapter = NewTrackedAdapter();
    auto* block = static_cast<const UCHAR*>(TrackedBlock(adapter, 255));
    for (int i = 0; i < 255; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
    ReleaseAllResources(adapter);
    ExpectNothingLeft();
}

// More records than one chunk holds: the counted steps end before the Adapter's record, so
// what is left (the Adapter and both chunks) must still be given back.
TEST_F(TrackerTest, WalkOverTwoChunksLeavesNothing) {
    Adapter* adapter = NewTrackedAdapter();
    for (int i = 0; i < 19; ++i) TrackedBlock(adapter, 8);
    const size_t mark = LogMark();

    ReleaseAllResources(adapter);

    std::vector<std::string> freed = FreedTagsSince(mark);
    ASSERT_EQ(freed.size(), 22u);
    EXPECT_EQ(freed[0], "sbQZ");
    EXPECT_EQ(freed[freed.size() - 2], "aaQZ");
    EXPECT_EQ(freed.back(), "00QZ");
    ExpectNothingLeft();
}

}  // namespace
