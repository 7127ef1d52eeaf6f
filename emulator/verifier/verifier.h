// The verifier: the rules the hosted platform enforces on the driver, the reports it makes
// when one is broken, and the allocation fault injection.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace emu {

enum class Rule {
    PoolTag,
    PoolFill,
    PoolGuard,
    PoolBadFree,
    PoolLeak,
    IrqlCall,
    IrqlBalance,
    LockState,
    LockOrder,
    LockGuard,
    IrpOnce,
    IrpOwnedComplete,
    IrpInFlightFree,
    IrpAtHalt,
    IrpDispatch,
    SendOnce,
    RecvOwnership,
    RequestOne,
    RequestBounds,
    TimerAtHalt,
    NoCallsAfterHalt,
    Watchdog,
    UrbForm,
    UrbPipe,
    UrbActive,
    PipeReset,
    UsbdParse,
    Removal,
    // What MiniportInitialize gives NDIS: an offered 802.3 medium selected, attributes set
    // once inside it with known flags and interface type.
    InitResult,
    // Status indications only on an initialized adapter, each followed by its completion.
    StatusIndication,
    // NdisMResetComplete only for a reset MiniportReset pended, once, before the halt.
    ResetComplete,
    // Driver calls nested deeper on one processor than a kernel stack holds.
    StackDepth,
    // A timer that is set or a work item that is queued initialised again.
    LiveReinit,
    // Not a driver rule: an operation the platform does not provide, or a wait that can
    // never end. Fails loudly rather than quietly.
    Platform,
};

// "POOL_TAG", "IRQL_CALL", ... as the reports print them.
const char* RuleName(Rule rule);

struct Violation {
    Rule rule;
    std::string call;    // the platform call or callback that broke the rule
    std::string place;   // where in the driver (symbol+offset of the caller), when known
    std::string detail;  // what was wrong
    uint64_t time_us;    // virtual time of the report
};

std::string Describe(const Violation& violation);

// Which allocations fail on purpose. Asked by the pool for every allocation the driver makes.
class AllocationFaults {
public:
    // Fail the n-th allocation counted from now (1 = the next one).
    void FailNth(uint64_t n);
    // Fail allocations under this tag, after letting `skip` of them through; count < 0
    // means every one.
    void FailTag(ULONG tag, int count = -1, int skip = 0);
    // Fail each allocation with the given probability, reproducibly from the seed.
    void FailRandom(uint32_t seed, double probability);
    // Systematic mode: fail the first allocation of this run from a call site not in `seen`,
    // and add that site to `seen`. A run that fails nothing has found every site.
    void FailFirstNewSite(std::set<uintptr_t>* seen);
    void Clear();

    // Decides for one allocation; counts it. `site` is the caller's return address.
    bool ShouldFail(ULONG tag, uintptr_t site);
    uint64_t Failed() const { return failed_; }
    uint64_t Counted() const { return counted_; }
    // The tag of the allocation failed last (0 before any).
    ULONG LastFailedTag() const { return last_failed_tag_; }

private:
    uint64_t counted_ = 0;
    uint64_t failed_ = 0;
    ULONG last_failed_tag_ = 0;
    uint64_t nth_ = 0;  // absolute count at which to fail; 0 = off
    bool tag_on_ = false;
    ULONG tag_ = 0;
    int tag_count_ = 0;
    int tag_skip_ = 0;
    bool random_on_ = false;
    double probability_ = 0;
    std::mt19937 rng_;
    std::set<uintptr_t>* seen_ = nullptr;
    bool new_site_failed_ = false;
};

class Verifier {
public:
    // Records a violation. Reports of an expected rule are kept apart (see Expect).
    void Report(Rule rule, std::string_view call, std::string detail, uintptr_t site = 0);

    // A test that breaks a rule on purpose: reports of `rule` go to the expected list.
    void Expect(Rule rule);
    // Reports (unexpected and expected) of one rule.
    std::vector<Violation> Of(Rule rule) const;
    bool Saw(Rule rule) const { return !Of(rule).empty(); }

    // Unexpected reports only.
    const std::vector<Violation>& Violations() const { return unexpected_; }
    bool Clean() const { return unexpected_.empty(); }
    std::string Summary() const;  // one line per unexpected report

    // Called for every unexpected report (a test fixture turns it into a test failure).
    void OnReport(std::function<void(const Violation&)> sink) { sink_ = std::move(sink); }

    AllocationFaults& Allocations() { return allocations_; }

    // Where reports take their virtual time from (the kernel's clock).
    void SetClock(std::function<uint64_t()> clock) { clock_ = std::move(clock); }

private:
    std::function<uint64_t()> clock_;
    std::vector<Violation> unexpected_;
    std::vector<Violation> expected_;
    std::set<Rule> expecting_;
    std::function<void(const Violation&)> sink_;
    AllocationFaults allocations_;
};

// "symbol+0x1c" for a code address, or the hex address when no symbol is known.
std::string PlaceName(uintptr_t address);

}  // namespace emu

// The driver's call site inside a platform routine.
#define EMU_CALLER() (reinterpret_cast<uintptr_t>(__builtin_return_address(0)))
