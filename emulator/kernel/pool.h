// The pool behind NdisAllocateMemoryWithTag and ExAllocatePoolWithTag: tagged blocks filled
// with a pattern, guard bytes on both sides, and tracking for the leak check. In the sanitizer
// build AddressSanitizer watches the guard bytes and the quarantine as well (poison.h).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string_view>
#include <unordered_map>
#include <string>
#include <vector>

#include "emulator/kernel/history.h"
#include "platform/types.h"

namespace emu {

class Pool {
public:
    struct Block {
        uint64_t serial;      // allocation order
        ULONG tag;
        size_t size;
        std::string_view call;  // the allocating platform call (a name with static storage)
        uintptr_t site;       // the caller's address
        bool paged = false;   // PagedPool: may be paged out, so only touched below DISPATCH_LEVEL
    };

    static constexpr uint8_t kFillByte = 0xA5;   // handed-out memory
    static constexpr uint8_t kGuardByte = 0xFD;  // guard zones
    static constexpr uint8_t kFreedByte = 0xDE;  // poison written at free
    static constexpr size_t kGuardSize = 16;
    // Freed blocks stay poisoned and out of the C++ heap (so a second free, or a write after
    // the free, is recognised) until they hold this many bytes of memory, guards and
    // bookkeeping counted; then the oldest go.
    static constexpr size_t kQuarantineBytes = size_t{4} << 20;
    // Allocations and frees kept in the log, the most recent.
    static constexpr size_t kLogKept = size_t{1} << 12;

    // One allocation or free, in the order they happened.
    struct Event {
        enum class Kind { Alloc, Free };
        uint64_t serial;   // the block's allocation serial
        Kind kind;
        ULONG tag;
        size_t size;
        std::string_view call;
    };

    ~Pool();

    // POOL_TAG (zero size) is reported; any tag value is accepted, as Windows does; allocation fault injection is
    // asked. Null when the allocation fails.
    void* Allocate(size_t size, ULONG tag, const char* call, uintptr_t site, bool paged = false);
    // POOL_BAD_FREE for an unknown or freed block, or one whose memory still holds something
    // the platform knows to be live (a set timer, a held lock, a queued work item: see
    // AddLiveCheck; such a free is refused); POOL_GUARD when a guard byte was overwritten. `expected_size`, when
    // given, must match the allocation (NdisFreeMemory's Length).
    bool Free(void* address, const char* call, uintptr_t site, size_t expected_size = SIZE_MAX);

    // A check run at every free over the block's memory; returns what is still live inside
    // it (e.g. "timer set"), or an empty string.
    void AddLiveCheck(std::function<std::string(const void* begin, size_t size)> check);

    // Whether the byte lies in a live paged block (cheap while no paged block is live).
    bool IsPaged(const void* address) const;
    const Block* Find(const void* address) const;           // the block starting here
    const Block* Containing(const void* address) const;     // the block holding this byte
    const uint8_t* BlockStart(const void* address) const;   // start of the block holding it
    uint64_t Serial() const { return next_serial_; }        // next serial to be given
    std::vector<Block> LiveSince(uint64_t serial) const;    // live blocks from that serial on
    size_t LiveCount() const { return blocks_.size(); }

    // POOL_LEAK for every block allocated from `serial` on that is still live; POOL_GUARD for
    // damaged guards. `when` names the moment ("after MiniportHalt"). Returns the leak count.
    size_t CheckLeaks(uint64_t serial, const char* when);

    // Allocations and frees in order: indexes count from the first ever, and the latest
    // kLogKept are kept.
    const History<Event>& Log() const { return log_; }
    // "abQZ" for a tag, with unprintable bytes as \xNN.
    static std::string TagName(ULONG tag);

private:
    struct Entry {
        Block block;
        uint8_t* raw;  // guard, payload, guard
    };
    bool GuardsIntact(const Entry& entry) const;
    bool PoisonIntact(const Entry& entry) const;
    static size_t RawSize(const Entry& entry);
    static void PoisonFreed(const Entry& entry);  // the freed pattern, guards included
    // AddressSanitizer's view: the whole block opened for the pool, only the guards closed
    // (a live block), or all of it closed (quarantine).
    static void Expose(const Entry& entry);
    static void CoverGuards(const Entry& entry);
    static void CoverAll(const Entry& entry);
    static void Release(const Entry& entry);  // to the spare blocks, or the C++ heap
    static uint8_t* TakeSpare(size_t raw_size);
    void Quarantine(const uint8_t* payload, Entry entry);
    std::map<const uint8_t*, Entry> blocks_;  // keyed by payload address
    std::unordered_map<const uint8_t*, Entry> freed_;  // quarantined, keyed by payload address
    std::deque<const uint8_t*> freed_order_;
    size_t freed_bytes_ = 0;
    History<Event> log_{kLogKept};
    std::vector<std::function<std::string(const void*, size_t)>> live_checks_;
    uint64_t next_serial_ = 1;
    size_t paged_live_ = 0;
};

}  // namespace emu
