#include "emulator/ndis/ndis.h"

#include <cstdio>
#include <cstdlib>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/pool.h"
#include "emulator/ndis/packets.h"
#include "emulator/ndis/pnp.h"
#include "emulator/ndis/protocol.h"
#include "emulator/ndis/timers.h"
#include "emulator/ndis/work_items.h"
#include "emulator/verifier/verifier.h"

namespace emu::ndis {

static Ndis* current_ndis = nullptr;

Ndis::Ndis(Kernel& kernel)
    : kernel_(kernel),
      pnp_(std::make_unique<Pnp>(kernel)),
      timers_(std::make_shared<Timers>(kernel)),
      work_items_(std::make_shared<WorkItems>(kernel)),
      pools_(std::make_unique<Pools>(kernel)) {
    current_ndis = this;
    // The pool outlives NDIS inside the machine, so the check holds the table weakly.
    std::weak_ptr<Timers> timers = timers_;
    kernel.Memory().AddLiveCheck([timers](const void* begin, size_t size) -> std::string {
        auto table = timers.lock();
        return table ? table->ReleaseRange(begin, size) : std::string();
    });
    std::weak_ptr<WorkItems> work_items = work_items_;
    kernel.Memory().AddLiveCheck([work_items](const void* begin, size_t size) -> std::string {
        auto table = work_items.lock();
        return table ? table->ReleaseRange(begin, size) : std::string();
    });
}

Ndis::~Ndis() { current_ndis = nullptr; }

Ndis& Ndis::Current() {
    if (current_ndis == nullptr) {
        std::fprintf(stderr, "qvnet emulator: an NDIS routine was called with no kernel\n");
        std::abort();
    }
    return *current_ndis;
}

const Wrapper* Ndis::WrapperOf(const DRIVER_OBJECT* driver) const {
    for (auto it = wrappers_.rbegin(); it != wrappers_.rend(); ++it) {
        if ((*it)->driver == driver) return it->get();
    }
    return nullptr;
}

ConfigStore& Ndis::Configuration(const DEVICE_OBJECT* pdo) {
    return pdo == nullptr ? default_configuration_ : configurations_[pdo];
}

std::vector<const ConfigStore*> Ndis::ConfigurationChain(const DEVICE_OBJECT* pdo) const {
    std::vector<const ConfigStore*> chain;
    auto it = configurations_.find(pdo);
    if (it != configurations_.end()) chain.push_back(&it->second);
    chain.push_back(&default_configuration_);
    return chain;
}

std::vector<Miniport*> Ndis::Adapters() const {
    std::vector<Miniport*> result;
    for (const auto& adapter : adapters_) result.push_back(adapter.get());
    return result;
}

Miniport& Ndis::Adapter() {
    if (adapters_.size() != 1) {
        kernel_.Check().Report(Rule::Platform, "Ndis::Adapter",
                                "the kernel has " + std::to_string(adapters_.size()) +
                                    " adapters, not one");
        std::fprintf(stderr, "Ndis::Adapter: no single adapter\n");
        std::abort();
    }
    return *adapters_.front();
}

int Ndis::ShutdownMachine(ShutdownKind kind) {
    if (shut_down_) return 0;
    shut_down_ = true;
    constexpr KIRQL kHighLevel = 31;
    const KIRQL irql = kind == ShutdownKind::Crash ? kHighLevel : PASSIVE_LEVEL;
    int called = 0;
    for (const auto& adapter : adapters_) {
        if (adapter->Shutdown(irql)) ++called;
    }
    return called;
}

Miniport* Ndis::AdapterOver(const DEVICE_OBJECT* pdo) const {
    for (auto it = adapters_.rbegin(); it != adapters_.rend(); ++it) {
        if ((*it)->PhysicalDevice() == pdo) return it->get();
    }
    return nullptr;
}

Wrapper* Ndis::NewWrapper(DRIVER_OBJECT* driver, PVOID registry_path) {
    auto wrapper = std::make_unique<Wrapper>();
    wrapper->driver = driver;
    wrapper->registry_path = registry_path;
    wrappers_.push_back(std::move(wrapper));
    return wrappers_.back().get();
}

Wrapper* Ndis::FindWrapper(NDIS_HANDLE handle) {
    for (const auto& wrapper : wrappers_) {
        if (wrapper.get() == handle) return wrapper.get();
    }
    return nullptr;
}

Wrapper* Ndis::RegisteredWrapperOf(const DRIVER_OBJECT* driver) {
    for (auto it = wrappers_.rbegin(); it != wrappers_.rend(); ++it) {
        if ((*it)->driver == driver && (*it)->registered && !(*it)->terminated) return it->get();
    }
    return nullptr;
}

bool Ndis::TakeRegistrationFault(NDIS_STATUS* status) {
    if (fail_registration_ == NDIS_STATUS_SUCCESS) return false;
    *status = fail_registration_;
    fail_registration_ = NDIS_STATUS_SUCCESS;
    return true;
}

bool Ndis::TakeWrapperFault() {
    bool fail = fail_wrapper_;
    fail_wrapper_ = false;
    return fail;
}

Miniport* Ndis::AddAdapter(Wrapper& wrapper, DEVICE_OBJECT* pdo, DEVICE_OBJECT* fdo,
                           DEVICE_OBJECT* next) {
    adapters_.push_back(
        std::make_unique<Miniport>(*this, wrapper, pdo, fdo, next));
    Miniport* adapter = adapters_.back().get();
    by_handle_[adapter->Handle()] = adapter;
    by_device_[fdo] = adapter;
    return adapter;
}

Miniport* Ndis::AdapterOfDevice(const DEVICE_OBJECT* fdo) const {
    auto it = by_device_.find(fdo);
    return it == by_device_.end() ? nullptr : it->second;
}

void Ndis::ForgetDevice(const DEVICE_OBJECT* fdo) { by_device_.erase(fdo); }

Miniport* Ndis::Known(NDIS_HANDLE handle) const {
    auto it = by_handle_.find(handle);
    return it == by_handle_.end() ? nullptr : it->second;
}

Miniport* Ndis::Use(NDIS_HANDLE handle, const char* call, uintptr_t site) {
    Miniport* adapter = Known(handle);
    if (adapter == nullptr) {
        kernel_.Check().Report(Rule::Platform, call, "not an adapter handle NDIS gave out",
                                site);
        return nullptr;
    }
    if (adapter->Ended()) {
        kernel_.Check().Report(Rule::NoCallsAfterHalt, call,
                                std::string("the adapter is ") +
                                    StateName(adapter->CurrentState()),
                                site);
        return nullptr;
    }
    if (!adapter->AcceptsCalls()) {
        kernel_.Check().Report(Rule::Platform, call,
                                "the adapter has not been started (MiniportInitialize not "
                                "called yet)",
                                site);
        return nullptr;
    }
    return adapter;
}

}  // namespace emu::ndis
