#include "tools/qvnet/run.h"

#include <chrono>
#include <deque>
#include <cstdio>
#include <random>

#include "driver/adapter.h"
#include "emulator/device/controller.h"
#include "emulator/machine.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/protocol.h"
#include "emulator/ndis/requests.h"
#include "emulator/verifier/verifier.h"
#include "tests/support/harness/frames.h"
#include "tests/support/harness/running_adapter.h"
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

// Checks frames as they arrive against those still in flight, so that a run of any length
// keeps only the frames not yet seen. Frames toward the wire must arrive all, in order;
// frames toward NDIS may be missing only where the controller's FIFO dropped them.
class FrameChecker {
public:
    void Sent(std::vector<uint8_t> frame) { to_wire_.push_back(std::move(frame)); }
    void Injected(std::vector<uint8_t> frame) { to_ndis_.push_back(std::move(frame)); }

    void OnWire(const std::vector<uint8_t>& frame) {
        ++on_wire_;
        if (to_wire_.empty() || to_wire_.front() != frame) {
            damaged_ = true;
            return;
        }
        to_wire_.pop_front();
    }

    void Indicated(const std::vector<uint8_t>& frame) {
        ++indicated_;
        while (!to_ndis_.empty() && to_ndis_.front() != frame) {
            to_ndis_.pop_front();
            ++skipped_;
        }
        if (to_ndis_.empty()) {
            damaged_ = true;
            return;
        }
        to_ndis_.pop_front();
    }

    void Finish(uint64_t dropped_by_controller, FrameCounts* counts) const {
        counts->on_wire = on_wire_;
        counts->indicated = indicated_;
        counts->dropped_by_controller = dropped_by_controller;
        counts->intact_in_order = !damaged_ && to_wire_.empty() &&
                                  skipped_ + to_ndis_.size() == dropped_by_controller &&
                                  counts->indicated + dropped_by_controller == counts->injected;
    }

private:
    std::deque<std::vector<uint8_t>> to_wire_;
    std::deque<std::vector<uint8_t>> to_ndis_;
    uint64_t on_wire_ = 0;
    uint64_t indicated_ = 0;
    uint64_t skipped_ = 0;  // passed over by a later indication
    bool damaged_ = false;  // a frame arrived that was not the next one expected
};

// Frames both ways, one each way every interval, lengths drawn from the range with the seed.
// Checker outlives the adapter: the wire hands it every frame the controller sends.
void MoveFrames(qvtest::RunningAdapter& adapter, const RunOptions& options, RunReport* report,
                const ProgressHook& progress, FrameChecker& checker) {
    std::mt19937 random(options.seed);
    std::uniform_int_distribution<size_t> length(options.size_min, options.size_max);
    const qvtest::MacAddress station = adapter.StationAddress();
    adapter.KeepRecords(false);
    adapter.AddWireSink([&checker](const emu::wire::Frame& frame, emu::wire::Direction way) {
        if (way == emu::wire::Direction::FromController) checker.OnWire(frame.bytes);
    });
    adapter.Edge().OnReceive(
        [&checker](const emu::ndis::Protocol::Receive& receive) {
            checker.Indicated(receive.bytes);
        });
    for (unsigned i = 0; i < options.frames; ++i) {
        std::vector<uint8_t> out =
            qvtest::MakeFrame(qvtest::kPeerAddress, station, length(random), 2 * i);
        std::vector<uint8_t> in =
            qvtest::MakeFrame(station, qvtest::kPeerAddress, length(random), 2 * i + 1);
        checker.Sent(out);
        checker.Injected(in);
        adapter.Send(out);
        adapter.Inject(std::move(in));
        adapter.Run(options.interval_us);
        report->frames.sent = report->frames.injected = i + 1;
        if (progress) progress(*report, adapter.Now());
    }
    adapter.RunUntilIdle();
    adapter.Edge().OnReceive({});
    checker.Finish(adapter.Device().ReceiveDrops(), &report->frames);
}

void StayUp(qvtest::RunningAdapter& adapter, uint64_t until_us, RunReport* report,
            const ProgressHook& progress) {
    while (adapter.Now() < until_us) {
        adapter.Run(std::min(kProgressStepUs, until_us - adapter.Now()));
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
    adapter.prepare_device = [&options, &machine](emu::device::Controller& device) {
        PrepareController(options.device, device);
        for (const TimedChange& change : options.changes) {
            ScheduleChange(machine, device, change);
        }
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
    report->initialized_at_us = adapter.Now();
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
        report->link = LinkOf(adapter);
        report->wake_events = WakeEventsOf(adapter.Device());
        report->media_events = MediaEventsOf(adapter);
        // As when the device goes away: NDIS halts the adapter, then the driver is unloaded.
        report->unloaded = adapter.RemoveAndUnload();
        report->halted_at_us = adapter.Now();
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
    std::vector<MediaEvent> events;
    for (const auto& indication : adapter.Edge().Statuses()) {
        if (indication.complete) continue;
        if (indication.status == NDIS_STATUS_MEDIA_CONNECT ||
            indication.status == NDIS_STATUS_MEDIA_DISCONNECT) {
            events.push_back({indication.time_us, indication.status});
        }
    }
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
    FrameChecker checker;
    emu::Machine machine;
    PrepareMachine(machine, options);
    qvtest::RunningAdapter adapter(machine, AdapterOptionsFor(options, machine));
    if (attach) attach(adapter);

    RecordStart(adapter, adapter.Start(), &report);
    if (report.started) {
        IssueSets(adapter, options.sets, &report);
        MoveFrames(adapter, options, &report, progress, checker);
        QueryEveryOid(adapter, &report);
        if (options.up_for_us) {
            StayUp(adapter, report.initialized_at_us + *options.up_for_us, &report, progress);
        }
    }
    RecordEnd(adapter, machine, wall_start, &report);
    return report;
}

}  // namespace qvnet
