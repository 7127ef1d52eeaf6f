#include "tools/qvnet/stress/stress.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <random>
#include <unordered_map>
#include <vector>

#include "controller/phy.h"
#include "core/adapter.h"
#include "emulator/device/controller.h"
#include "emulator/machine.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/protocol.h"
#include "emulator/ndis/requests.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/usbbus/bus.h"
#include "emulator/usbbus/trace.h"
#include "emulator/verifier/verifier.h"
#include "tests/support/harness/running_adapter.h"
#include "tools/qvnet/stress/stress_agreement.h"
#include "tools/qvnet/stress/stress_frames.h"
#include "usb/registers.h"

namespace qvnet {

namespace {

using Clock = std::chrono::steady_clock;
using stress::InStream;
using stress::OutStream;

constexpr int kSenders = 2;
// Each sender about 0.2 MB/s and the flood about 0.4 MB/s the other way: together near what a
// full-speed bus moves, so the rings run full at times without the run being only refusals.
constexpr uint64_t kSendEveryUs = 4'000;
constexpr uint64_t kInjectEveryUs = 2'000;
// A sender waits while NDIS holds this many packets back for want of descriptors, as a
// protocol would slow down: otherwise the queue would grow as long as the run.
constexpr size_t kMostHeldBack = 64;
constexpr uint64_t kRequestEveryUs = 20'000;
constexpr uint64_t kFlapEveryUs = 3'000'000;
constexpr uint64_t kFlapDownUs = 700'000;
// The device and driver are compared this long before each flap, so the link is steady.
constexpr uint64_t kCheckBeforeFlapUs = 50'000;
// How soon after a pass asks the PHY for the partner's ability a racing filter set starts:
// while the answer is on its way, so that the set's writes and the pass's meet.
constexpr uint64_t kRacingSetFromUs = 1'000;
constexpr uint64_t kRacingSetUntilUs = 2'000;
// After the processors stop: long enough for the link to come back and every ring to drain.
constexpr uint64_t kDrainUs = 5'000'000;
constexpr uint64_t kHangCheckPeriodUs = 2'000'000;
constexpr uint16_t kAllAbilities = 0x01E1;
constexpr uint16_t kHundredHalfOnly = 0x0081;

uint64_t ResidentKib() {
    unsigned long pages_total = 0, pages_resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    if (std::fscanf(statm, "%lu %lu", &pages_total, &pages_resident) != 2) pages_resident = 0;
    std::fclose(statm);
    return pages_resident * 4;
}

void Problem(StressAccount* account, const std::string& line) {
    if (account->problems.size() < 4000) account->problems += line + "\n";
}

// Everything the run keeps between its pieces of work; each piece runs as queued work on
// whichever processor takes it (a sender's on its own processor), with the platform locked.
class Stress {
public:
    Stress(const StressOptions& options, emu::Machine& machine, qvtest::RunningAdapter& adapter)
        : options_(options), machine_(machine), adapter_(adapter),
          station_(adapter.StationAddress()), racing_rng_(options.seed) {}

    void Watch();
    void StartWork();
    void StopWork() { working_ = racing_ = false; }
    void ProveAlive();
    bool Stop(Clock::time_point end);
    // Whether an agreement check stopped the processors (taken once).
    bool TakeCheck() { return check_due_.exchange(false); }
    void CheckAgreement();
    void Finish(StressAccount* account);
    StressAccount& Account() { return account_; }

private:
    void Send(int sender);
    void SendOne(int sender);
    void Inject();
    void InjectOne();
    void Request();
    void Flap(bool down);
    void AgreementDue();
    void OnControl(const emu::usb::TraceRecord& record);
    void RacingSet();
    void CollectRequests(bool all);
    void OnWire(const std::vector<uint8_t>& frame);
    void OnReceive(const std::vector<uint8_t>& frame);
    emu::Scheduler& Queue() { return machine_.Clock(); }

    const StressOptions& options_;
    emu::Machine& machine_;
    qvtest::RunningAdapter& adapter_;
    qvtest::MacAddress station_;
    bool working_ = true;
    bool racing_ = false;  // from the start of the work: the bring-up reads the PHYs too
    std::atomic<bool> check_due_{false};
    OutStream out_[kSenders];
    InStream in_;
    struct InFlight {
        int sender;
        uint32_t number;
    };
    std::unordered_map<uint64_t, InFlight> packets_;
    std::deque<uint64_t> requests_;
    uint64_t request_turn_ = 0;
    bool racing_pending_ = false;
    std::mt19937 racing_rng_;
    uint64_t racing_sets_ = 0;
    uint64_t xmit_expected_ = 0;  // bulk-out transfers handed down for frames sent
    StressAccount account_;
    Clock::time_point last_progress_ = Clock::now();
    Clock::time_point started_ = Clock::now();
    bool early_taken_ = false;
    uint64_t samples_ = 0;  // of the memory, one a second
};

void Stress::Watch() {
    adapter_.AddWireSink([this](const emu::wire::Frame& frame, emu::wire::Direction way) {
        if (way == emu::wire::Direction::FromController) OnWire(frame.bytes);
    });
    adapter_.AddTraceSink([this](const emu::usb::TraceRecord& record) { OnControl(record); });
}

// A link-monitor pass writes registers 0x01-0x02 after a PHY read's answer when the partner
// changed, while a filter set writes 0x00-0x02 from its work item: two writers of the same
// registers. Sets at a steady pace almost never meet a pass, so one more is started at a
// seeded moment within the few milliseconds after a pass asks the PHY for the partner's
// ability, when its write of 0x01 follows the answer.
void Stress::OnControl(const emu::usb::TraceRecord& record) {
    if (!racing_ || racing_pending_ || record.type != 'S' || !record.has_setup) return;
    // The command that reads the partner's ability: [PHY, data low, data high, command].
    const bool partner_read = record.setup[0] == RegisterWriteRequestType &&
                              record.setup[1] == RegisterWrite && record.setup[4] == MiiAddress &&
                              record.data.size() == 4 &&
                              record.data[3] == (MiiReadCommand | PhyPartnerAbility);
    if (!partner_read) return;
    racing_pending_ = true;
    const uint64_t delay =
        kRacingSetFromUs + racing_rng_() % (kRacingSetUntilUs - kRacingSetFromUs);
    Queue().After(delay, "stress racing set", [this] { RacingSet(); });
}

void Stress::RacingSet() {
    racing_pending_ = false;
    if (!racing_) return;
    emu::ndis::Requests& requests = adapter_.Block().Request();
    // Behind another request it would wait in NDIS's queue and race nothing.
    if (requests.Outstanding() + requests.Queued() != 0) return;
    // Promiscuous every other time: register 0x02, which the pass writes beside 0x01.
    const ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST |
                         NDIS_PACKET_TYPE_MULTICAST |
                         (racing_sets_++ % 2 == 0 ? NDIS_PACKET_TYPE_PROMISCUOUS : 0);
    const std::vector<uint8_t> bytes = {uint8_t(filter), uint8_t(filter >> 8),
                                        uint8_t(filter >> 16), 0};
    const uint64_t id = requests.StartSet(OID_GEN_CURRENT_PACKET_FILTER, bytes);
    ++account_.sets;
    if (id != 0) requests_.push_back(id);
}

void Stress::StartWork() {
    racing_ = true;
    adapter_.KeepRecords(false);
    adapter_.Edge().OnReceive(
        [this](const emu::ndis::Protocol::Receive& receive) { OnReceive(receive.bytes); });
    adapter_.Edge().OnSendComplete([this](const emu::ndis::Protocol::SendCompletion& done) {
        auto found = packets_.find(done.packet);
        if (found == packets_.end()) return;
        const bool ok = done.status == NDIS_STATUS_SUCCESS;
        out_[found->second.sender].Completed(found->second.number, ok, &account_.problems);
        // A frame whose transfer (with its 2-byte length) fills whole 64-byte packets is
        // followed by a zero-length transfer, which the driver counts as sent too.
        const size_t length = stress::StreamFrameLength(
            options_.seed, static_cast<uint8_t>(found->second.sender), found->second.number);
        if (ok) xmit_expected_ += (length + 2) % 64 == 0 ? 2 : 1;
        packets_.erase(found);
    });
    for (int sender = 0; sender < kSenders; ++sender)
        Queue().After(0, "stress sender", [this, sender] { Send(sender); }, false,
                      sender % options_.cpus);
    Queue().After(0, "stress flood", [this] { Inject(); });
    Queue().After(kRequestEveryUs, "stress request", [this] { Request(); });
    if (options_.link_flaps)
        Queue().After(kFlapEveryUs, "stress flap", [this] { Flap(true); });
    Queue().After(kFlapEveryUs - kCheckBeforeFlapUs, "stress agreement",
                  [this] { AgreementDue(); });
}

void Stress::Send(int sender) {
    if (!working_) return;
    if (adapter_.Edge().Queued() >= kMostHeldBack) {
        Queue().After(kSendEveryUs, "stress sender", [this, sender] { Send(sender); }, false,
                      sender % options_.cpus);
        return;
    }
    SendOne(sender);
    Queue().After(kSendEveryUs, "stress sender", [this, sender] { Send(sender); }, false,
                  sender % options_.cpus);
}

void Stress::SendOne(int sender) {
    OutStream& stream = out_[sender];
    const uint32_t number = stream.Next();
    stream.Sent();
    ++account_.sent;
    // Known before the send: the driver completes it inside the call. Nothing else sends in
    // between, as the platform stays locked until the miniport is called.
    const uint64_t packet = adapter_.Edge().NextPacketId();
    packets_.emplace(packet, InFlight{sender, number});
    if (adapter_.Send(stress::StreamFrame(qvtest::kPeerAddress, station_, options_.seed,
                                          static_cast<uint8_t>(sender), number)) != packet)
        Problem(&account_, "a send was not given the packet id expected");
}

void Stress::Inject() {
    if (!working_) return;
    InjectOne();
    Queue().After(kInjectEveryUs, "stress flood", [this] { Inject(); });
}

void Stress::InjectOne() {
    adapter_.Inject(stress::StreamFrame(station_, qvtest::kPeerAddress, options_.seed,
                                        stress::kInStream, static_cast<uint32_t>(account_.injected)));
    ++account_.injected;
}

void Stress::ProveAlive() {
    // Whatever the run went through, the adapter must still move frames both ways.
    constexpr int kFrames = 4;
    const uint64_t on_wire = account_.on_wire;
    const uint64_t indicated = account_.indicated;
    for (int i = 0; i < kFrames; ++i) {
        for (int sender = 0; sender < kSenders; ++sender) SendOne(sender);
        InjectOne();
        adapter_.Run(kSendEveryUs);
    }
    adapter_.RunUntilIdle();
    if (account_.on_wire - on_wire != kFrames * kSenders ||
        account_.indicated - indicated != kFrames)
        Problem(&account_, "after the run the adapter no longer moves every frame: " +
                               std::to_string(account_.on_wire - on_wire) + " of " +
                               std::to_string(kFrames * kSenders) + " sent, " +
                               std::to_string(account_.indicated - indicated) + " of " +
                               std::to_string(kFrames) + " received");
}

void Stress::Request() {
    if (!working_) return;
    CollectRequests(false);
    emu::ndis::Requests& requests = adapter_.Block().Request();
    if (requests.Outstanding() + requests.Queued() < 2) {
        // Queries of the counters and the link, and sets that program the controller (a
        // filter, with all-multicast every other time, and a multicast list): what they pass
        // stays the same, so traffic is unchanged, while register 0x00 changes.
        static const NDIS_OID kQueries[] = {OID_GEN_XMIT_OK, OID_GEN_RCV_OK,
                                            OID_GEN_MEDIA_CONNECT_STATUS, OID_802_3_CURRENT_ADDRESS};
        const uint64_t turn = request_turn_++;
        uint64_t id = 0;
        if (turn % 3 == 2) {
            std::vector<uint8_t> bytes;
            if (turn % 2 == 0) {
                ULONG filter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST |
                               NDIS_PACKET_TYPE_MULTICAST;
                if (turn % 4 == 0) filter |= NDIS_PACKET_TYPE_ALL_MULTICAST;
                bytes = {uint8_t(filter), uint8_t(filter >> 8), uint8_t(filter >> 16), 0};
                id = requests.StartSet(OID_GEN_CURRENT_PACKET_FILTER, bytes);
            } else {
                bytes = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
                id = requests.StartSet(OID_802_3_MULTICAST_LIST, bytes);
            }
            ++account_.sets;
        } else {
            id = requests.StartQuery(kQueries[turn % 4], 64);
            ++account_.queries;
        }
        if (id != 0) requests_.push_back(id);
    }
    Queue().After(kRequestEveryUs, "stress request", [this] { Request(); });
}

void Stress::CollectRequests(bool all) {
    emu::ndis::Requests& requests = adapter_.Block().Request();
    while (!requests_.empty()) {
        const emu::ndis::Requests::Record& record = requests.Of(requests_.front());
        if (!record.completed) {
            if (all) {
                ++account_.requests_failed;
                Problem(&account_, "request for OID " + std::to_string(record.oid) +
                                       " never completed");
            } else {
                return;
            }
        } else if (record.status != NDIS_STATUS_SUCCESS) {
            ++account_.requests_failed;
        }
        requests_.pop_front();
    }
}

void Stress::Flap(bool down) {
    if (!working_) return;
    emu::wire::LinkPartner& partner = adapter_.Device().Partner(1);
    if (down) {
        partner.Detach();
        ++account_.link_flaps;
        Queue().After(kFlapDownUs, "stress flap", [this] { Flap(false); });
    } else {
        // Every other time at half duplex only: the link monitor then rewrites register 0x01
        // while the filter sets write it too (the speed stays, so no frame is lost to it).
        partner.Attach(account_.link_flaps % 2 == 0 ? kAllAbilities : kHundredHalfOnly);
        Queue().After(kFlapEveryUs, "stress flap", [this] { Flap(true); });
        // Halfway, the partner changes its mind without dropping the link: a pass then
        // rewrites register 0x01 and nothing else.
        Queue().After(kFlapEveryUs / 2, "stress partner change", [this] {
            if (!working_) return;
            emu::wire::LinkPartner& now = adapter_.Device().Partner(1);
            if (now.Attached())
                now.SetAbility(account_.link_flaps % 2 == 0 ? kHundredHalfOnly : kAllAbilities);
        });
    }
}

// Stops the processors for a check of the device against the driver: only with every
// processor stopped can the Adapter be read without racing the driver's own writes.
void Stress::AgreementDue() {
    if (!working_) return;
    check_due_ = true;
    const uint64_t next = options_.link_flaps ? kFlapEveryUs + kFlapDownUs : kFlapEveryUs;
    Queue().After(next, "stress agreement", [this] { AgreementDue(); });
}

// Before each flap, with every processor stopped and no pass or request in flight, the device
// must run as the driver believes. A write that lands stale after a partner change stays
// until the next one, so this catches it where a check at the end of the run would not.
void Stress::CheckAgreement() {
    if (adapter_.Record()->LinkMonitorBusy != 0) return;
    const emu::ndis::Requests& requests = adapter_.Block().Request();
    if (requests.Outstanding() + requests.Queued() != 0) return;
    ++account_.agreement_checks;
    for (const std::string& disagreement : DeviceDriverDisagreements(adapter_))
        Problem(&account_, "device and driver disagree at " +
                               std::to_string(Queue().Now()) + " us: " + disagreement);
}

void Stress::OnWire(const std::vector<uint8_t>& frame) {
    std::optional<stress::FrameId> id = stress::Identify(frame);
    if (!id || id->stream >= kSenders) return;  // not the run's
    ++account_.on_wire;
    if (frame != stress::StreamFrame(qvtest::kPeerAddress, station_, options_.seed, id->stream,
                                     id->number))
        Problem(&account_, "sender " + std::to_string(id->stream) + " frame " +
                               std::to_string(id->number) + " reached the wire damaged");
    out_[id->stream].OnWire(id->number, &account_.problems);
}

void Stress::OnReceive(const std::vector<uint8_t>& frame) {
    std::optional<stress::FrameId> id = stress::Identify(frame);
    if (!id || id->stream != stress::kInStream) {
        Problem(&account_, "a frame nobody sent was indicated");
        return;
    }
    ++account_.indicated;
    if (frame != stress::StreamFrame(station_, qvtest::kPeerAddress, options_.seed,
                                     stress::kInStream, id->number))
        Problem(&account_, "received frame " + std::to_string(id->number) + " damaged");
    in_.Indicated(id->number, &account_.problems);
}

bool Stress::Stop(Clock::time_point end) {
    const Clock::time_point now = Clock::now();
    if (now - last_progress_ >= std::chrono::seconds(1)) {
        last_progress_ = now;
        const uint64_t rss = ResidentKib();
        account_.rss_peak_kib = std::max(account_.rss_peak_kib, rss);
        const auto run_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - started_);
        if (!early_taken_ && uint64_t(run_ms.count()) * 4 >= options_.real_ms) {
            account_.rss_early_kib = rss;
            early_taken_ = true;
        }
        account_.real_ms = run_ms.count();
        account_.virtual_us = Queue().Now();
        account_.verifier_reports = machine_.Check().Violations().size();
        account_.faults_injected = machine_.Bus().Faults().InjectedTotal();
        // A line a second for a short run, one every ten seconds for a long one.
        const uint64_t every = options_.real_ms >= 60'000 ? 10 : 1;
        if (options_.progress && ++samples_ % every == 0) options_.progress(account_);
    }
    return now >= end || check_due_;
}

void Stress::Finish(StressAccount* account) {
    CollectRequests(true);
    for (OutStream& stream : out_) stream.Finish(&account_.problems);
    StressAccount& a = account_;
    for (const OutStream& stream : out_) {
        a.lost_out += stream.Lost();
        a.send_failed += stream.Failed();
    }
    a.lost_in = a.injected - a.indicated;
    const emu::device::Controller& device = adapter_.Device();
    a.dropped_out = device.Port().no_carrier_out + device.TransmitCounters().disabled_drops;
    a.dropped_in = device.ReceiveDrops() + device.Port().no_carrier_in +
                   device.Received().disabled + device.Received().filtered +
                   device.Received().too_long;
    const uint64_t mismatched = device.Port().speed_mismatch;
    const uint64_t lost = a.lost_out + a.lost_in;
    const uint64_t dropped = a.dropped_out + a.dropped_in + mismatched;
    if (options_.fault_one_in == 0 ? lost != dropped : lost > dropped + a.faults_injected)
        Problem(&a, "frames lost: " + std::to_string(lost) + ", the controller dropped " +
                        std::to_string(dropped));
    if (in_.Skipped() + (a.injected - in_.Cursor()) != a.lost_in)
        Problem(&a, "frames toward NDIS do not add up");
    if (device.TransmitCounters().malformed != 0)
        Problem(&a, "the controller received malformed bulk-out transfers");
    if (options_.fault_one_in == 0 && a.xmit_ok != xmit_expected_)
        Problem(&a, "OID_GEN_XMIT_OK says " + std::to_string(a.xmit_ok) + ", " +
                        std::to_string(xmit_expected_) + " transfers were handed down");
    if (a.requests_failed != 0 && options_.fault_one_in == 0)
        Problem(&a, std::to_string(a.requests_failed) + " requests failed");
    a.cpus = account->cpus;
    a.items_run = account->items_run;
    *account = a;
}

ULONG QueryCounter(qvtest::RunningAdapter& adapter, NDIS_OID oid) {
    const auto r = adapter.Block().Request().Query(oid, 8);
    if (r.status != NDIS_STATUS_SUCCESS || r.bytes_done < 4) return 0;
    return r.buffer[0] | r.buffer[1] << 8 | r.buffer[2] << 16 | ULONG(r.buffer[3]) << 24;
}

}  // namespace

StressAccount RunStress(const StressOptions& options) {
    StressAccount account;
    account.cpus = options.cpus;
    emu::Machine machine;
    machine.Check().OnReport([](const emu::Violation& violation) {
        std::fprintf(stderr, "verifier: %s\n", emu::Describe(violation).c_str());
    });
    if (options.interleave) machine.Clock().Interleave({.seed = *options.interleave});
    qvtest::RunningAdapter adapter(machine);
    Stress stress(options, machine, adapter);
    stress.Watch();
    if (adapter.Start() != NDIS_STATUS_SUCCESS) {
        Problem(&account, "the adapter did not start");
        return account;
    }
    adapter.Run(3'000'000);  // auto-negotiation and the first link checks
    if (options.fault_one_in != 0) {
        // On the default pipe: the register reads and writes of the link monitor and of the
        // pended sets. A failed bulk transfer fails the adapter's data path by design, until
        // it is initialized again, so faults there would end the traffic rather than test it.
        emu::usb::RandomFaults faults;
        faults.seed = options.seed;
        faults.one_in = options.fault_one_in;
        faults.when = emu::usb::match::Endpoint(0);
        machine.Bus().Faults() = emu::usb::FaultPlan::Random(std::move(faults));
    }
    stress.StartWork();
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::milliseconds(options.real_ms);
    const uint64_t interleaved_before = machine.Clock().Interleaved();
    // The processors run until the end, stopping (all of them) for each agreement check.
    for (;;) {
        account.items_run +=
            machine.Clock().RunOnProcessors(options.cpus, [&] { return stress.Stop(end); });
        if (stress.TakeCheck()) stress.CheckAgreement();
        if (Clock::now() >= end) break;
    }
    stress.StopWork();
    if (!adapter.Device().Partner(1).Attached()) adapter.Device().Partner(1).Attach();
    stress.Account().faults_injected = machine.Bus().Faults().InjectedTotal();
    machine.Bus().Faults().Clear();
    adapter.Run(kDrainUs);
    adapter.RunUntilIdle();
    stress.ProveAlive();
    // Two more link-monitor passes: one to see the last partner, one to take its ability.
    adapter.Run(2 * kHangCheckPeriodUs);
    for (const std::string& disagreement : DeviceDriverDisagreements(adapter))
        Problem(&stress.Account(), "device and driver disagree: " + disagreement);
    stress.Account().xmit_ok = QueryCounter(adapter, OID_GEN_XMIT_OK);
    stress.Account().rcv_ok = QueryCounter(adapter, OID_GEN_RCV_OK);
    stress.Account().media_events = adapter.Edge().StatusIndications();
    stress.Finish(&account);
    account.real_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    account.virtual_us = machine.Clock().Now();
    account.interleaved = machine.Clock().Interleaved() - interleaved_before;
    if (account.rcv_ok != account.indicated)
        Problem(&account, "OID_GEN_RCV_OK says " + std::to_string(account.rcv_ok) +
                              ", the protocol received " + std::to_string(account.indicated));
    adapter.Halt();
    account.rss_end_kib = ResidentKib();
    account.rss_peak_kib = std::max(account.rss_peak_kib, account.rss_end_kib);
    account.verifier_reports = machine.Check().Violations().size();
    // Once warmed up, a long run holds what it needs and no more: memory stays flat.
    constexpr uint64_t kLongRunMs = 60'000;
    const uint64_t allowed = std::max<uint64_t>(16 * 1024, account.rss_early_kib / 4);
    if (options.real_ms >= kLongRunMs && account.rss_peak_kib > account.rss_early_kib + allowed)
        Problem(&account, "memory grew from " + std::to_string(account.rss_early_kib) +
                              " KiB after the first quarter to " +
                              std::to_string(account.rss_peak_kib) + " KiB");
    if (account.verifier_reports != 0)
        Problem(&account, std::to_string(account.verifier_reports) + " verifier reports");
    return account;
}

}  // namespace qvnet
