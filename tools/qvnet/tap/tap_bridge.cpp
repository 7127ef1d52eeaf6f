#include "tools/qvnet/tap/tap_bridge.h"

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "emulator/device/controller.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/protocol.h"
#include "emulator/ndis/requests.h"
#include "emulator/wire/tap_device.h"
#include "tools/qvnet/tap/host_groups.h"

namespace qvtap {

namespace {

using emu::wire::TapDevice;
using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stop_requested = 0;

extern "C" void RequestStop(int) { g_stop_requested = 1; }

// Real time between looks at the interfaces when nothing arrives: the clock moves in steps
// about this long, so it adds at most about a millisecond to each crossing.
constexpr int kPollMs = 1;
// Sends NDIS may hold back after the driver refused one (all transmit descriptors busy)
// before the host interface is left unread: the host's queue then fills and its stack slows
// down, as it would behind a real adapter.
constexpr size_t kMostHeldBack = 4;
// Frames from the far-end interface go onto the cable at 100 Mb/s; it is left unread while
// more than this much of it is already waiting for the cable.
constexpr uint64_t kMostWireBacklogUs = 2'000;
constexpr uint64_t kWireBitsPerUs = 100;
// Preamble, start delimiter, FCS and the gap between frames.
constexpr uint64_t kWireOverheadBytes = 24;

// The far end when it is a TAP interface: hears what the controller sends and writes it out.
class FarEndCounter : public emu::wire::Station {
public:
    FarEndCounter(TapBridgeResult& result, TapDevice* tap) : result_(result), tap_(tap) {}
    void Hear(const emu::wire::Frame& frame) override {
        ++result_.wire_frames_out;
        result_.wire_bytes_out += frame.bytes.size();
        if (tap_ != nullptr && !tap_->WriteFrame(frame.bytes)) ++result_.wire_write_drops;
    }

private:
    TapBridgeResult& result_;
    TapDevice* tap_;
};

class Bridge {
public:
    Bridge(qvtest::RunningAdapter& adapter, const TapBridgeOptions& options, TapDevice host,
           std::optional<TapDevice> far_tap)
        : adapter_(adapter), options_(options), wire_(adapter.Device().Wire()),
          host_(std::move(host)), far_tap_(std::move(far_tap)),
          counter_(result_, far_tap_ ? &*far_tap_ : nullptr) {}

    TapBridgeResult Run() {
        Attach();
        const Clock::time_point real_start = Clock::now();
        const uint64_t virtual_start = adapter_.Now();
        const uint64_t receive_drops_before = adapter_.Device().ReceiveDrops();
        // The clock catches up before frames are taken in, so each enters at about the
        // virtual time it arrived and its crossing takes the real time the bus needs.
        while (!StopRequested()) {
            WaitForFrames();
            if (!KeepPace(real_start, virtual_start)) break;
            PumpHost();
            PumpFarEnd();
        }
        result_.virtual_us = adapter_.Now() - virtual_start;
        result_.real_seconds = std::chrono::duration<double>(Clock::now() - real_start).count();
        result_.receive_fifo_drops = adapter_.Device().ReceiveDrops() - receive_drops_before;
        Detach();
        return result_;
    }

private:
    void Attach() {
        adapter_.KeepRecords(false);
        // The groups the host joins go into the binding's list, as far as the adapter's list
        // reaches; beyond it the binding takes every multicast frame, as a Windows stack does.
        const emu::ndis::Requests::Record most =
            adapter_.Block().Request().Query(OID_802_3_MAXIMUM_LIST_SIZE, 4);
        if (most.status == NDIS_STATUS_SUCCESS && most.buffer.size() >= 4) {
            most_groups_ = static_cast<size_t>(most.buffer[0] | most.buffer[1] << 8 |
                                               most.buffer[2] << 16 | most.buffer[3] << 24);
        } else {
            most_groups_ = adapter_.Edge().Bound().MulticastList().size();
        }
        turned_away_before_ = adapter_.Edge().Bound().TurnedAway();
        adapter_.Edge().OnReceive([this](const emu::ndis::Protocol::Receive& receive) {
            ++result_.host_frames_in;
            result_.host_bytes_in += receive.bytes.size();
            if (!host_.WriteFrame(receive.bytes)) ++result_.host_write_drops;
        });
        adapter_.Edge().OnSendComplete([this](const emu::ndis::Protocol::SendCompletion& done) {
            if (done.status != NDIS_STATUS_SUCCESS) ++result_.send_failures;
        });
        wire_.Attach(&counter_);
        if (!far_tap_) {
            responder_ = std::make_unique<emu::wire::Responder>(
                wire_, options_.responder_address, options_.responder_ip);
        }
    }

    void Detach() {
        if (responder_) {
            result_.arp_replies = responder_->ArpReplies();
            result_.echo_replies = responder_->EchoReplies();
            result_.wire_frames_in += result_.arp_replies + result_.echo_replies;
            result_.wire_bytes_in += responder_->ReplyBytes();
            responder_.reset();
        }
        result_.host_frames_filtered = adapter_.Edge().Bound().TurnedAway() - turned_away_before_;
        wire_.Detach(&counter_);
        adapter_.Edge().OnReceive({});
        adapter_.Edge().OnSendComplete({});
    }

    bool StopRequested() const { return options_.stop != nullptr && *options_.stop != 0; }
    bool HostReadable() const { return adapter_.Edge().Queued() < kMostHeldBack; }
    bool FarEndReadable() const {
        return far_tap_ && wire_free_us_ < adapter_.Now() + kMostWireBacklogUs;
    }

    // Sleeps up to kPollMs for a frame on an interface being read; a signal ends it early.
    void WaitForFrames() {
        pollfd fds[2];
        nfds_t count = 0;
        if (HostReadable()) fds[count++] = {host_.Descriptor(), POLLIN, 0};
        if (FarEndReadable()) fds[count++] = {far_tap_->Descriptor(), POLLIN, 0};
        ::poll(fds, count, kPollMs);
    }

    // What the host's stack sends goes to the driver as NDIS packets.
    void PumpHost() {
        while (HostReadable()) {
            std::optional<std::vector<uint8_t>> frame = host_.ReadFrame();
            if (!frame) return;
            ++result_.host_frames_out;
            result_.host_bytes_out += frame->size();
            if (groups_.Note(*frame)) FollowGroups();
            adapter_.Send(*frame);
        }
    }

    // Before the report leaves: the answers to it may come at once.
    void FollowGroups() {
        emu::ndis::Binding& binding = adapter_.Edge().Bound();
        constexpr ULONG kEveryGroup = emu::ndis::Binding::kTcpIpFilter |
                                      NDIS_PACKET_TYPE_ALL_MULTICAST;
        if (groups_.Groups().size() <= most_groups_) {
            binding.StartSetMulticastList(groups_.Groups());
            if (every_group_) binding.StartSetFilter(emu::ndis::Binding::kTcpIpFilter);
            every_group_ = false;
        } else if (!every_group_) {
            binding.StartSetFilter(kEveryGroup);
            every_group_ = true;
        }
    }

    // What the far-end interface sends goes onto the cable toward the controller, one frame
    // after another at the cable's speed.
    void PumpFarEnd() {
        while (FarEndReadable()) {
            std::optional<std::vector<uint8_t>> frame = far_tap_->ReadFrame();
            if (!frame) return;
            ++result_.wire_frames_in;
            result_.wire_bytes_in += frame->size();
            const uint64_t at = std::max(wire_free_us_, adapter_.Now());
            wire_free_us_ = at + (frame->size() + kWireOverheadBytes) * 8 / kWireBitsPerUs;
            wire_.InjectAt(at, std::move(*frame));
        }
    }

    // Moves the virtual clock up to the real time elapsed; false once `up_for_us` has passed.
    bool KeepPace(Clock::time_point real_start, uint64_t virtual_start) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - real_start);
        uint64_t target = virtual_start + static_cast<uint64_t>(elapsed.count());
        if (options_.up_for_us) target = std::min(target, virtual_start + *options_.up_for_us);
        if (target > adapter_.Now()) adapter_.Run(target - adapter_.Now());
        return !options_.up_for_us || adapter_.Now() < virtual_start + *options_.up_for_us;
    }

    qvtest::RunningAdapter& adapter_;
    const TapBridgeOptions& options_;
    emu::wire::Wire& wire_;
    TapDevice host_;
    std::optional<TapDevice> far_tap_;
    TapBridgeResult result_;
    FarEndCounter counter_;
    std::unique_ptr<emu::wire::Responder> responder_;
    uint64_t wire_free_us_ = 0;  // when the cable toward the controller is next free
    HostGroups groups_;
    size_t most_groups_ = 0;     // OID_802_3_MAXIMUM_LIST_SIZE
    bool every_group_ = false;   // the binding's filter has ALL_MULTICAST instead of its list
    uint64_t turned_away_before_ = 0;
};

}  // namespace

const volatile std::sig_atomic_t* InstallStopOnSignals() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a signal also cuts the wait for frames short
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return &g_stop_requested;
}

std::optional<TapInterfaces> OpenTapInterfaces(const TapBridgeOptions& options,
                                               std::string* error) {
    std::string why;
    std::optional<TapDevice> host = TapDevice::Create(options.ifname, &why);
    if (!host) {
        *error = "--ifname " + options.ifname + ": " + why;
        return std::nullopt;
    }
    TapInterfaces interfaces{std::move(*host), std::nullopt};
    if (options.wire_ifname) {
        interfaces.far_end = TapDevice::Create(*options.wire_ifname, &why);
        if (!interfaces.far_end) {
            *error = "--wire-ifname " + *options.wire_ifname + ": " + why;
            return std::nullopt;
        }
    }
    return interfaces;
}

TapBridgeResult RunTapBridge(qvtest::RunningAdapter& adapter, const TapBridgeOptions& options,
                             TapInterfaces interfaces) {
    TapBridgeResult failed;
    if (!adapter.Running()) {
        failed.error = "the adapter is not running";
        return failed;
    }
    if (!interfaces.host.SetAddress(adapter.StationAddress(), &failed.error)) return failed;
    Bridge bridge(adapter, options, std::move(interfaces.host), std::move(interfaces.far_end));
    return bridge.Run();
}

}  // namespace qvtap
