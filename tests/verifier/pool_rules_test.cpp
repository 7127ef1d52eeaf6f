// POOL_TAG, POOL_FILL, POOL_GUARD, POOL_BAD_FREE and POOL_LEAK, each broken on purpose by a
// test playing a careless driver.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "emulator/kernel/poison.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "platform/kernel.h"
#include "tests/support/machine_fixture.h"

// Outside the anonymous namespace so that reports can name it.
__attribute__((noinline)) void* PoolRulesAllocateForLeak(size_t size) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, size, 0x6B61654C);  // "Leak"
    asm volatile("" ::: "memory");  // keeps the call from becoming a jump, so it is our site
    return block;
}

namespace {

using emu::Pool;
using emu::Rule;
using PoolRules = qvtest::MachineFixture;

constexpr ULONG kTag = 0x5A516261;  // "abQZ", first character in the lowest byte

// Windows takes any tag value; a zero-byte allocation is what the verifier flags.
TEST_F(PoolRules, AnyTagIsTakenButSizeMustBeAboveZero) {
    Expect(Rule::PoolTag);
    struct Case {
        ULONG tag;
        size_t size;
        bool reported;
    };
    const Case cases[] = {
        {kTag, 16, false},
        {0x5A005161, 16, false},  // a zero byte inside
        {0, 16, false},
        {0x5A51621F, 16, false},  // a control character
        {kTag, 0, true},
    };
    size_t reports = 0;
    for (const Case& c : cases) {
        void* block = ExAllocatePoolWithTag(NonPagedPool, c.size, c.tag);
        ASSERT_NE(block, nullptr);
        if (c.reported) ++reports;
        EXPECT_EQ(Check().Of(Rule::PoolTag).size(), reports) << "tag " << std::hex << c.tag << " size " << c.size;
        ExFreePool(block);
    }
}

TEST_F(PoolRules, HandedOutMemoryIsPatternFilledNeverZeroedAndLogged) {
    auto* block = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 40, kTag));
    ASSERT_NE(block, nullptr);
    // A driver that forgets to clear what it allocated sees the pattern, not zeroes.
    for (size_t i = 0; i < 40; ++i) ASSERT_EQ(block[i], Pool::kFillByte) << "byte " << i;
    // Under AddressSanitizer the guards and freed memory may not be read at all.
    if (!emu::kAddressSanitizer) {
        EXPECT_EQ(block[-1], Pool::kGuardByte);
        EXPECT_EQ(block[40], Pool::kGuardByte);
    }
    const uint64_t serial = M().Memory().Find(block)->serial;
    ExFreePool(block);
    if (!emu::kAddressSanitizer) {
        EXPECT_EQ(block[0], Pool::kFreedByte) << "freed memory stays poisoned";
    }

    const auto& log = M().Memory().Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].kind, Pool::Event::Kind::Alloc);
    EXPECT_EQ(log[1].kind, Pool::Event::Kind::Free);
    for (const auto& event : log) {
        EXPECT_EQ(event.serial, serial);
        EXPECT_EQ(event.tag, kTag);
        EXPECT_EQ(event.size, 40u);
    }
    EXPECT_EQ(log[0].call, "ExAllocatePoolWithTag");
    EXPECT_EQ(log[1].call, "ExFreePool");
}

// Once a freed block leaves the quarantine its memory serves a later allocation of its size
// (on the next machine as well): that one must look as fresh memory would.
TEST_F(PoolRules, MemoryReusedPastTheQuarantineIsHandedOutAsNew) {
    constexpr size_t kSize = 4096;
    auto* first = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, kSize, kTag));
    ASSERT_NE(first, nullptr);
    const uint64_t serial = M().Memory().Find(first)->serial;
    std::memset(first, 0, kSize);
    ExFreePool(first);

    uint8_t* again = nullptr;
    const size_t limit = 2 * Pool::kQuarantineBytes / kSize + 64;
    for (size_t i = 0; i < limit && again == nullptr; ++i) {
        auto* block = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, kSize, kTag));
        if (block == first) again = block;
        else ExFreePool(block);
    }
    ASSERT_EQ(again, first) << "the memory was never handed out again";
    EXPECT_GT(M().Memory().Find(again)->serial, serial);
    for (size_t i = 0; i < kSize; ++i) ASSERT_EQ(again[i], Pool::kFillByte) << "byte " << i;
    if (!emu::kAddressSanitizer) {
        EXPECT_EQ(again[-1], Pool::kGuardByte);
        EXPECT_EQ(again[kSize], Pool::kGuardByte);
    }
    std::memset(again, 0x11, kSize);
    ExFreePool(again);
    EXPECT_FALSE(Check().Saw(Rule::PoolGuard));
    EXPECT_FALSE(Check().Saw(Rule::PoolBadFree));
}

TEST_F(PoolRules, GuardDamageIsReportedAtFreeAndAtLeakTime) {
    if (emu::kAddressSanitizer)
        GTEST_SKIP() << "AddressSanitizer stops these writes at the access (sanitized_access_test)";
    Expect(Rule::PoolGuard);
    Expect(Rule::PoolLeak);
    const uint64_t mark = M().Memory().Serial();

    auto* over = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
    over[10] = 0;  // one past the end
    ExFreePool(over);
    EXPECT_EQ(Check().Of(Rule::PoolGuard).size(), 1u);

    auto* under = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
    under[-1] = 0;  // one before the start
    M().Memory().CheckLeaks(mark, "after MiniportHalt");
    EXPECT_EQ(Check().Of(Rule::PoolGuard).size(), 2u);
    ExFreePool(under);
    EXPECT_EQ(Check().Of(Rule::PoolGuard).size(), 3u);

    auto* stale = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
    ExFreePool(stale);
    stale[3] = 1;  // written after the free
    M().Memory().CheckLeaks(mark, "after MiniportHalt");
    M().Memory().CheckLeaks(mark, "at unload");
    const auto reports = Check().Of(Rule::PoolGuard);
    ASSERT_EQ(reports.size(), 4u) << "a write after free is reported once";
    EXPECT_NE(reports.back().detail.find("after it was freed"), std::string::npos);
}

TEST_F(PoolRules, BadFreesAreReportedAndRefused) {
    Expect(Rule::PoolBadFree);
    struct Case {
        const char* name;
        void (*free)(emu::Machine&);
        const char* detail;
    };
    const Case cases[] = {
        {"double free",
         [](emu::Machine&) {
             void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
             ExFreePool(block);
             ExFreePool(block);
         },
         "already freed"},
        {"interior pointer",
         [](emu::Machine&) {
             auto* block = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
             ExFreePool(block + 4);
             ExFreePool(block);
         },
         "not the start"},
        {"not pool memory",
         [](emu::Machine&) {
             int local = 0;
             ExFreePool(&local);
         },
         "not the start"},
        {"wrong length",
         [](emu::Machine& m) {
             void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
             m.Memory().Free(block, "NdisFreeMemory", 0, 16);
         },
         "length 16"},
    };
    size_t reports = 0;
    for (const Case& c : cases) {
        c.free(M());
        auto seen = Check().Of(Rule::PoolBadFree);
        ASSERT_EQ(seen.size(), ++reports) << c.name;
        EXPECT_NE(seen.back().detail.find(c.detail), std::string::npos) << c.name << ": " << seen.back().detail;
    }
    EXPECT_EQ(M().Memory().LiveCount(), 0u);
}

TEST_F(PoolRules, BlockStillHoldingSomethingLiveIsNotFreed) {
    Expect(Rule::PoolBadFree);
    struct Holder {
        KSPIN_LOCK lock;
        int armed;
    };
    auto* holder = static_cast<Holder*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Holder), kTag));
    KeInitializeSpinLock(&holder->lock);
    KIRQL old;
    KeAcquireSpinLock(&holder->lock, &old);
    ExFreePool(holder);
    ASSERT_EQ(Check().Of(Rule::PoolBadFree).size(), 1u);
    EXPECT_NE(Check().Of(Rule::PoolBadFree)[0].detail.find("held spin lock"), std::string::npos);
    ASSERT_NE(M().Memory().Find(holder), nullptr) << "the free was refused";
    KeReleaseSpinLock(&holder->lock, old);

    // Other parts of the platform register their own checks (a set timer, a queued item).
    M().Memory().AddLiveCheck([holder](const void* begin, size_t size) -> std::string {
        auto* at = reinterpret_cast<const uint8_t*>(&holder->armed);
        auto* start = static_cast<const uint8_t*>(begin);
        return at >= start && at < start + size && holder->armed ? "a set timer" : "";
    });
    holder->armed = 1;
    ExFreePool(holder);
    EXPECT_EQ(Check().Of(Rule::PoolBadFree).size(), 2u);
    holder->armed = 0;
    ExFreePool(holder);
    EXPECT_EQ(Check().Of(Rule::PoolBadFree).size(), 2u);
    EXPECT_EQ(M().Memory().LiveCount(), 0u);
}

TEST_F(PoolRules, LeakCheckListsWhatIsStillAllocatedSinceTheMark) {
    Expect(Rule::PoolLeak);
    void* before = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    const uint64_t mark = M().Memory().Serial();
    void* freed = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
    void* leaked = PoolRulesAllocateForLeak(24);
    ExFreePool(freed);

    EXPECT_EQ(M().Memory().CheckLeaks(mark, "after MiniportHalt"), 1u);
    const auto reports = Check().Of(Rule::PoolLeak);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].call, "after MiniportHalt");
    EXPECT_NE(reports[0].detail.find("24 bytes under 'Leak'"), std::string::npos) << reports[0].detail;
    EXPECT_NE(reports[0].place.find("PoolRulesAllocateForLeak"), std::string::npos) << reports[0].place;

    ExFreePool(leaked);
    ExFreePool(before);
    EXPECT_EQ(M().Memory().CheckLeaks(0, "at unload"), 0u);
}

}  // namespace
