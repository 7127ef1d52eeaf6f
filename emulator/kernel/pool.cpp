// Tagged pool: pattern-filled blocks between guard zones, tracked until freed, and kept
// poisoned in quarantine after the free. In the sanitizer build the guard zones and the
// quarantine are poisoned for AddressSanitizer too, and opened only while the pool itself
// looks at them.
#include "emulator/kernel/pool.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/poison.h"
#include "emulator/kernel/processor.h"
#include "emulator/verifier/verifier.h"

namespace emu {

static Verifier& Check() { return Kernel::Current().Check(); }

Pool::~Pool() {
    for (auto& [payload, entry] : blocks_) Release(entry);
    for (auto& [payload, entry] : freed_) Release(entry);
}

size_t Pool::RawSize(const Entry& entry) { return entry.block.size + 2 * kGuardSize; }

void Pool::Expose(const Entry& entry) { Unpoison(entry.raw, RawSize(entry)); }

void Pool::CoverGuards(const Entry& entry) {
    Poison(entry.raw, kGuardSize);
    Poison(entry.raw + kGuardSize + entry.block.size, kGuardSize);
}

void Pool::CoverAll(const Entry& entry) { Poison(entry.raw, RawSize(entry)); }

namespace {

// Memory of released blocks, by raw size, kept for the next allocation of that size, also by
// the next machine: one that lives for a single fuzz input allocates the same blocks as the
// last, and fresh memory from the heap costs a page fault and, under AddressSanitizer, its
// allocator and quarantine each time. Blocks here stay poisoned. Only the platform, under its
// lock, reaches them.
struct SpareBlocks {
    static constexpr size_t kBytesKept = size_t{16} << 20;
    std::unordered_map<size_t, std::vector<uint8_t*>> by_size;
    size_t bytes = 0;
    void Clear() {
        for (auto& [size, blocks] : by_size)
            for (uint8_t* raw : blocks) {
                Unpoison(raw, size);
                delete[] raw;
            }
        by_size.clear();
        bytes = 0;
    }
};

// Never destroyed: a machine that outlives the statics (one kept for a whole fuzz run) still
// releases its blocks here at exit.
SpareBlocks& Spares() {
    static SpareBlocks* spares = new SpareBlocks;
    return *spares;
}

}  // namespace

void Pool::Release(const Entry& entry) {
    SpareBlocks& spares = Spares();
    const size_t size = RawSize(entry);
    // Full: the sizes kept are the last machine's, not this one's (a fuzz input that changes
    // how many buffers the driver allocates); they go back to the heap.
    if (spares.bytes + size > SpareBlocks::kBytesKept) spares.Clear();
    if (size <= SpareBlocks::kBytesKept) {
        CoverAll(entry);
        spares.by_size[size].push_back(entry.raw);
        spares.bytes += size;
        return;
    }
    Expose(entry);
    delete[] entry.raw;
}

uint8_t* Pool::TakeSpare(size_t raw_size) {
    SpareBlocks& spares = Spares();
    auto found = spares.by_size.find(raw_size);
    if (found == spares.by_size.end() || found->second.empty()) return new uint8_t[raw_size];
    uint8_t* raw = found->second.back();
    found->second.pop_back();
    spares.bytes -= raw_size;
    Unpoison(raw, raw_size);
    return raw;
}

void Pool::PoisonFreed(const Entry& entry) {
    std::memset(entry.raw, kGuardByte, kGuardSize);
    std::memset(entry.raw + kGuardSize, kFreedByte, entry.block.size);
    std::memset(entry.raw + kGuardSize + entry.block.size, kGuardByte, kGuardSize);
}

std::string Pool::TagName(ULONG tag) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        auto c = static_cast<unsigned char>(tag >> (8 * i));
        if (std::isprint(c)) {
            name += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            name += escaped;
        }
    }
    return name;
}

void* Pool::Allocate(size_t size, ULONG tag, const char* call, uintptr_t site, bool paged) {
    // Any tag value is taken, as Windows takes it: the tag only labels the block for the
    // debugger and pool tracking (ExAllocatePoolWithTag's page, learn.microsoft.com/
    // windows-hardware/drivers/ddi/wdm/nf-wdm-exallocatepoolwithtag, advises printable
    // characters; the allocation does not depend on it).
    if (size == 0) Check().Report(Rule::PoolTag, call, "zero-byte allocation under '" + TagName(tag) + "'", site);
    if (Check().Allocations().ShouldFail(tag, site)) return nullptr;

    auto* raw = TakeSpare(size + 2 * kGuardSize);
    std::memset(raw, kGuardByte, kGuardSize);
    std::memset(raw + kGuardSize, kFillByte, size);
    std::memset(raw + kGuardSize + size, kGuardByte, kGuardSize);
    uint8_t* payload = raw + kGuardSize;

    // The heap may hand back an address from quarantine once the oldest is released.
    freed_.erase(payload);
    Block block{next_serial_++, tag, size, call, site, paged};
    if (paged) ++paged_live_;
    log_.push_back({block.serial, Event::Kind::Alloc, tag, size, call});
    auto placed = blocks_.emplace(payload, Entry{std::move(block), raw});
    CoverGuards(placed.first->second);
    return payload;
}

bool Pool::Free(void* address, const char* call, uintptr_t site, size_t expected_size) {
    auto* payload = static_cast<const uint8_t*>(address);
    auto found = blocks_.find(payload);
    if (found == blocks_.end()) {
        std::string what = freed_.count(payload) != 0 ? "a block that was already freed"
                           : address == nullptr   ? "a null pointer"
                                                  : "an address that is not the start of a pool block";
        Check().Report(Rule::PoolBadFree, call, "free of " + what, site);
        return false;
    }
    Entry& entry = found->second;
    const std::string tag = TagName(entry.block.tag);
    if (expected_size != SIZE_MAX && expected_size != entry.block.size)
        Check().Report(Rule::PoolBadFree, call,
                       "length " + std::to_string(expected_size) + " given for a block of " +
                           std::to_string(entry.block.size) + " bytes under '" + tag + "'",
                       site);
    for (const auto& live_check : live_checks_) {
        std::string live = live_check(payload, entry.block.size);
        if (!live.empty()) {
            // The free is refused: the live object inside would otherwise be used after it.
            Check().Report(Rule::PoolBadFree, call,
                           "block under '" + tag + "' still holds " + live, site);
            return false;
        }
    }
    Expose(entry);
    if (!GuardsIntact(entry))
        Check().Report(Rule::PoolGuard, call,
                       "guard bytes of a " + std::to_string(entry.block.size) + "-byte block under '" +
                           tag + "' were overwritten",
                       site);

    log_.push_back({entry.block.serial, Event::Kind::Free, entry.block.tag, entry.block.size, call});
    if (entry.block.paged) --paged_live_;
    Kernel::Current().Cpu().ForgetLocksIn(payload, entry.block.size);
    // Quarantine starts clean, so that what changes later was written after the free.
    PoisonFreed(entry);
    CoverAll(entry);
    Entry moved = std::move(entry);
    blocks_.erase(found);
    Quarantine(payload, std::move(moved));
    return true;
}

// What a quarantined block costs: its memory with the guards, and its record in the map.
static size_t QuarantineCost(size_t size) { return size + 2 * Pool::kGuardSize + 96; }

void Pool::Quarantine(const uint8_t* payload, Entry entry) {
    freed_bytes_ += QuarantineCost(entry.block.size);
    freed_order_.push_back(payload);
    freed_.emplace(payload, std::move(entry));
    while (freed_bytes_ > kQuarantineBytes && !freed_order_.empty()) {
        auto oldest = freed_.find(freed_order_.front());
        freed_order_.pop_front();
        if (oldest == freed_.end()) continue;
        freed_bytes_ -= QuarantineCost(oldest->second.block.size);
        Release(oldest->second);
        freed_.erase(oldest);
    }
}

void Pool::AddLiveCheck(std::function<std::string(const void*, size_t)> check) {
    live_checks_.push_back(std::move(check));
}

bool Pool::GuardsIntact(const Entry& entry) const {
    const uint8_t* tail = entry.raw + kGuardSize + entry.block.size;
    for (size_t i = 0; i < kGuardSize; ++i)
        if (entry.raw[i] != kGuardByte || tail[i] != kGuardByte) return false;
    return true;
}

bool Pool::PoisonIntact(const Entry& entry) const {
    // Compared a chunk at a time: every leak check walks the whole quarantine, and a loop
    // over single bytes made that a twentieth of a fuzz input's time.
    static const std::array<uint8_t, 4096> poison = [] {
        std::array<uint8_t, 4096> bytes;
        bytes.fill(kFreedByte);
        return bytes;
    }();
    const uint8_t* payload = entry.raw + kGuardSize;
    for (size_t at = 0; at < entry.block.size; at += poison.size()) {
        const size_t length = std::min(poison.size(), entry.block.size - at);
        if (std::memcmp(payload + at, poison.data(), length) != 0) return false;
    }
    return GuardsIntact(entry);
}

bool Pool::IsPaged(const void* address) const {
    if (paged_live_ == 0) return false;
    const Block* block = Containing(address);
    return block != nullptr && block->paged;
}

const Pool::Block* Pool::Find(const void* address) const {
    auto found = blocks_.find(static_cast<const uint8_t*>(address));
    return found == blocks_.end() ? nullptr : &found->second.block;
}

const Pool::Block* Pool::Containing(const void* address) const {
    const uint8_t* start = BlockStart(address);
    return start == nullptr ? nullptr : &blocks_.at(start).block;
}

const uint8_t* Pool::BlockStart(const void* address) const {
    auto* byte = static_cast<const uint8_t*>(address);
    auto after = blocks_.upper_bound(byte);
    if (after == blocks_.begin()) return nullptr;
    auto candidate = std::prev(after);
    const size_t size = candidate->second.block.size;
    if (byte < candidate->first + (size == 0 ? 1 : size)) return candidate->first;
    return nullptr;
}

std::vector<Pool::Block> Pool::LiveSince(uint64_t serial) const {
    std::vector<Block> live;
    for (const auto& [payload, entry] : blocks_)
        if (entry.block.serial >= serial) live.push_back(entry.block);
    std::sort(live.begin(), live.end(),
              [](const Block& a, const Block& b) { return a.serial < b.serial; });
    return live;
}

size_t Pool::CheckLeaks(uint64_t serial, const char* when) {
    std::vector<const Entry*> leaked;
    for (const auto& [payload, entry] : blocks_) {
        if (entry.block.serial < serial) continue;
        leaked.push_back(&entry);
    }
    std::sort(leaked.begin(), leaked.end(),
              [](const Entry* a, const Entry* b) { return a->block.serial < b->block.serial; });
    for (const Entry* entry : leaked) {
        const Block& block = entry->block;
        Expose(*entry);
        const bool intact = GuardsIntact(*entry);
        CoverGuards(*entry);
        if (!intact)
            Check().Report(Rule::PoolGuard, when,
                           "guard bytes of a live block under '" + TagName(block.tag) + "' were overwritten",
                           block.site);
        Check().Report(Rule::PoolLeak, when,
                       "block #" + std::to_string(block.serial) + " of " + std::to_string(block.size) +
                           " bytes under '" + TagName(block.tag) + "' from " + std::string(block.call) +
                           " is still allocated",
                       block.site);
    }
    // A freed block whose poison changed was written after its free.
    for (auto& [payload, entry] : freed_) {
        if (entry.block.serial < serial) continue;
        Expose(entry);
        const bool intact = PoisonIntact(entry);
        // Poison again so the same write is reported once.
        if (!intact) PoisonFreed(entry);
        CoverAll(entry);
        if (intact) continue;
        Check().Report(Rule::PoolGuard, when,
                       "block #" + std::to_string(entry.block.serial) + " under '" +
                           TagName(entry.block.tag) + "' was written after it was freed",
                       entry.block.site);
    }
    return leaked.size();
}

}  // namespace emu
