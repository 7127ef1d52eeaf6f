// The protocol edge above an adapter: the seed its callbacks follow, and the status
// indications it receives. Its send and receive sides have files of their own.
#include "emulator/ndis/protocol.h"

#include <algorithm>
#include <cstring>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/platform_lock.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/packets.h"
#include "emulator/ndis/protocol_names.h"
#include "emulator/verifier/verifier.h"

namespace emu::ndis {

namespace {

Protocol::Callbacks g_callbacks{Protocol::kDefaultCallbackSeed};

}  // namespace

void Protocol::SetCallbacks(Callbacks callbacks) { g_callbacks = callbacks; }
Protocol::Callbacks Protocol::CurrentCallbacks() { return g_callbacks; }

Protocol::Protocol(Miniport& adapter) : adapter_(adapter) {
    // Never 0 while on: 0 means off.
    if (g_callbacks.seed) callback_state_ = *g_callbacks.seed * 2654435761u | 1u;
}

Protocol::~Protocol() {
    if (drain_item_ != 0) adapter_.Owner().Host().Clock().Cancel(drain_item_);
    if (held_item_ != 0) adapter_.Owner().Host().Clock().Cancel(held_item_);
}

size_t Protocol::Pended() const {
    size_t count = 0;
    for (const auto& [packet, own] : packets_) count += own->state == PacketState::Pended ? 1 : 0;
    return count;
}

void Protocol::ReportOpenStatus(const char* call, const char* when, uintptr_t site) {
    if (!status_open_) return;
    status_open_ = false;
    for (auto it = statuses_.rbegin(); it != statuses_.rend(); ++it) {
        if (it->complete) continue;
        adapter_.Owner().Host().Check().Report(
            Rule::StatusIndication, call,
            "status " + StatusText(it->status) + " indicated at " +
                std::to_string(it->time_us / 1000) + " ms had no NdisMIndicateStatusComplete " +
                when,
            site);
        return;
    }
}

void Protocol::IndicateStatus(NDIS_STATUS status, const void* buffer, UINT size, uintptr_t /*site*/) {
    // One NdisMIndicateStatusComplete may close several indications; only one never closed
    // (by the halt) is a fault. See "NdisMIndicateStatusComplete function" (NDIS 5.x,
    // learn.microsoft.com ff553540).
    status_open_ = true;
    StatusIndication indication{status, {}, false, adapter_.Owner().Host().Clock().Now()};
    if (buffer != nullptr && size != 0) {
        auto bytes = static_cast<const uint8_t*>(buffer);
        indication.buffer.assign(bytes, bytes + size);
    }
    statuses_.push_back(std::move(indication));
    ++status_indications_;
    ForgetOldStatuses();
}

void Protocol::ForgetOldStatuses() {
    // Without per-frame records the run may be long: the last few thousand tell enough.
    constexpr size_t kKept = 4096;
    if (keep_records_ || statuses_.size() < 2 * kKept) return;
    statuses_.erase(statuses_.begin(), statuses_.end() - kKept);
}

void Protocol::IndicateStatusComplete() {
    status_open_ = false;
    statuses_.push_back({NDIS_STATUS_SUCCESS, {}, true, adapter_.Owner().Host().Clock().Now()});
    ForgetOldStatuses();
}

}  // namespace emu::ndis

// ---- Platform routines --------------------------------------------------------------------

using emu::Kernel;
using emu::ndis::Miniport;

namespace {

// The adapter a status call may go to: live, and past MiniportInitialize (no protocol is
// bound before it returns).
Miniport* StatusTarget(NDIS_HANDLE handle, const char* call, uintptr_t site) {
    Miniport* adapter = emu::ndis::Ndis::Current().Use(handle, call, site);
    if (adapter == nullptr) return nullptr;
    if (adapter->CurrentState() == Miniport::State::Initializing) {
        Kernel::Current().Check().Report(emu::Rule::StatusIndication, call,
                                          "called before MiniportInitialize returned", site);
        return nullptr;
    }
    return adapter;
}

}  // namespace

void NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                         PVOID StatusBuffer, UINT StatusBufferSize) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("NdisMIndicateStatus", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    emu::Processor::PlatformScope platform(kernel.Cpu());
    Miniport* adapter = StatusTarget(MiniportAdapterHandle, "NdisMIndicateStatus", site);
    if (adapter == nullptr) return;
    adapter->Edge().IndicateStatus(GeneralStatus, StatusBuffer, StatusBufferSize, site);
    adapter->Edge().CallBack();
}

void NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("NdisMIndicateStatusComplete", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    emu::Processor::PlatformScope platform(kernel.Cpu());
    Miniport* adapter = StatusTarget(MiniportAdapterHandle, "NdisMIndicateStatusComplete", site);
    if (adapter == nullptr) return;
    adapter->Edge().IndicateStatusComplete();
}

void NdisMResetComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status,
                        BOOLEAN AddressingReset) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("NdisMResetComplete", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    emu::Processor::PlatformScope platform(kernel.Cpu());
    Miniport* adapter =
        emu::ndis::Ndis::Current().Use(MiniportAdapterHandle, "NdisMResetComplete", site);
    if (adapter == nullptr) return;
    adapter->CompleteReset(Status, AddressingReset, site);
}
