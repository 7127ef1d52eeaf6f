// Violation reports: kept apart as expected or unexpected, with the place in the driver
// named from the caller's address.
#include "emulator/verifier/verifier.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>


namespace emu {

const char* RuleName(Rule rule) {
    switch (rule) {
        case Rule::PoolTag: return "POOL_TAG";
        case Rule::PoolFill: return "POOL_FILL";
        case Rule::PoolGuard: return "POOL_GUARD";
        case Rule::PoolBadFree: return "POOL_BAD_FREE";
        case Rule::PoolLeak: return "POOL_LEAK";
        case Rule::IrqlCall: return "IRQL_CALL";
        case Rule::IrqlBalance: return "IRQL_BALANCE";
        case Rule::LockState: return "LOCK_STATE";
        case Rule::LockOrder: return "LOCK_ORDER";
        case Rule::IrpOnce: return "IRP_ONCE";
        case Rule::IrpOwnedComplete: return "IRP_OWNED_COMPLETE";
        case Rule::IrpInFlightFree: return "IRP_IN_FLIGHT_FREE";
        case Rule::IrpAtHalt: return "IRP_AT_HALT";
        case Rule::IrpDispatch: return "IRP_DISPATCH";
        case Rule::SendOnce: return "SEND_ONCE";
        case Rule::RecvOwnership: return "RECV_OWNERSHIP";
        case Rule::RequestOne: return "REQUEST_ONE";
        case Rule::RequestBounds: return "REQUEST_BOUNDS";
        case Rule::TimerAtHalt: return "TIMER_AT_HALT";
        case Rule::NoCallsAfterHalt: return "NO_CALLS_AFTER_HALT";
        case Rule::Watchdog: return "WATCHDOG";
        case Rule::UrbForm: return "URB_FORM";
        case Rule::UrbPipe: return "URB_PIPE";
        case Rule::UrbActive: return "URB_ACTIVE";
        case Rule::PipeReset: return "PIPE_RESET";
        case Rule::UsbdParse: return "USBD_PARSE";
        case Rule::Removal: return "REMOVAL";
        case Rule::InitResult: return "INIT_RESULT";
        case Rule::StatusIndication: return "STATUS_INDICATION";
        case Rule::ResetComplete: return "RESET_COMPLETE";
        case Rule::LockGuard: return "LOCK_GUARD";
        case Rule::StackDepth: return "STACK_DEPTH";
        case Rule::LiveReinit: return "LIVE_REINIT";
        case Rule::Platform: return "PLATFORM";
    }
    return "UNKNOWN";
}

std::string Describe(const Violation& violation) {
    std::string text = RuleName(violation.rule);
    text += " in " + violation.call;
    if (!violation.place.empty()) text += " at " + violation.place;
    text += ": " + violation.detail;
    text += " (t=" + std::to_string(violation.time_us) + "us)";
    return text;
}

// Drops a trailing argument list so that reports read "SubmitUrbSync+0x1c".
static std::string WithoutArguments(std::string name) {
    if (name.empty() || name.back() != ')') return name;
    int depth = 0;
    for (size_t i = name.size(); i-- > 0;) {
        if (name[i] == ')') ++depth;
        if (name[i] == '(' && --depth == 0) return i == 0 ? name : name.substr(0, i);
    }
    return name;
}

std::string PlaceName(uintptr_t address) {
    if (address == 0) return {};
    char buffer[64];
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(address), &info) != 0 && info.dli_sname != nullptr) {
        std::string name = info.dli_sname;
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        if (status == 0 && demangled != nullptr) name = WithoutArguments(demangled);
        std::free(demangled);
        std::snprintf(buffer, sizeof buffer, "+0x%zx",
                      static_cast<size_t>(address - reinterpret_cast<uintptr_t>(info.dli_saddr)));
        return name + buffer;
    }
    std::snprintf(buffer, sizeof buffer, "0x%zx", static_cast<size_t>(address));
    return buffer;
}

void Verifier::Report(Rule rule, std::string_view call, std::string detail, uintptr_t site) {
    Violation violation{rule, std::string(call), PlaceName(site), std::move(detail),
                        clock_ ? clock_() : 0};
    if (expecting_.count(rule) != 0) {
        expected_.push_back(std::move(violation));
        return;
    }
    unexpected_.push_back(violation);
    if (sink_) sink_(unexpected_.back());
}

void Verifier::Expect(Rule rule) { expecting_.insert(rule); }

std::vector<Violation> Verifier::Of(Rule rule) const {
    std::vector<Violation> found;
    for (const auto* list : {&unexpected_, &expected_})
        for (const Violation& violation : *list)
            if (violation.rule == rule) found.push_back(violation);
    return found;
}

std::string Verifier::Summary() const {
    std::string text;
    for (const Violation& violation : unexpected_) text += Describe(violation) + "\n";
    return text;
}

}  // namespace emu
