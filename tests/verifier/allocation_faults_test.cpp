// Allocation fault injection: the n-th allocation, by tag, at random from a seed, and
// systematically at each new call site until none is left.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/pool.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "tests/support/machine_fixture.h"

namespace {

using AllocationFaults = qvtest::MachineFixture;

constexpr ULONG kTagA = 0x41414141;  // "AAAA"
constexpr ULONG kTagB = 0x42424242;  // "BBBB"

// Allocates `count` blocks under `tags` in turn; "x" for a failed one, "." for a success.
std::string Pattern(size_t count, std::vector<ULONG> tags = {kTagA}) {
    std::string pattern;
    for (size_t i = 0; i < count; ++i) {
        void* block = ExAllocatePoolWithTag(NonPagedPool, 8, tags[i % tags.size()]);
        pattern += block == nullptr ? 'x' : '.';
        if (block != nullptr) ExFreePool(block);
    }
    return pattern;
}

TEST_F(AllocationFaults, FailsTheNthAllocationAndThoseOfATag) {
    emu::AllocationFaults& faults = Check().Allocations();
    Pattern(2);
    faults.FailNth(3);
    EXPECT_EQ(Pattern(5), "..x..") << "counted from when it was asked";

    faults.FailTag(kTagB, 2);
    EXPECT_EQ(Pattern(8, {kTagA, kTagB}), ".x.x....");
    faults.FailTag(kTagB);
    EXPECT_EQ(Pattern(4, {kTagA, kTagB}), ".x.x");
    faults.Clear();
    EXPECT_EQ(Pattern(4, {kTagA, kTagB}), "....");
    EXPECT_EQ(faults.Failed(), 5u);
}

// Gets a request each way in `ways` ('a' IoAllocateIrp, 'b' IoBuildDeviceIoControlRequest for
// `device`) and gives it back; "x" for a request refused, "." for one given.
std::string RequestPattern(DEVICE_OBJECT* device, const std::string& ways) {
    std::string pattern;
    for (char way : ways) {
        IRP* irp = way == 'a' ? IoAllocateIrp(1, FALSE)
                              : IoBuildDeviceIoControlRequest(1, device, nullptr, 0, nullptr, 0,
                                                              TRUE, nullptr, nullptr);
        pattern += irp == nullptr ? 'x' : '.';
        if (irp == nullptr) continue;
        if (way == 'a') {
            IoFreeIrp(irp);
        } else {
            IoCompleteRequest(irp, IO_NO_INCREMENT);  // the I/O manager frees a thread request
        }
    }
    return pattern;
}

// A request is an allocation like any other, so the same faults reach both ways of getting
// one, counted among the pool's allocations.
TEST_F(AllocationFaults, RequestsFailByTagAndByCountAmongOtherAllocations) {
    emu::AllocationFaults& faults = Check().Allocations();
    DEVICE_OBJECT* device = M().Io().CreateDevice(M().Io().CreateDriver("lower"), 0, 1);

    faults.FailTag(emu::IoManager::kRequestTag, 2);
    EXPECT_EQ(RequestPattern(device, "abab"), "xx..");

    // Each step in turn: the operands of + have no order of their own.
    faults.FailNth(2);
    std::string mixed = Pattern(1);
    mixed += RequestPattern(device, "b");
    mixed += Pattern(1);
    EXPECT_EQ(mixed, ".x.") << "pool, built request, pool";
    faults.FailNth(2);
    mixed = RequestPattern(device, "a");
    mixed += Pattern(1);
    mixed += RequestPattern(device, "a");
    EXPECT_EQ(mixed, ".x.") << "allocated request, pool, allocated request";
    EXPECT_EQ(faults.Failed(), 4u);
}

TEST_F(AllocationFaults, RandomFailuresReplayFromTheirSeed) {
    emu::AllocationFaults& faults = Check().Allocations();
    faults.FailRandom(7, 0.25);
    const std::string first = Pattern(400);
    faults.FailRandom(7, 0.25);
    EXPECT_EQ(Pattern(400), first);
    faults.FailRandom(8, 0.25);
    EXPECT_NE(Pattern(400), first);

    const auto failed = std::count(first.begin(), first.end(), 'x');
    EXPECT_GT(failed, 60);
    EXPECT_LT(failed, 140);
}

}  // namespace

// A routine with three allocation sites that undoes its work when one fails, as a driver's
// initialisation should. Outside the anonymous namespace so each site has a stable address.
__attribute__((noinline)) bool FaultsThreeSiteSetup(void* blocks[3]) {
    blocks[0] = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
    if (blocks[0] == nullptr) return false;
    blocks[1] = ExAllocatePoolWithTag(NonPagedPool, 32, kTagA);
    if (blocks[1] == nullptr) {
        ExFreePool(blocks[0]);
        return false;
    }
    blocks[2] = ExAllocatePoolWithTag(NonPagedPool, 64, kTagB);
    if (blocks[2] == nullptr) {
        ExFreePool(blocks[1]);
        ExFreePool(blocks[0]);
        return false;
    }
    return true;
}

namespace {

TEST_F(AllocationFaults, SystematicRunsFailEachNewSiteOnceUntilNoneIsLeft) {
    emu::AllocationFaults& faults = Check().Allocations();
    std::set<uintptr_t> seen;
    std::vector<bool> outcomes;
    for (int run = 0; run < 10; ++run) {
        const uint64_t mark = M().Memory().Serial();
        const uint64_t failed_before = faults.Failed();
        faults.FailFirstNewSite(&seen);
        void* blocks[3];
        const bool ok = FaultsThreeSiteSetup(blocks);
        outcomes.push_back(ok);
        if (ok)
            for (void* block : blocks) ExFreePool(block);
        EXPECT_EQ(M().Memory().CheckLeaks(mark, "after a failed setup"), 0u);
        if (faults.Failed() == failed_before) break;  // no new site: every one was tried
    }
    EXPECT_EQ(outcomes, (std::vector<bool>{false, false, false, true}));
    EXPECT_EQ(seen.size(), 3u);
}

}  // namespace
