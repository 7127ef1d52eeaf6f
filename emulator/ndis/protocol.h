// The protocol edge above one miniport: it hands frames to MiniportSend as packets, keeps
// the sends NDIS must hold back after a serialized miniport's refusal, and takes the
// miniport's send completions, receive indications and status indications (SEND_ONCE,
// RECV_OWNERSHIP, WATCHDOG). Like a real protocol it sends again from inside those calls:
// a seeded share of the frames it is given waits for the next completion or indication and
// goes to MiniportSend from inside it, on the same stack.
// It reads a miniport's packets only as a protocol can: NdisQueryPacket (cached counts, first
// buffer, total length), then NdisQueryBuffer and NdisGetNextBuffer along the chain.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "emulator/ndis/binding.h"
#include "platform/ndis.h"

namespace emu::ndis {

class Miniport;

class Protocol {
public:
    // What the protocol learns of each send it made.
    struct SendCompletion {
        uint64_t packet;      // the id Send returned
        NDIS_STATUS status;   // NDIS_STATUS_SUCCESS, or the failure
        uint64_t time_us;
    };
    // Each call of the miniport's send handler, with what it returned.
    struct SendCall {
        uint64_t packet;
        NDIS_STATUS returned;
        uint64_t time_us;
    };
    struct Receive {
        std::vector<uint8_t> bytes;
        UINT header_size;
        NDIS_STATUS status;   // the packet's status at the indication
        uint64_t time_us;
    };
    struct StatusIndication {
        NDIS_STATUS status;   // unused for a completion
        std::vector<uint8_t> buffer;
        bool complete;        // NdisMIndicateStatusComplete
        uint64_t time_us;
    };
    // When lent receive packets go back to the miniport: in a work item right after the
    // indication, or when the test calls ReturnLent.
    enum class ReturnMode { AfterCall, Manual };

    // Which frames wait for a call back into the protocol: one in kCallbackShare, drawn from
    // `seed`; nullopt sends every frame at once.
    struct Callbacks {
        std::optional<uint32_t> seed;
    };
    static constexpr uint32_t kCallbackShare = 4;
    static constexpr uint32_t kDefaultCallbackSeed = 1;
    // For the protocols made from now on (every test has them on unless told otherwise).
    static void SetCallbacks(Callbacks callbacks);
    static Callbacks CurrentCallbacks();

    static constexpr UINT kProtocolReservedLength = 16;
    static constexpr uint64_t kSendWatchdogUs = 30'000'000;

    explicit Protocol(Miniport& adapter);
    ~Protocol();
    Protocol(const Protocol&) = delete;
    Protocol& operator=(const Protocol&) = delete;

    // ---- Test face ------------------------------------------------------------------------
    // Sends a frame as a packet of one buffer, or of one buffer per segment; returns the
    // packet's id (0 when the adapter is not running, with a Platform report).
    uint64_t Send(const std::vector<uint8_t>& frame);
    uint64_t Send(const std::vector<std::vector<uint8_t>>& segments);
    // The id the next Send will return.
    uint64_t NextPacketId() const { return next_id_; }
    const std::vector<SendCompletion>& Completions() const { return completions_; }
    const std::vector<SendCall>& SendCalls() const { return send_calls_; }
    size_t Queued() const { return queue_.size(); }    // held back after a refusal
    // The next frame given to Send waits for a call back into the protocol (or the end of
    // this moment of virtual time), whatever the seed draws.
    void HoldNextSend() { hold_next_ = true; }
    // Frames waiting for a call back into the protocol.
    size_t Held() const { return held_.size(); }
    // Sends them now, in order, for a test that needs a send to happen at a given point.
    void SendHeldNow() { SendHeld(); }
    // Sends the protocol made from inside a completion or indication.
    uint64_t CallbackSends() const { return callback_sends_; }
    // Virtual times of each NdisMSendResourcesAvailable the miniport made (with records).
    const std::vector<uint64_t>& ResourceNotices() const { return resource_notices_; }
    size_t Pended() const;                             // pended and not yet completed

    const std::vector<Receive>& Received() const { return received_; }
    // The protocol's binding: which received packets reach Received() and OnReceive.
    Binding& Bound() { return binding_; }
    void SetReturnMode(ReturnMode mode) { return_mode_ = mode; }
    size_t Lent() const { return lent_.size(); }
    void ReturnLent();

    // Status indications and their completions, in order; without records (KeepRecords) only
    // the last few thousand are kept.
    const std::vector<StatusIndication>& Statuses() const { return statuses_; }
    // NdisMIndicateStatus calls, in all.
    uint64_t StatusIndications() const { return status_indications_; }

    // A second processor beside the receive indications: during each one, before the frame
    // is copied, the work that falls due within `window_us` of virtual time runs (bulk-in
    // completions, the miniport's timers), as another processor would while this one is in
    // the protocol. Work run that way does not start more: an indication made from it copies
    // at once. nullopt, the default, leaves indications instantaneous as on one processor.
    void RunWorkDuringIndications(std::optional<uint64_t> window_us) {
        indication_window_us_ = window_us;
    }

    // Optional sinks for long runs that do not want to keep every record.
    void OnSendComplete(std::function<void(const SendCompletion&)> sink) { send_sink_ = std::move(sink); }
    void OnReceive(std::function<void(const Receive&)> sink) { receive_sink_ = std::move(sink); }
    void KeepRecords(bool on) { keep_records_ = on; }

    // ---- NDIS side ------------------------------------------------------------------------
    void SendComplete(NDIS_PACKET* packet, NDIS_STATUS status, uintptr_t site);
    void SendResourcesAvailable();
    void IndicateReceive(NDIS_PACKET** packets, UINT count, uintptr_t site);
    // STATUS_INDICATION when the previous status is still without its completion.
    void IndicateStatus(NDIS_STATUS status, const void* buffer, UINT size, uintptr_t site);
    void IndicateStatusComplete();
    // After a send completion or an indication, still inside the miniport's call: a frame
    // waiting for it goes to MiniportSend now (never more than one call deep).
    void CallBack();
    bool IsLent(const NDIS_PACKET* packet) const;
    // WATCHDOG: pended sends older than 30 s.
    void CheckWatchdog();
    // At a hang check: whether a send NDIS holds pended to a serialized miniport has now
    // stayed pended across two hang checks (a send time-out, which NDIS answers with a reset).
    bool SendTimedOutAtHangCheck();
    // Before MiniportHalt: lent packets come back, held-back sends fail.
    void BeforeHalt();
    // After MiniportHalt: a pended send that was never completed breaks SEND_ONCE, a status
    // without its completion STATUS_INDICATION.
    void AfterHalt();

private:
    void ReportOpenStatus(const char* call, const char* when, uintptr_t site);
    enum class PacketState { Queued, InSend, Pended, Done };
    struct OwnPacket {
        uint64_t id = 0;
        std::vector<std::vector<uint8_t>> segments;
        std::vector<NDIS_BUFFER> buffers;
        std::unique_ptr<uint64_t[]> memory;  // the NDIS_PACKET with its areas
        NDIS_PACKET* packet = nullptr;
        PacketState state = PacketState::Queued;
        bool completed_in_call = false;
        NDIS_STATUS completion_status = NDIS_STATUS_SUCCESS;
        uint64_t pended_at_us = 0;
        bool watchdog_reported = false;
        int hang_checks = 0;  // hang checks seen while pended to a serialized miniport
    };

    // One buffer of a chain, as NdisQueryBuffer describes it.
    struct Piece {
        NDIS_BUFFER* buffer;
        const uint8_t* address;
        UINT length;
        bool operator==(const Piece&) const = default;
    };
    // A packet lent to the protocol: where it was indicated, and its chain and the sum of its
    // bytes at that moment, to be found unchanged when it goes back.
    struct LentPacket {
        NDIS_PACKET* packet;
        uintptr_t site;
        std::vector<Piece> chain;
        uint64_t sum;
    };

    // The packet's chain read through the accessors, with the buffer count and total length
    // NdisQueryPacket reports; false when the chain does not end.
    static bool ReadChain(NDIS_PACKET* packet, std::vector<Piece>* chain, UINT* buffers,
                          UINT* total);
    static uint64_t Sum(const std::vector<Piece>& chain);

    OwnPacket* Build(std::span<const std::vector<uint8_t>> segments);
    uint64_t Send(std::span<const std::vector<uint8_t>> segments);
    void Offer(OwnPacket* own);
    void OfferNow(OwnPacket* own);
    bool AnotherProcessorIsOffering();
    void Finish(OwnPacket* own, NDIS_STATUS status);
    void Record(OwnPacket* own, NDIS_STATUS status);
    void DrainQueue();
    bool TakeHoldDecision();
    void SendHeld();
    void ReturnOne(NDIS_PACKET* packet);
    void CheckUnchanged(const LentPacket& lent);
    void RunWorkDuringIndication();
    void Retire(OwnPacket* own);

    Miniport& adapter_;
    uint64_t next_id_ = 1;
    std::unordered_map<const NDIS_PACKET*, std::unique_ptr<OwnPacket>> packets_;
    std::vector<std::unique_ptr<OwnPacket>> spare_packets_;
    std::vector<std::vector<std::vector<uint8_t>>> spare_segments_;
    std::deque<const NDIS_PACKET*> retired_;  // finished, kept a while to catch late completions
    std::deque<OwnPacket*> queue_;
    bool held_back_ = false;   // a send was refused and NDIS has not been told to resume
    bool draining_ = false;  // offering the held-back sends (the platform let go meanwhile)
    uint64_t drain_item_ = 0;
    std::deque<OwnPacket*> held_;  // waiting for a call back into the protocol, in order
    uint64_t held_item_ = 0;       // sends them at the end of the moment otherwise
    uint32_t callback_state_ = 0;  // the draw; 0 when callbacks are off
    bool hold_next_ = false;
    bool in_callback_ = false;
    int offering_ = 0;        // MiniportSend calls of this protocol on the stack
    int offer_level_ = 0;     // Scheduler::SteppingIn() of the outermost of them
    bool deferred_ = false;   // another processor left held frames for it
    uint64_t callback_sends_ = 0;

    std::vector<SendCompletion> completions_;
    std::vector<SendCall> send_calls_;
    std::vector<Receive> received_;
    std::vector<StatusIndication> statuses_;
    uint64_t status_indications_ = 0;
    void ForgetOldStatuses();
    bool status_open_ = false;  // the last status has not been completed yet
    std::vector<LentPacket> lent_;
    ReturnMode return_mode_ = ReturnMode::AfterCall;
    std::optional<uint64_t> indication_window_us_;
    bool in_indication_work_ = false;
    bool keep_records_ = true;
    std::function<void(const SendCompletion&)> send_sink_;
    std::function<void(const Receive&)> receive_sink_;
    std::vector<uint64_t> resource_notices_;
    Binding binding_;
};

}  // namespace emu::ndis
