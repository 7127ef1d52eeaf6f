#include "emulator/ndis/miniport.h"

#include <algorithm>
#include <climits>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/kernel.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/initial_queries.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/protocol.h"
#include "emulator/ndis/requests.h"
#include "emulator/ndis/timers.h"
#include "emulator/ndis/work_items.h"
#include "emulator/verifier/verifier.h"

namespace emu::ndis {

namespace {
constexpr UINT kDefaultHangCheckSeconds = 2;
// How long a halt waits for a pended reset to complete.
constexpr uint64_t kResetWaitUs = 30'000'000;
}

const char* StateName(Miniport::State state) {
    switch (state) {
        case Miniport::State::Added: return "added, not started";
        case Miniport::State::Initializing: return "initializing";
        case Miniport::State::Running: return "running";
        case Miniport::State::Halting: return "halting";
        case Miniport::State::Halted: return "halted";
        case Miniport::State::InitializeFailed: return "failed to initialize";
    }
    return "?";
}

Miniport::Miniport(Ndis& ndis, Wrapper& wrapper, DEVICE_OBJECT* pdo, DEVICE_OBJECT* fdo,
                   DEVICE_OBJECT* next)
    : ndis_(ndis),
      wrapper_(wrapper),
      pdo_(pdo),
      fdo_(fdo),
      next_(next),
      protocol_(std::make_unique<Protocol>(*this)),
      requests_(std::make_unique<Requests>(*this)) {}

Miniport::~Miniport() {
    // The scheduler outlives NDIS inside the machine.
    if (hang_item_ != 0) ndis_.Host().Clock().Cancel(hang_item_);
}

const NDIS50_MINIPORT_CHARACTERISTICS& Miniport::Handlers() const { return wrapper_.handlers; }

NDIS_STATUS Miniport::Initialize() {
    Kernel& kernel = ndis_.Host();
    state_ = State::Initializing;
    context_ = nullptr;
    attributes_set_ = false;
    attribute_flags_ = 0;
    hang_seconds_ = 0;
    shutdown_handler_ = nullptr;
    // Everything the pool hands out from here on belongs to this adapter's life.
    pool_mark_ = kernel.Memory().Serial();

    std::vector<NDIS_MEDIUM> media = ndis_.MediumArray();
    NDIS_STATUS open_error = NDIS_STATUS_SUCCESS;
    UINT selected = UINT_MAX;
    const Ndis::InitializeOverride& replacement = ndis_.InitializeOverrideHandler();
    NDIS_STATUS status = kernel.Cpu().CallDriver(PASSIVE_LEVEL, "MiniportInitialize", [&] {
        if (replacement) {
            return replacement(&open_error, &selected, media.data(),
                               static_cast<UINT>(media.size()), Handle(),
                               ConfigurationContext());
        }
        return Handlers().InitializeHandler(&open_error, &selected, media.data(),
                                            static_cast<UINT>(media.size()), Handle(),
                                            ConfigurationContext());
    });
    initialize_status_ = status;

    if (!open_configurations_.empty()) {
        kernel.Check().Report(Rule::PoolLeak, "MiniportInitialize",
                               std::to_string(open_configurations_.size()) +
                                   " configuration handle(s) still open when it returned");
        open_configurations_.clear();
    }

    selected_medium_ = selected;
    if (status == NDIS_STATUS_SUCCESS) {
        const std::string fault = InitializeFault(media, selected);
        if (fault.empty()) {
            state_ = State::Running;
            StartHangCheck();
            // A test's stand-in for MiniportInitialize leaves a context the driver's own query
            // handler cannot read: NDIS's queries are for adapters the driver initialized.
            if (!replacement) IssueInitialQueries(*this);
            return status;
        }
        kernel.Check().Report(Rule::InitResult, "MiniportInitialize", fault);
        // The miniport believes it runs: it is halted, so that it lets go of what it holds, and
        // the start fails.
        state_ = State::Halting;
        CallHalt();
        const bool medium_ok = selected < media.size() && media[selected] == NdisMedium802_3;
        status = medium_ok ? NDIS_STATUS_FAILURE : NDIS_STATUS_UNSUPPORTED_MEDIA;
        initialize_status_ = status;
        state_ = State::InitializeFailed;
        CheckEnded("after MiniportHalt of an initialize NDIS refused", true);
        return status;
    }
    state_ = State::InitializeFailed;
    CheckEnded("after a failed MiniportInitialize", false);
    return status;
}

std::string Miniport::InitializeFault(const std::vector<NDIS_MEDIUM>& media,
                                      UINT selected) const {
    if (selected >= media.size()) {
        return "returned success with SelectedMediumIndex " +
               (selected == UINT_MAX ? std::string("not set") : std::to_string(selected)) +
               ", but " + std::to_string(media.size()) + " media were offered";
    }
    if (media[selected] != NdisMedium802_3) {
        return "selected medium " + std::to_string(selected) + " (value " +
               std::to_string(media[selected]) + "), which is not NdisMedium802_3";
    }
    if (!attributes_set_) return "returned success without calling NdisMSetAttributesEx";
    return {};
}

void Miniport::CallHalt() {
    const Ndis::HaltOverride& replacement = ndis_.HaltOverrideHandler();
    ndis_.Host().Cpu().CallDriver(PASSIVE_LEVEL, "MiniportHalt", [&] {
        if (replacement) {
            replacement(context_);
        } else {
            Handlers().HaltHandler(context_);
        }
    });
}

void Miniport::Halt() {
    if (state_ != State::Running) return;
    Kernel& kernel = ndis_.Host();
    StopHangCheck();
    if (ResetInProgress()) {
        // NDIS lets a pended reset finish before it halts the adapter.
        kernel.Clock().WaitFor([this] { return !ResetInProgress(); },
                               kernel.Clock().Now() + kResetWaitUs, "NDIS halt");
        if (ResetInProgress()) {
            Reset& reset = resets_.back();
            kernel.Check().Report(Rule::ResetComplete, "MiniportHalt",
                                   "the reset started at " +
                                       std::to_string(reset.started_us / 1000) +
                                       " ms was never completed with NdisMResetComplete");
            reset.completed = true;
            reset.status = NDIS_STATUS_FAILURE;
            reset.completed_us = kernel.Clock().Now();
        }
    }
    requests_->BeforeHalt();
    protocol_->BeforeHalt();
    state_ = State::Halting;
    CallHalt();
    requests_->AfterHalt();
    state_ = State::Halted;
    protocol_->AfterHalt();
    CheckEnded("after MiniportHalt", true);
}

bool Miniport::Shutdown(KIRQL irql) {
    if (shutdown_handler_ == nullptr) return false;
    ADAPTER_SHUTDOWN_HANDLER handler = shutdown_handler_;
    PVOID context = shutdown_context_;
    ++shutdown_calls_;
    Processor& cpu = ndis_.Host().Cpu();
    // After a crash the handler runs wherever the system stopped, with interrupts off above
    // DISPATCH_LEVEL; every platform call it makes is held to that IRQL.
    const bool interrupts = cpu.InterruptsEnabled();
    if (irql > DISPATCH_LEVEL) cpu.SetInterruptsEnabled(false);
    cpu.CallDriver(irql, "MiniportShutdown", [&] { handler(context); });
    cpu.SetInterruptsEnabled(interrupts);
    return true;
}

void Miniport::CheckEnded(const char* when, bool requests) {
    Kernel& kernel = ndis_.Host();
    kernel.Memory().CheckLeaks(pool_mark_, when);
    if (shutdown_handler_ != nullptr) {
        // Left registered, a shutdown would call into freed memory (MiniportHalt and a failing
        // MiniportInitialize deregister it: NdisMDeregisterAdapterShutdownHandler's page,
        // learn.microsoft.com/previous-versions/windows/hardware/network/ff553486).
        kernel.Check().Report(Rule::TimerAtHalt, when,
                               "the shutdown handler " +
                                   PlaceName(reinterpret_cast<uintptr_t>(shutdown_handler_)) +
                                   " is still registered");
    }
    // Nothing may call into an ended adapter, the shutdown handler included.
    shutdown_handler_ = nullptr;
    for (const std::string& timer : ndis_.TimerTable().LiveOf(this)) {
        kernel.Check().Report(Rule::TimerAtHalt, when, timer);
    }
    for (const std::string& item : ndis_.WorkItemTable().TakeLive()) {
        kernel.Check().Report(Rule::TimerAtHalt, when, item);
    }
    if (!requests) return;
    for (IRP* irp : kernel.Io().Outstanding()) {
        const IoManager::RequestInfo* info = kernel.Io().Info(irp);
        bool in_flight = info != nullptr && info->state == IoManager::State::InFlight;
        kernel.Check().Report(Rule::IrpAtHalt, when,
                               std::string("request #") +
                                   std::to_string(info ? info->serial : 0) +
                                   (in_flight ? " is still at the bus"
                                              : " was allocated and never freed"));
    }
}

void Miniport::SetAttributes(NDIS_HANDLE context, UINT hang_seconds, ULONG flags,
                             NDIS_INTERFACE_TYPE type) {
    context_ = context;
    hang_seconds_ = hang_seconds;
    attribute_flags_ = flags;
    interface_type_ = type;
    attributes_set_ = true;
}

void Miniport::RegisterShutdown(ADAPTER_SHUTDOWN_HANDLER handler, PVOID context) {
    shutdown_handler_ = handler;
    shutdown_context_ = context;
}

void Miniport::DeregisterShutdown() {
    shutdown_handler_ = nullptr;
    shutdown_context_ = nullptr;
}

void Miniport::StartHangCheck() {
    UINT seconds = hang_seconds_ != 0 ? hang_seconds_ : kDefaultHangCheckSeconds;
    // A background item: a running adapter does not keep the machine busy by itself.
    hang_item_ = ndis_.Host().Clock().After(static_cast<uint64_t>(seconds) * 1'000'000,
                                            "NDIS periodic adapter check",
                                            [this] { PeriodicCheck(); }, true);
}

void Miniport::StopHangCheck() {
    if (hang_item_ != 0) ndis_.Host().Clock().Cancel(hang_item_);
    hang_item_ = 0;
}

void Miniport::PeriodicCheck() {
    hang_item_ = 0;
    if (state_ != State::Running) return;
    protocol_->CheckWatchdog();
    const NDIS50_MINIPORT_CHARACTERISTICS& handlers = Handlers();
    // A resetting adapter is not asked whether it hangs.
    if (ndis_.HangCheckEnabled() && handlers.CheckForHangHandler != nullptr &&
        !ResetInProgress()) {
        ++hang_checks_;
        BOOLEAN hung =
            ndis_.Host().Cpu().CallDriver(DISPATCH_LEVEL, "MiniportCheckForHang",
                                          [&] { return handlers.CheckForHangHandler(context_); });
        if (hung && state_ == State::Running) CallReset(false);
    }
    // A request pended across two hang checks counts as a hang too, with or without a
    // MiniportCheckForHang, unless the miniport asked NDIS to ignore request time-outs
    // ("NdisMSetAttributesEx", NDIS 5.x, learn.microsoft.com/previous-versions ms892749).
    if (ndis_.HangCheckEnabled() && state_ == State::Running && !ResetInProgress() &&
        requests_->TimedOutAtHangCheck() && !IgnoresRequestTimeout()) {
        CallReset(false);
    }
    // Sends time out the same way, but only those NDIS holds for a serialized miniport: a
    // deserialized one keeps its own queue, which NDIS does not watch (same page, and
    // "Deserialized NDIS Miniport Drivers").
    if (ndis_.HangCheckEnabled() && state_ == State::Running && !ResetInProgress() &&
        !Deserialized() && !IgnoresPacketTimeout() && protocol_->SendTimedOutAtHangCheck()) {
        CallReset(false);
    }
    if (state_ == State::Running && hang_item_ == 0) StartHangCheck();
}

bool Miniport::RequestReset() {
    if (state_ != State::Running || ResetInProgress()) return false;
    CallReset(true);
    return true;
}

void Miniport::CallReset(bool asked_by_test) {
    Kernel& kernel = ndis_.Host();
    resets_.push_back(Reset{asked_by_test, kernel.Clock().Now(), NDIS_STATUS_PENDING, false,
                            NDIS_STATUS_PENDING, FALSE, 0});
    const size_t index = resets_.size() - 1;
    BOOLEAN addressing_reset = FALSE;
    const NDIS_STATUS returned = kernel.Cpu().CallDriver(DISPATCH_LEVEL, "MiniportReset", [&] {
        return Handlers().ResetHandler(&addressing_reset, context_);
    });
    Reset& reset = resets_[index];
    reset.returned = returned;
    // Pended: NdisMResetComplete ends it (perhaps already inside the call).
    if (returned == NDIS_STATUS_PENDING) return;
    if (reset.completed) {
        kernel.Check().Report(Rule::ResetComplete, "MiniportReset",
                               "completed the reset with NdisMResetComplete and then returned " +
                                   std::to_string(returned) + " instead of NDIS_STATUS_PENDING");
        return;
    }
    reset.completed = true;
    reset.status = returned;
    reset.addressing_reset = addressing_reset;
    reset.completed_us = kernel.Clock().Now();
}

void Miniport::CompleteReset(NDIS_STATUS status, BOOLEAN addressing_reset, uintptr_t site) {
    Kernel& kernel = ndis_.Host();
    if (!ResetInProgress()) {
        kernel.Check().Report(Rule::ResetComplete, "NdisMResetComplete",
                               resets_.empty() ? "no reset was asked for"
                                               : "the last reset had already ended",
                               site);
        return;
    }
    Reset& reset = resets_.back();
    reset.completed = true;
    reset.status = status;
    reset.addressing_reset = addressing_reset;
    reset.completed_us = kernel.Clock().Now();
}

ConfigHandle* Miniport::OpenConfiguration() {
    auto handle = std::make_unique<ConfigHandle>();
    handle->adapter = this;
    open_configurations_.push_back(std::move(handle));
    return open_configurations_.back().get();
}

ConfigHandle* Miniport::FindConfiguration(NDIS_HANDLE handle) {
    for (const auto& open : open_configurations_) {
        if (open.get() == handle) return open.get();
    }
    return nullptr;
}

void Miniport::CloseConfiguration(ConfigHandle* handle) {
    auto it = std::find_if(open_configurations_.begin(), open_configurations_.end(),
                           [handle](const auto& open) { return open.get() == handle; });
    if (it != open_configurations_.end()) open_configurations_.erase(it);
}

}  // namespace emu::ndis
