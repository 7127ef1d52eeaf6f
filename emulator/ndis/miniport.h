// The miniport block: NDIS's record of one adapter, from AddDevice to removal. The adapter
// handle NDIS gives the miniport is the block's address. It runs the lifecycle (initialize
// on start, the periodic hang check, halt on stop or removal) and checks what must hold
// when an adapter ends: no leaked memory, no timer left, no request at the bus.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/ndis/config.h"
#include "platform/io.h"
#include "platform/ndis.h"

namespace emu::ndis {

class Ndis;
class Protocol;
class Requests;
struct Wrapper;

class Miniport {
public:
    enum class State {
        Added,             // AddDevice made it; not yet started
        Initializing,      // inside MiniportInitialize
        Running,           // initialized
        Halting,           // inside MiniportHalt
        Halted,            // halted: the handle is dead until a new start
        InitializeFailed,  // MiniportInitialize failed: the handle is dead as well
    };

    // One reset NDIS asked of the miniport, and how it ended.
    struct Reset {
        bool asked_by_test;    // otherwise MiniportCheckForHang returned TRUE
        uint64_t started_us;
        NDIS_STATUS returned;  // what MiniportReset returned
        bool completed;        // returned a final status, or NdisMResetComplete came
        NDIS_STATUS status;    // the final status
        BOOLEAN addressing_reset;
        uint64_t completed_us;
    };

    Miniport(Ndis& ndis, Wrapper& wrapper, DEVICE_OBJECT* pdo, DEVICE_OBJECT* fdo,
             DEVICE_OBJECT* next);
    ~Miniport();
    Miniport(const Miniport&) = delete;
    Miniport& operator=(const Miniport&) = delete;

    // ---- Test face ------------------------------------------------------------------------
    NDIS_HANDLE Handle() { return this; }
    NDIS_HANDLE Context() const { return context_; }
    State CurrentState() const { return state_; }
    bool IsRunning() const { return state_ == State::Running; }
    DEVICE_OBJECT* PhysicalDevice() const { return pdo_; }
    DEVICE_OBJECT* FunctionalDevice() const { return fdo_; }
    DEVICE_OBJECT* NextDevice() const { return next_; }

    bool AttributesSet() const { return attributes_set_; }
    ULONG AttributeFlags() const { return attribute_flags_; }
    // What the flags mean to NDIS. Without DESERIALIZE, NDIS serializes the miniport and
    // queues its sends; IGNORE_PACKET_TIMEOUT then stops it resetting for sends it holds
    // queued (the send path reads these). Without IGNORE_REQUEST_TIMEOUT a request pended
    // across two hang checks leads to MiniportReset.
    bool Deserialized() const { return (attribute_flags_ & NDIS_ATTRIBUTE_DESERIALIZE) != 0; }
    bool IgnoresPacketTimeout() const {
        return (attribute_flags_ & NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT) != 0;
    }
    bool IgnoresRequestTimeout() const {
        return (attribute_flags_ & NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT) != 0;
    }
    UINT HangCheckSeconds() const { return hang_seconds_; }
    NDIS_INTERFACE_TYPE InterfaceType() const { return interface_type_; }
    NDIS_STATUS InitializeStatus() const { return initialize_status_; }
    UINT SelectedMediumIndex() const { return selected_medium_; }
    uint64_t HangChecks() const { return hang_checks_; }
    uint64_t Resets() const { return resets_.size(); }
    const std::vector<Reset>& ResetLog() const { return resets_; }
    bool ResetInProgress() const { return !resets_.empty() && !resets_.back().completed; }
    // Calls MiniportReset at DISPATCH_LEVEL now, as NDIS does when a protocol asks for a reset;
    // false (and no call) when the adapter is not running or a reset is still in progress.
    bool RequestReset();
    // Keywords the miniport asked for, in order (the network address as "NetworkAddress").
    const std::vector<std::string>& ConfigurationReads() const { return configuration_reads_; }

    // Whether the miniport answered NDIS's own OID_PNP_CAPABILITIES query after its last
    // initialization: only then does NDIS manage its power instead of halting it for a sleep.
    bool PowerManaged() const { return power_managed_; }
    void SetPowerManaged(bool on) { power_managed_ = on; }

    // The protocol above this adapter: sends, completions, receive and status indications.
    Protocol& Edge() { return *protocol_; }
    // NDIS's queries and sets to this adapter.
    Requests& Request() { return *requests_; }

    // Halts the adapter if it is initialized, as a stop or removal does.
    void Halt();
    // Calls the registered shutdown handler at `irql` (PASSIVE_LEVEL for an orderly shutdown,
    // higher on the crash path); false when none is registered.
    bool Shutdown(KIRQL irql = PASSIVE_LEVEL);
    int ShutdownCalls() const { return shutdown_calls_; }
    bool ShutdownHandlerRegistered() const { return shutdown_handler_ != nullptr; }

    // ---- NDIS side ------------------------------------------------------------------------
    const NDIS50_MINIPORT_CHARACTERISTICS& Handlers() const;
    // True while the miniport may call NDIS with the handle.
    bool AcceptsCalls() const {
        return state_ == State::Initializing || state_ == State::Running ||
               state_ == State::Halting;
    }
    bool Ended() const { return state_ == State::Halted || state_ == State::InitializeFailed; }

    // Runs MiniportInitialize at PASSIVE_LEVEL and starts the hang check on success.
    NDIS_STATUS Initialize();

    void SetAttributes(NDIS_HANDLE context, UINT hang_seconds, ULONG flags,
                       NDIS_INTERFACE_TYPE type);
    // NdisMResetComplete: RESET_COMPLETE when no reset is waiting for it.
    void CompleteReset(NDIS_STATUS status, BOOLEAN addressing_reset, uintptr_t site);
    void RegisterShutdown(ADAPTER_SHUTDOWN_HANDLER handler, PVOID context);
    void DeregisterShutdown();

    // The WrapperConfigurationContext handed to MiniportInitialize.
    NDIS_HANDLE ConfigurationContext() { return &configuration_token_; }
    ConfigHandle* OpenConfiguration();
    ConfigHandle* FindConfiguration(NDIS_HANDLE handle);
    void CloseConfiguration(ConfigHandle* handle);
    void NoteConfigurationRead(std::string keyword) { configuration_reads_.push_back(std::move(keyword)); }

    Ndis& Owner() { return ndis_; }

private:
    void StartHangCheck();
    void StopHangCheck();
    void PeriodicCheck();
    void CallReset(bool asked_by_test);
    void CallHalt();
    // INIT_RESULT: what a successful MiniportInitialize left is not something NDIS can run;
    // empty when it is.
    std::string InitializeFault(const std::vector<NDIS_MEDIUM>& media, UINT selected) const;
    // POOL_LEAK, TIMER_AT_HALT (timers and work items) and (after a halt) IRP_AT_HALT, once
    // the adapter has ended.
    void CheckEnded(const char* when, bool requests);

    Ndis& ndis_;
    Wrapper& wrapper_;
    DEVICE_OBJECT* pdo_;
    DEVICE_OBJECT* fdo_;
    DEVICE_OBJECT* next_;
    std::unique_ptr<Protocol> protocol_;
    std::unique_ptr<Requests> requests_;

    State state_ = State::Added;
    NDIS_HANDLE context_ = nullptr;
    bool attributes_set_ = false;
    ULONG attribute_flags_ = 0;
    UINT hang_seconds_ = 0;
    NDIS_INTERFACE_TYPE interface_type_ = NdisInterfaceInternal;
    NDIS_STATUS initialize_status_ = NDIS_STATUS_SUCCESS;
    UINT selected_medium_ = 0;
    uint64_t pool_mark_ = 0;  // the pool serial when MiniportInitialize was entered
    bool power_managed_ = false;

    ADAPTER_SHUTDOWN_HANDLER shutdown_handler_ = nullptr;
    PVOID shutdown_context_ = nullptr;

    uint64_t hang_item_ = 0;  // the scheduler item of the next periodic check; 0 = none
    uint64_t hang_checks_ = 0;
    std::vector<Reset> resets_;
    int shutdown_calls_ = 0;

    char configuration_token_ = 0;
    std::vector<std::unique_ptr<ConfigHandle>> open_configurations_;
    std::vector<std::string> configuration_reads_;
};

const char* StateName(Miniport::State state);

}  // namespace emu::ndis
