#include "tools/qvnet/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>

#include "core/adapter.h"
#include "emulator/device/controller.h"
#include "emulator/machine.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/protocol.h"
#include "emulator/ndis/requests.h"
#include "emulator/verifier/verifier.h"
#include "tests/support/harness/frames.h"
#include "tests/support/harness/running_adapter.h"
#include "emulator/ndis/ndis.h"
#include "tools/qvnet/frame_checker.h"
#include "tools/qvnet/oids.h"

namespace qvnet {

namespace {

// Room for any answer the driver gives.
constexpr ULONG kQueryRoom = 256;
// How often the progress hook hears of virtual time passing while the adapter only stays up.
constexpr uint64_t kProgressStepUs = 100'000;

std::string AddressText(const UCHAR* bytes) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1],
                  bytes[2], bytes[3], bytes[4], bytes[5]);
    return text;
}

void IssueSets(qvtest::RunningAdapter& adapter, const std::vector<SetRequest>& sets,
               RunReport* report) {
    for (const SetRequest& set : sets) {
        const auto r = adapter.Block().Request().Set(set.oid, set.bytes);
        // A count the miniport never wrote is reported as 0, as the command always has.
        auto count = [](ULONG value) {
            return value == emu::ndis::Requests::kNotWritten ? 0u : value;
        };
        report->sets.push_back(
            {set.name, set.oid, r.status, count(r.bytes_done), count(r.bytes_needed)});
    }
}

}  // namespace

void QueryEveryOid(qvtest::RunningAdapter& adapter, RunReport* report) {
    for (const NamedOid& named : QueriedOids()) {
        const auto r = adapter.Block().Request().Query(named.oid, kQueryRoom);
        OidAnswer answer{named.name, named.oid, r.status, {}};
        if (r.status == NDIS_STATUS_SUCCESS) {
            answer.bytes.assign(r.buffer.begin(), r.buffer.begin() + r.bytes_done);
        }
        report->oids.push_back(std::move(answer));
    }
}

namespace {

// The adapter's life as the --at usb= and system= steps shape it: each step taken at its
// virtual time, what it did noted as events, and the frame checker told of each halt.
class Lifecycle {
public:
    Lifecycle(qvtest::RunningAdapter& adapter, const RunOptions& options, RunReport* report,
              FrameChecker& checker)
        : adapter_(adapter), steps_(options.life), report_(report), checker_(checker) {}

    // The checker hears of every indication and failed send of the adapter now running.
    void Attach() {
        FrameChecker& checker = checker_;
        adapter_.Edge().OnReceive([&checker](const emu::ndis::Protocol::Receive& receive) {
            checker.Indicated(receive.bytes);
        });
        adapter_.Edge().OnSendComplete(
            [&checker](const emu::ndis::Protocol::SendCompletion& completion) {
                if (completion.status != NDIS_STATUS_SUCCESS) checker.SendFailed(completion.packet);
            });
    }

    bool StepsLeft() const { return next_ < steps_.size(); }
    uint64_t NextStepUs() const { return steps_[next_].time_us; }

    // Runs virtual time to `until_us`, taking each step due on the way at its time.
    void RunTo(uint64_t until_us) {
        while (StepsLeft() && NextStepUs() <= until_us) {
            if (NextStepUs() > adapter_.Now()) adapter_.Run(NextStepUs() - adapter_.Now());
            Take(steps_[next_++]);
        }
        if (until_us > adapter_.Now()) adapter_.Run(until_us - adapter_.Now());
    }

    // What the devices unplugged so far would have woken the host for.
    const std::vector<WakeRecord>& EarlierWakeEvents() const { return earlier_wakes_; }

private:
    void Note(const char* event, std::optional<int32_t> status = std::nullopt) {
        report_->events.push_back({adapter_.Now(), event, status});
    }
    // When MiniportInitialize returned, before the protocol bound.
    void NoteInitialize(NDIS_STATUS status) {
        report_->events.push_back({adapter_.InitializedAt(), "initialize", status});
    }

    // The last adapter's link is the one reported; its frames toward NDIS end here.
    void BeforeHalt() { report_->link = LinkOf(adapter_); }
    void AfterHalt() {
        Note("halt");
        checker_.Halted(adapter_.ReceiveDrops());
    }

    void Take(const LifeStep& step) {
        const bool running = adapter_.Running();
        switch (step.kind) {
            case LifeStep::Kind::Unplug: {
                Note("unplug");
                if (running) BeforeHalt();
                const std::vector<WakeRecord> wakes = WakeEventsOf(adapter_.Device());
                earlier_wakes_.insert(earlier_wakes_.end(), wakes.begin(), wakes.end());
                adapter_.Unplug();
                if (running) AfterHalt();
                halted_for_sleep_ = false;
                break;
            }
            case LifeStep::Kind::Plug: {
                Note("plug");
                const NDIS_STATUS status = adapter_.Replug();
                NoteInitialize(status);
                if (status == NDIS_STATUS_SUCCESS) Attach();
                break;
            }
            case LifeStep::Kind::Sleep:
                Note("sleep");
                if (running) BeforeHalt();
                adapter_.Sleep();
                if (running && !adapter_.Running()) {
                    AfterHalt();
                    halted_for_sleep_ = true;
                }
                break;
            case LifeStep::Kind::Wake: {
                Note("wake");
                const NDIS_STATUS status = adapter_.Wake();
                if (halted_for_sleep_) {
                    NoteInitialize(status);
                    if (status == NDIS_STATUS_SUCCESS) Attach();
                }
                halted_for_sleep_ = false;
                break;
            }
        }
    }

    qvtest::RunningAdapter& adapter_;
    std::vector<LifeStep> steps_;
    size_t next_ = 0;
    RunReport* report_;
    FrameChecker& checker_;
    bool halted_for_sleep_ = false;
    std::vector<WakeRecord> earlier_wakes_;
};

// Frames both ways, one each way every interval, lengths drawn from the range with the seed;
// while no adapter runs, the frames of that interval are skipped both ways. The life steps
// due meanwhile and after are taken, then the last frames may cross.
void MoveFrames(qvtest::RunningAdapter& adapter, const RunOptions& options, RunReport* report,
                const ProgressHook& progress, FrameChecker& checker, Lifecycle& life) {
    std::mt19937 random(options.seed);
    std::uniform_int_distribution<size_t> length(options.size_min, options.size_max);
    const qvtest::MacAddress station = adapter.StationAddress();
    adapter.KeepRecords(false);
    adapter.AddWireSink([&checker](const emu::wire::Frame& frame, emu::wire::Direction way) {
        if (way == emu::wire::Direction::FromController) checker.OnWire(frame.bytes);
    });
    life.Attach();
    for (unsigned i = 0; i < options.frames; ++i) {
        std::vector<uint8_t> out =
            qvtest::MakeFrame(qvtest::kPeerAddress, station, length(random), 2 * i);
        std::vector<uint8_t> in =
            qvtest::MakeFrame(station, qvtest::kPeerAddress, length(random), 2 * i + 1);
        if (adapter.Running()) {
            // Known before the send: a send that fails at once completes inside it.
            checker.Sent(adapter.Edge().NextPacketId(), out);
            checker.Injected(in);
            adapter.Send(out);
            adapter.Inject(std::move(in));
            report->frames.sent += 1;
            report->frames.injected += 1;
        } else {
            report->frames.skipped += 1;
        }
        life.RunTo(adapter.Now() + options.interval_us);
        if (progress) progress(*report, adapter.Now());
    }
    while (life.StepsLeft()) life.RunTo(life.NextStepUs());
    adapter.RunUntilIdle();
    checker.Finish(adapter.ReceiveDrops(), &report->frames);
}

void StayUp(qvtest::RunningAdapter& adapter, Lifecycle& life, uint64_t until_us,
            RunReport* report, const ProgressHook& progress) {
    while (adapter.Now() < until_us) {
        life.RunTo(adapter.Now() + std::min(kProgressStepUs, until_us - adapter.Now()));
        if (progress) progress(*report, adapter.Now());
    }
}

}  // namespace

std::vector<WakeRecord> WakeEventsOf(emu::device::Controller& device) {
    std::vector<WakeRecord> records;
    for (const emu::device::WakeEvent& event : device.WakeEvents()) {
        std::string reason = event.reason == emu::device::WakeReason::kFrameSlot
                                 ? "frame slot " + std::to_string(event.slot)
                             : event.reason == emu::device::WakeReason::kMagicPacket
                                 ? "magic packet"
                                 : "link change";
        records.push_back({event.time_us, reason});
    }
    return records;
}

qvtest::AdapterOptions AdapterOptionsFor(const RunOptions& options, emu::Machine& machine) {
    qvtest::AdapterOptions adapter;
    // Every controller plugged in is built the same; the timed changes are scheduled once,
    // for whichever controller is in the port when they fall due.
    auto scheduled = std::make_shared<bool>(false);
    adapter.prepare_device = [&options, &machine, scheduled](emu::device::Controller& device) {
        PrepareController(options.device, device);
        if (*scheduled) return;
        *scheduled = true;
        for (const TimedChange& change : options.changes) ScheduleChange(machine, change);
    };
    adapter.complete_at_once = options.complete_at_once;
    adapter.station_address = options.device.eeprom_address;
    ApplyToTopology(options.device, &adapter.identity.topology);
    for (const auto& [keyword, value] : options.params) {
        if (keyword == "TxPacketDesc") {
            adapter.tx_descriptors = value;
        } else if (keyword == "RxPacketDesc") {
            adapter.rx_descriptors = value;
        } else {
            adapter.keywords.emplace_back(keyword, value);
        }
    }
    adapter.network_address = options.network_address;
    return adapter;
}

void PrepareMachine(emu::Machine& machine, const RunOptions& options) {
    machine.Check().OnReport([](const emu::Violation& violation) {
        std::fprintf(stderr, "verifier: %s\n", emu::Describe(violation).c_str());
    });
    qvtest::ApplySchedule(machine, options.schedule);
}

void RecordStart(qvtest::RunningAdapter& adapter, NDIS_STATUS status, RunReport* report) {
    report->start_status = status;
    report->started = status == NDIS_STATUS_SUCCESS;
    report->initialized_at_us = adapter.InitializedAt();
    if (!report->started) return;
    const Adapter* record = adapter.Record();
    report->permanent_address = AddressText(record->PermanentAddress);
    report->current_address = AddressText(record->CurrentAddress);
    report->tx_descriptors = record->TxDescCount;
    report->rx_descriptors = record->RxDescCount;
    report->link_after_start = LinkOf(adapter);
}

void RecordEnd(qvtest::RunningAdapter& adapter, emu::Machine& machine,
               std::chrono::steady_clock::time_point wall_start, RunReport* report) {
    if (report->started) {
        const bool running = adapter.Running();
        if (running) report->link = LinkOf(adapter);
        const std::vector<WakeRecord> wakes = WakeEventsOf(adapter.Device());
        report->wake_events.insert(report->wake_events.end(), wakes.begin(), wakes.end());
        report->media_events = MediaEventsOf(adapter);
        // As when the device goes away: NDIS halts the adapter, then the driver is unloaded.
        report->unloaded = adapter.RemoveAndUnload();
        report->halted_at_us = adapter.Now();
        if (running) report->events.push_back({report->halted_at_us, "halt", std::nullopt});
        AddResets(machine, report);
    }
    report->verifier_reports = VerifierReports(machine);
    report->interleaved = machine.Clock().Interleaved();
    report->boundaries = machine.Clock().Boundaries();
    report->virtual_time_us = adapter.Now();
    report->wall_time_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    report->ok = report->started && report->frames.intact_in_order && report->unloaded &&
                 report->verifier_reports.empty();
}

void AddResets(emu::Machine& machine, RunReport* report) {
    for (emu::ndis::Miniport* block : machine.Ndis().Adapters()) {
        for (const emu::ndis::Miniport::Reset& reset : block->ResetLog()) {
            report->events.push_back(
                {reset.started_us, "reset",
                 reset.completed ? std::optional<int32_t>(reset.status) : std::nullopt});
        }
    }
    std::stable_sort(report->events.begin(), report->events.end(),
                     [](const LifeEvent& a, const LifeEvent& b) { return a.t_us < b.t_us; });
}

LinkState LinkOf(qvtest::RunningAdapter& adapter) {
    LinkState link;
    const Adapter* record = adapter.Record();
    if (record == nullptr) return link;
    link.connected = record->MediaState == MediaConnected;
    link.speed_mbps = record->LinkSpeed == 2 ? 100 : 10;
    link.duplex = record->DuplexMode == 2 ? "full" : "half";
    link.active_phy = record->ActivePhy;
    return link;
}

std::vector<MediaEvent> MediaEventsOf(qvtest::RunningAdapter& adapter) {
    // Every adapter's, an unplugged one's and the one plugged in after it alike.
    std::vector<MediaEvent> events;
    for (emu::ndis::Miniport* block : adapter.Host().Ndis().Adapters()) {
        for (const auto& indication : block->Edge().Statuses()) {
            if (indication.complete) continue;
            if (indication.status == NDIS_STATUS_MEDIA_CONNECT ||
                indication.status == NDIS_STATUS_MEDIA_DISCONNECT) {
                events.push_back({indication.time_us, indication.status});
            }
        }
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const MediaEvent& a, const MediaEvent& b) { return a.t_us < b.t_us; });
    return events;
}

std::vector<std::string> VerifierReports(emu::Machine& machine) {
    std::vector<std::string> reports;
    for (const emu::Violation& violation : machine.Check().Violations()) {
        reports.push_back(emu::Describe(violation));
    }
    return reports;
}

RunReport Run(const RunOptions& options, const AttachHook& attach,
              const ProgressHook& progress) {
    const auto wall_start = std::chrono::steady_clock::now();
    RunReport report;
    report.frames_asked = options.frames;
    FrameChecker checker;
    emu::Machine machine;
    PrepareMachine(machine, options);
    qvtest::RunningAdapter adapter(machine, AdapterOptionsFor(options, machine));
    if (attach) attach(adapter);
    Lifecycle life(adapter, options, &report, checker);

    report.events.push_back({adapter.Now(), "plug", std::nullopt});
    const NDIS_STATUS start = adapter.Start();
    report.events.push_back({adapter.InitializedAt(), "initialize", start});
    RecordStart(adapter, start, &report);
    if (report.started) {
        IssueSets(adapter, options.sets, &report);
        MoveFrames(adapter, options, &report, progress, checker, life);
        if (adapter.Running()) QueryEveryOid(adapter, &report);
        if (options.up_for_us) {
            StayUp(adapter, life, report.initialized_at_us + *options.up_for_us, &report,
                   progress);
        }
        const std::vector<WakeRecord>& earlier = life.EarlierWakeEvents();
        report.wake_events.assign(earlier.begin(), earlier.end());
    }
    RecordEnd(adapter, machine, wall_start, &report);
    // Every frame asked for is accounted for: handed over or skipped, and each one handed
    // over on the wire or failed back by NDIS.
    const FrameCounts& f = report.frames;
    report.ok = report.ok && f.sent == f.on_wire + f.send_failed &&
                f.sent + f.skipped == report.frames_asked;
    return report;
}

}  // namespace qvnet
