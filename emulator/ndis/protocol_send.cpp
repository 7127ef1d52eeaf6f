// The protocol edge's send side: packets built and offered to the miniport, their
// completions checked, and what is still pended at a hang check and at the halt.
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

// Finished sends kept so that a late second completion is still recognised as one.
constexpr size_t kFinishedKept = 4096;
// Finished packet records and frame buffers kept for the next sends.
constexpr size_t kSpareKept = 64;

}  // namespace

uint64_t Protocol::Send(const std::vector<uint8_t>& frame) {
    return Send(std::span<const std::vector<uint8_t>>(&frame, 1));
}

uint64_t Protocol::Send(const std::vector<std::vector<uint8_t>>& segments) {
    return Send(std::span<const std::vector<uint8_t>>(segments));
}

uint64_t Protocol::Send(std::span<const std::vector<uint8_t>> segments) {
    Kernel& kernel = adapter_.Owner().Host();
    if (!adapter_.IsRunning()) {
        kernel.Check().Report(Rule::Platform, "Protocol::Send",
                               std::string("the adapter is ") +
                                   StateName(adapter_.CurrentState()));
        return 0;
    }
    OwnPacket* own = Build(segments);
    uint64_t id = own->id;
    // A frame behind one that waits for a call back waits too, so that order is kept.
    held_.push_back(own);
    if (TakeHoldDecision()) {
        if (held_item_ == 0) {
            held_item_ = kernel.Clock().After(0, "protocol sends the frames it held", [this] {
                held_item_ = 0;
                if (!AnotherProcessorIsOffering()) SendHeld();
            });
        }
        return id;
    }
    SendHeld();
    return id;
}

bool Protocol::TakeHoldDecision() {
    if (hold_next_) {
        hold_next_ = false;
        return true;
    }
    if (callback_state_ == 0) return false;
    // xorshift32: a fixed sequence per seed, so a failing run repeats.
    callback_state_ ^= callback_state_ << 13;
    callback_state_ ^= callback_state_ >> 17;
    callback_state_ ^= callback_state_ << 5;
    return callback_state_ % kCallbackShare == 0;
}

void Protocol::SendHeld() {
    if (AnotherProcessorIsOffering()) return;
    while (!held_.empty()) {
        OwnPacket* own = held_.front();
        held_.pop_front();
        // After a serialized miniport's refusal NDIS holds every later send back too, so
        // that order is kept; also while another processor offers the held-back ones.
        if (held_back_ || draining_ || !queue_.empty()) {
            queue_.push_back(own);
        } else {
            Offer(own);
        }
    }
}

void Protocol::CallBack() {
    if (in_callback_ || held_.empty() || !adapter_.IsRunning()) return;
    if (AnotherProcessorIsOffering()) return;
    in_callback_ = true;
    OwnPacket* own = held_.front();
    held_.pop_front();
    ++callback_sends_;
    if (held_back_ || draining_ || !queue_.empty()) {
        queue_.push_back(own);
    } else {
        Offer(own);
    }
    in_callback_ = false;
}

Protocol::OwnPacket* Protocol::Build(std::span<const std::vector<uint8_t>> segments) {
    // Records of packets long finished are used again: a run of millions of sends then
    // allocates nothing per packet.
    std::unique_ptr<OwnPacket> own;
    if (spare_packets_.empty()) {
        own = std::make_unique<OwnPacket>();
    } else {
        own = std::move(spare_packets_.back());
        spare_packets_.pop_back();
        *own = OwnPacket{{}, std::move(own->segments), std::move(own->buffers),
                         std::move(own->memory)};
    }
    own->id = next_id_++;
    if (own->segments.empty() && !spare_segments_.empty()) {
        own->segments = std::move(spare_segments_.back());
        spare_segments_.pop_back();
    }
    own->segments.resize(segments.size());
    for (size_t i = 0; i < segments.size(); ++i)
        own->segments[i].assign(segments[i].begin(), segments[i].end());
    own->buffers.resize(segments.size());
    PacketLayout layout = LayoutPacket(kProtocolReservedLength);
    if (!own->memory) own->memory = std::make_unique<uint64_t[]>((layout.size + 7) / 8);
    std::memset(own->memory.get(), Pool::kFillByte, layout.size);
    own->packet = FormatPacket(own->memory.get(), kProtocolReservedLength, nullptr);
    for (size_t i = 0; i < own->segments.size(); ++i) {
        std::vector<uint8_t>& segment = own->segments[i];
        FormatBuffer(&own->buffers[i], nullptr, segment.data(), static_cast<UINT>(segment.size()));
        NdisChainBufferAtBack(own->packet, &own->buffers[i]);
    }
    OwnPacket* result = own.get();
    packets_.insert_or_assign(own->packet, std::move(own));
    return result;
}

void Protocol::Offer(OwnPacket* own) {
    const bool outermost = offering_ == 0;
    if (outermost) offer_level_ = Scheduler::SteppingIn();
    ++offering_;
    OfferNow(own);
    --offering_;
    // Frames another processor was to send meanwhile go now, behind this one.
    if (outermost && deferred_) {
        deferred_ = false;
        SendHeld();
    }
}

bool Protocol::AnotherProcessorIsOffering() {
    if (offering_ == 0 || Scheduler::SteppingIn() == offer_level_) return false;
    // The protocol's sends keep their order: one of its frames is in MiniportSend on another
    // processor, so what comes after it waits for that call to return.
    deferred_ = true;
    return true;
}

void Protocol::OfferNow(OwnPacket* own) {
    Kernel& kernel = adapter_.Owner().Host();
    const NDIS50_MINIPORT_CHARACTERISTICS& handlers = adapter_.Handlers();
    NDIS_HANDLE context = adapter_.Context();
    NDIS_PACKET* packet = own->packet;
    own->state = PacketState::InSend;
    own->completed_in_call = false;

    NDIS_STATUS returned;
    if (handlers.SendHandler != nullptr) {
        returned = kernel.Cpu().CallDriver(DISPATCH_LEVEL, "MiniportSend", [&] {
            return handlers.SendHandler(context, packet, 0);
        });
    } else {
        NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_SUCCESS);
        kernel.Cpu().CallDriver(DISPATCH_LEVEL, "MiniportSendPackets", [&] {
            handlers.SendPacketsHandler(context, &packet, 1);
        });
        returned = NDIS_GET_PACKET_STATUS(packet);
    }
    if (keep_records_) send_calls_.push_back({own->id, returned, kernel.Clock().Now()});

    if (returned == NDIS_STATUS_PENDING) {
        // Completing during the call, before returning pending, is allowed; the protocol
        // learnt of it then.
        if (own->completed_in_call) {
            own->state = PacketState::Done;
            Retire(own);
        } else {
            own->state = PacketState::Pended;
            own->pended_at_us = kernel.Clock().Now();
        }
        return;
    }
    if (own->completed_in_call) {
        kernel.Check().Report(Rule::SendOnce, "MiniportSend",
                               PacketName(own->id) + " was completed, yet the send returned " +
                                   StatusText(returned) + " instead of NDIS_STATUS_PENDING");
        own->state = PacketState::Done;
        Retire(own);
        return;
    }
    // NdisMSetAttributesEx, "Deserialized NDIS Miniport Drivers": NDIS neither queues nor
    // requeues a deserialized miniport's sends; whatever it returns other than pending is the
    // packet's completion, and a refusal for resources loses the frame.
    if (adapter_.AttributeFlags() & NDIS_ATTRIBUTE_DESERIALIZE) {
        if (returned == NDIS_STATUS_RESOURCES) {
            kernel.Check().Report(Rule::SendOnce, "MiniportSend",
                                   PacketName(own->id) +
                                       ": a deserialized miniport returned "
                                       "NDIS_STATUS_RESOURCES; NDIS does not offer it again and "
                                       "fails it back to the protocol");
        }
        Finish(own, returned);
        return;
    }
    // NdisMSendResourcesAvailable: a serialized miniport's refusal waits in NDIS's queue
    // until the miniport says it may come again.
    if (returned == NDIS_STATUS_RESOURCES) {
        own->state = PacketState::Queued;
        queue_.push_front(own);
        held_back_ = true;
        return;
    }
    Finish(own, returned);
}

void Protocol::Finish(OwnPacket* own, NDIS_STATUS status) {
    own->state = PacketState::Done;
    Record(own, status);
    Retire(own);
}

void Protocol::Record(OwnPacket* own, NDIS_STATUS status) {
    SendCompletion completion{own->id, status, adapter_.Owner().Host().Clock().Now()};
    if (send_sink_) send_sink_(completion);
    if (keep_records_) completions_.push_back(completion);
}

void Protocol::Retire(OwnPacket* own) {
    // A late completion needs the record, not the frame: its bytes go back for reuse now.
    if (spare_segments_.size() < kSpareKept) spare_segments_.push_back(std::move(own->segments));
    own->segments.clear();
    retired_.push_back(own->packet);
    while (retired_.size() > kFinishedKept) {
        auto oldest = packets_.find(retired_.front());
        retired_.pop_front();
        if (oldest == packets_.end()) continue;
        if (spare_packets_.size() < kSpareKept) spare_packets_.push_back(std::move(oldest->second));
        packets_.erase(oldest);
    }
}

void Protocol::SendComplete(NDIS_PACKET* packet, NDIS_STATUS status, uintptr_t site) {
    Kernel& kernel = adapter_.Owner().Host();
    auto it = packets_.find(packet);
    if (it == packets_.end()) {
        kernel.Check().Report(Rule::SendOnce, "NdisMSendComplete",
                               "a packet NDIS never handed to the miniport", site);
        return;
    }
    OwnPacket* own = it->second.get();
    switch (own->state) {
        case PacketState::InSend:
            if (own->completed_in_call) {
                kernel.Check().Report(Rule::SendOnce, "NdisMSendComplete",
                                       PacketName(own->id) + " completed twice during its send",
                                       site);
                return;
            }
            // The protocol hears of it now, as from NDIS, before the send returns.
            own->completed_in_call = true;
            own->completion_status = status;
            Record(own, status);
            return;
        case PacketState::Pended:
            Finish(own, status);
            return;
        case PacketState::Done:
            kernel.Check().Report(Rule::SendOnce, "NdisMSendComplete",
                                   PacketName(own->id) + " was already finished", site);
            return;
        case PacketState::Queued:
            kernel.Check().Report(Rule::SendOnce, "NdisMSendComplete",
                                   PacketName(own->id) +
                                       " was refused and waits in NDIS's queue; the miniport "
                                       "does not own it",
                                   site);
            return;
    }
}

void Protocol::SendResourcesAvailable() {
    if (keep_records_) resource_notices_.push_back(adapter_.Owner().Host().Clock().Now());
    if (drain_item_ != 0) return;
    // NDIS sends again later, from its own context, never inside this call.
    drain_item_ = adapter_.Owner().Host().Clock().After(0, "NDIS offers held-back sends", [this] {
        drain_item_ = 0;
        DrainQueue();
    });
}

void Protocol::DrainQueue() {
    if (!adapter_.IsRunning()) return;
    held_back_ = false;
    draining_ = true;
    while (!queue_.empty() && !held_back_) {
        OwnPacket* own = queue_.front();
        queue_.pop_front();
        Offer(own);
    }
    draining_ = false;
}

void Protocol::CheckWatchdog() {
    Kernel& kernel = adapter_.Owner().Host();
    uint64_t now = kernel.Clock().Now();
    std::vector<OwnPacket*> late;
    for (const auto& [packet, own] : packets_) {
        if (own->state != PacketState::Pended || own->watchdog_reported) continue;
        if (now - own->pended_at_us > kSendWatchdogUs) late.push_back(own.get());
    }
    std::sort(late.begin(), late.end(),
              [](const OwnPacket* a, const OwnPacket* b) { return a->id < b->id; });
    for (OwnPacket* own : late) {
        own->watchdog_reported = true;
        kernel.Check().Report(Rule::Watchdog, "MiniportSend",
                               PacketName(own->id) + " pended " +
                                   std::to_string((now - own->pended_at_us) / 1000) +
                                   " ms ago and is not completed");
    }
}

bool Protocol::SendTimedOutAtHangCheck() {
    bool timed_out = false;
    for (const auto& [packet, own] : packets_) {
        if (own->state != PacketState::Pended) continue;
        timed_out = ++own->hang_checks == 2 || timed_out;
    }
    return timed_out;
}

void Protocol::BeforeHalt() {
    // Frames the protocol kept for a call back are sent while the adapter still runs.
    if (held_item_ != 0) adapter_.Owner().Host().Clock().Cancel(held_item_);
    held_item_ = 0;
    SendHeld();
    if (drain_item_ != 0) adapter_.Owner().Host().Clock().Cancel(drain_item_);
    drain_item_ = 0;
    ReturnLent();
    // Sends NDIS still holds never reach the miniport: they fail back to the protocol.
    for (OwnPacket* own : queue_) Finish(own, NDIS_STATUS_FAILURE);
    queue_.clear();
    held_back_ = false;
}

void Protocol::AfterHalt() {
    ReportOpenStatus("MiniportHalt", "when the adapter was halted", 0);
    std::vector<OwnPacket*> pended;
    for (const auto& [packet, own] : packets_) {
        if (own->state == PacketState::Pended) pended.push_back(own.get());
    }
    std::sort(pended.begin(), pended.end(),
              [](const OwnPacket* a, const OwnPacket* b) { return a->id < b->id; });
    for (OwnPacket* own : pended) {
        adapter_.Owner().Host().Check().Report(
            Rule::SendOnce, "MiniportHalt",
            PacketName(own->id) + " was pended and never completed");
        Finish(own, NDIS_STATUS_FAILURE);
    }
}

}  // namespace emu::ndis

// ---- Platform routines --------------------------------------------------------------------

using emu::Kernel;
using emu::ndis::Miniport;

void NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_PACKET* Packet,
                       NDIS_STATUS Status) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("NdisMSendComplete", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    emu::Processor::PlatformScope platform(kernel.Cpu());
    Miniport* adapter = emu::ndis::Ndis::Current().Use(MiniportAdapterHandle, "NdisMSendComplete", site);
    if (adapter == nullptr) return;
    adapter->Edge().SendComplete(Packet, Status, site);
    adapter->Edge().CallBack();
}

void NdisMSendResourcesAvailable(NDIS_HANDLE MiniportAdapterHandle) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql("NdisMSendResourcesAvailable", DISPATCH_LEVEL, PASSIVE_LEVEL, site);
    emu::Processor::PlatformScope platform(kernel.Cpu());
    Miniport* adapter =
        emu::ndis::Ndis::Current().Use(MiniportAdapterHandle, "NdisMSendResourcesAvailable", site);
    if (adapter == nullptr) return;
    adapter->Edge().SendResourcesAvailable();
}
