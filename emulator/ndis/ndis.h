// The hosted NDIS: wrapper and registration, the miniport block of each adapter, PnP
// handling on NDIS's side, and the protocol edge above the miniport.
//
// Ndis is the hub the platform routines of platform/ndis.h reach through the current
// machine. Its public face is also the test face: fail a registration, fill an adapter's
// configuration, override the lifecycle handlers, halt or shut an adapter down, read the
// release-call log.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "emulator/ndis/config.h"
#include "emulator/ndis/miniport.h"
#include "platform/ndis.h"

namespace emu {
class Kernel;
namespace ndis {

class Pnp;
class Pools;
class Timers;
class WorkItems;

// What NdisInitializeWrapper hands out: one per driver, holding its registered table.
struct Wrapper {
    DRIVER_OBJECT* driver = nullptr;
    PVOID registry_path = nullptr;
    bool registered = false;
    bool terminated = false;
    NDIS50_MINIPORT_CHARACTERISTICS handlers{};
};

// One call of NdisMFreeSharedMemory, NdisMDeregisterIoPortRange, NdisMDeregisterInterrupt
// or NdisMFreeMapRegisters, with its arguments as integers in declaration order.
struct ReleaseCall {
    std::string call;
    std::vector<uintptr_t> args;
};

class Ndis {
public:
    using InitializeOverride =
        std::function<NDIS_STATUS(NDIS_STATUS* open_error, UINT* selected_medium,
                                  NDIS_MEDIUM* media, UINT media_count, NDIS_HANDLE adapter,
                                  NDIS_HANDLE configuration_context)>;
    using HaltOverride = std::function<void(NDIS_HANDLE adapter_context)>;

    explicit Ndis(Kernel& kernel);
    ~Ndis();
    Ndis(const Ndis&) = delete;
    Ndis& operator=(const Ndis&) = delete;

    // The NDIS the platform routines act on; aborts with a message when there is none.
    static Ndis& Current();

    Kernel& Host() { return kernel_; }
    Pnp& PnpManager() { return *pnp_; }

    // ---- Test face: registration ----------------------------------------------------------
    // The next NdisMRegisterMiniport returns `status` without looking at the table.
    void FailNextRegistration(NDIS_STATUS status) { fail_registration_ = status; }
    // The next NdisInitializeWrapper hands out a null handle.
    void FailNextWrapper() { fail_wrapper_ = true; }
    const Wrapper* WrapperOf(const DRIVER_OBJECT* driver) const;

    // ---- Test face: adapters --------------------------------------------------------------
    // The medium array NDIS offers to MiniportInitialize. By default 802.3 among others and
    // not first, so that a miniport must look for it.
    void SetMediumArray(std::vector<NDIS_MEDIUM> media) { media_ = std::move(media); }
    const std::vector<NDIS_MEDIUM>& MediumArray() const { return media_; }
    // NDIS calls these instead of the registered handlers while they are set.
    void OverrideInitialize(InitializeOverride handler) { initialize_override_ = std::move(handler); }
    void OverrideHalt(HaltOverride handler) { halt_override_ = std::move(handler); }
    const InitializeOverride& InitializeOverrideHandler() const { return initialize_override_; }
    const HaltOverride& HaltOverrideHandler() const { return halt_override_; }
    // Off: no periodic MiniportCheckForHang (the send watchdog still runs).
    void EnableHangCheck(bool on) { hang_check_ = on; }
    bool HangCheckEnabled() const { return hang_check_; }

    // The machine shuts down: every registered shutdown handler is called once, at
    // PASSIVE_LEVEL for an orderly shutdown or at HIGH_LEVEL with interrupts off after a crash
    // (the shutdown handler's page, learn.microsoft.com/previous-versions/windows/hardware/
    // network/ff564191: "MiniportShutdown can be running at any IRQL"); a second shutdown
    // calls none. Returns the handlers called.
    enum class ShutdownKind { Orderly, Crash };
    int ShutdownMachine(ShutdownKind kind = ShutdownKind::Orderly);
    bool ShutDown() const { return shut_down_; }

    // The configuration every adapter reads, or with a pdo the values of the adapter over
    // that device only, which come first.
    ConfigStore& Configuration(const DEVICE_OBJECT* pdo = nullptr);
    // The stores an adapter over `pdo` reads, in order.
    std::vector<const ConfigStore*> ConfigurationChain(const DEVICE_OBJECT* pdo) const;
    // NdisOpenConfiguration fails while this is on.
    void FailOpenConfiguration(bool on) { fail_open_configuration_ = on; }
    bool OpenConfigurationFails() const { return fail_open_configuration_; }

    std::vector<Miniport*> Adapters() const;
    // The one adapter of the machine; a Platform report (and abort) when there is not one.
    Miniport& Adapter();
    Miniport* AdapterOver(const DEVICE_OBJECT* pdo) const;

    const std::vector<ReleaseCall>& ReleaseCalls() const { return release_calls_; }

    // ---- Used by the platform routines and NDIS's own entries -----------------------------
    Wrapper* NewWrapper(DRIVER_OBJECT* driver, PVOID registry_path);
    Wrapper* FindWrapper(NDIS_HANDLE handle);
    Wrapper* RegisteredWrapperOf(const DRIVER_OBJECT* driver);
    bool TakeRegistrationFault(NDIS_STATUS* status);
    bool TakeWrapperFault();

    Miniport* AddAdapter(Wrapper& wrapper, DEVICE_OBJECT* pdo, DEVICE_OBJECT* fdo,
                         DEVICE_OBJECT* next);
    Miniport* AdapterOfDevice(const DEVICE_OBJECT* fdo) const;
    void ForgetDevice(const DEVICE_OBJECT* fdo);
    // The block behind an adapter handle, checked: a Platform report for an unknown handle,
    // NO_CALLS_AFTER_HALT for one whose adapter was halted or failed to initialize. Null
    // when the call must not go on.
    Miniport* Use(NDIS_HANDLE handle, const char* call, uintptr_t site);
    Miniport* Known(NDIS_HANDLE handle) const;

    Timers& TimerTable() { return *timers_; }
    WorkItems& WorkItemTable() { return *work_items_; }
    Pools& PoolTable() { return *pools_; }
    void RecordRelease(ReleaseCall call) { release_calls_.push_back(std::move(call)); }

private:
    Kernel& kernel_;
    std::unique_ptr<Pnp> pnp_;
    std::shared_ptr<Timers> timers_;  // shared with the pool's live check
    std::shared_ptr<WorkItems> work_items_;  // likewise
    std::unique_ptr<Pools> pools_;
    std::vector<std::unique_ptr<Wrapper>> wrappers_;
    std::vector<std::unique_ptr<Miniport>> adapters_;
    std::map<const void*, Miniport*> by_handle_;
    std::map<const DEVICE_OBJECT*, Miniport*> by_device_;
    std::map<const DEVICE_OBJECT*, ConfigStore> configurations_;
    ConfigStore default_configuration_;
    std::vector<NDIS_MEDIUM> media_{NdisMedium802_5, NdisMedium802_3, NdisMediumWan};
    InitializeOverride initialize_override_;
    HaltOverride halt_override_;
    std::vector<ReleaseCall> release_calls_;
    NDIS_STATUS fail_registration_ = NDIS_STATUS_SUCCESS;
    bool fail_wrapper_ = false;
    bool fail_open_configuration_ = false;
    bool hang_check_ = true;
    bool shut_down_ = false;
};

// NDIS's own AddDevice and IRP_MJ_PNP routines, as NdisMRegisterMiniport installs them.
NTSTATUS NdisAddDeviceEntry(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo);
NTSTATUS NdisPnpDispatchEntry(DEVICE_OBJECT* device, IRP* irp);

}  // namespace ndis
}  // namespace emu
