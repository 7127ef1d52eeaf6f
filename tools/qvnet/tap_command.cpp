#include "tools/qvnet/tap_command.h"

#include <chrono>
#include <cstdio>

#include "emulator/machine.h"
#include "emulator/ndis/protocol.h"
#include "tests/support/harness/running_adapter.h"
#include "tools/qvnet/run.h"
#include "tools/qvnet/tap/tap_bridge.h"

namespace qvnet {

namespace {

TapCounts CountsOf(const qvtap::TapBridgeResult& r) {
    TapCounts c;
    c.host_frames_out = r.host_frames_out;
    c.host_bytes_out = r.host_bytes_out;
    c.host_frames_in = r.host_frames_in;
    c.host_bytes_in = r.host_bytes_in;
    c.host_frames_filtered = r.host_frames_filtered;
    c.wire_frames_out = r.wire_frames_out;
    c.wire_bytes_out = r.wire_bytes_out;
    c.wire_frames_in = r.wire_frames_in;
    c.wire_bytes_in = r.wire_bytes_in;
    c.send_failures = r.send_failures;
    c.host_write_drops = r.host_write_drops;
    c.wire_write_drops = r.wire_write_drops;
    c.arp_replies = r.arp_replies;
    c.echo_replies = r.echo_replies;
    c.real_seconds = r.real_seconds;
    return c;
}

// In the run's terms: sent = handed to the driver, on_wire = the controller sent, injected =
// put on the cable toward it, indicated = the driver indicated (whether or not the binding's
// filter then passed it to the host). Every frame Linux handed the
// driver must have reached the cable; frames toward the controller may be filtered out (by
// address) or dropped in its FIFO, so only the send side can be held to "intact".
FrameCounts FramesOf(const qvtap::TapBridgeResult& r) {
    FrameCounts f;
    f.sent = r.host_frames_out;
    f.on_wire = r.wire_frames_out;
    f.injected = r.wire_frames_in;
    f.indicated = r.host_frames_in + r.host_frames_filtered;  // the binding's filter took some
    f.dropped_by_controller = r.receive_fifo_drops;
    f.intact_in_order = r.send_failures == 0 && f.on_wire == f.sent;
    return f;
}

}  // namespace

RunReport RunTap(const RunOptions& options, const TapOptions& tap, Captures& captures,
                 std::string* error) {
    const auto wall_start = std::chrono::steady_clock::now();
    RunReport report;
    qvtap::TapBridgeOptions bridge;
    bridge.ifname = tap.ifname;
    bridge.wire_ifname = tap.wire_ifname;
    bridge.up_for_us = options.up_for_us;  // the bridge starts as soon as the adapter runs
    // The interfaces first: when they cannot be made, nothing has run.
    std::optional<qvtap::TapInterfaces> interfaces = qvtap::OpenTapInterfaces(bridge, error);
    if (!interfaces) return report;

    emu::Machine machine;
    PrepareMachine(machine, options);
    qvtest::RunningAdapter adapter(machine, AdapterOptionsFor(options, machine));
    captures.Attach(adapter);

    RecordStart(adapter, adapter.Start(), &report);
    if (report.started) {
        bridge.stop = qvtap::InstallStopOnSignals();
        const qvtap::TapBridgeResult result =
            qvtap::RunTapBridge(adapter, bridge, std::move(*interfaces));
        if (!result.error.empty()) {
            *error = result.error;
            adapter.Halt();
            return report;
        }
        report.tap = CountsOf(result);
        report.frames = FramesOf(result);
        QueryEveryOid(adapter, &report);
    }
    RecordEnd(adapter, machine, wall_start, &report);
    return report;
}

}  // namespace qvnet
