// Real Linux traffic through the driver: the driver's host side is bridged to a TAP
// interface, the far end of the emulated cable to a second TAP interface or to a built-in
// ARP/ICMP responder, and virtual time is paced to real time, so that what Linux sends
// (ping, iperf3) crosses the driver and the emulated bus at the bus's real speed.
#pragma once

#include <csignal>
#include <cstdint>
#include <optional>
#include <string>

#include "emulator/wire/responder.h"
#include "emulator/wire/tap_device.h"
#include "tests/support/harness/running_adapter.h"

namespace qvtap {

struct TapBridgeOptions {
    // The interface the host's stack sees as the adapter; it takes the adapter's station
    // address.
    std::string ifname = "qvnet0";
    // The far end of the cable as a second interface; unset, the responder stands there.
    std::optional<std::string> wire_ifname;
    emu::wire::HardwareAddress responder_address = {0x02, 0x51, 0x56, 0x00, 0x00, 0xFE};
    emu::wire::Ipv4Address responder_ip = {192, 168, 213, 2};
    // Stops once this much virtual time has passed; unset, only `stop` ends the run.
    std::optional<uint64_t> up_for_us;
    // Set (by a signal handler, see InstallStopOnSignals) to end the run.
    const volatile std::sig_atomic_t* stop = nullptr;
};

struct TapBridgeResult {
    std::string error;  // empty when the bridge ran; else why it could not start
    // Host TAP -> driver (handed to MiniportSend) and driver -> host TAP (indicated, written).
    uint64_t host_frames_out = 0, host_bytes_out = 0;
    uint64_t host_frames_in = 0, host_bytes_in = 0;
    // Indicated by the driver but turned away by the binding's filter (another station's
    // address, a group the host has not joined): the host never sees them.
    uint64_t host_frames_filtered = 0;
    // Controller -> far end, and far end -> controller.
    uint64_t wire_frames_out = 0, wire_bytes_out = 0;
    uint64_t wire_frames_in = 0, wire_bytes_in = 0;
    // Sends the driver completed with a failure; frames a TAP did not take (interface down or
    // its queue full); frames the controller's receive FIFO had no room for.
    uint64_t send_failures = 0;
    uint64_t host_write_drops = 0, wire_write_drops = 0;
    uint64_t receive_fifo_drops = 0;
    // The responder's answers (zero with a wire TAP).
    uint64_t arp_replies = 0, echo_replies = 0;
    uint64_t virtual_us = 0;     // virtual time the bridge ran
    double real_seconds = 0;     // real time it ran
};

// Installs SIGINT and SIGTERM handlers that set the returned flag (for TapBridgeOptions::stop).
const volatile std::sig_atomic_t* InstallStopOnSignals();

// The interfaces a bridge moves frames between: the host side, and the far end unless the
// responder stands there.
struct TapInterfaces {
    emu::wire::TapDevice host;
    std::optional<emu::wire::TapDevice> far_end;
};

// Creates the interfaces the options name, before anything runs; nullopt with `error`
// naming the interface when one cannot be made (no CAP_NET_ADMIN, no /dev/net/tun, a name
// in use).
std::optional<TapInterfaces> OpenTapInterfaces(const TapBridgeOptions& options,
                                               std::string* error);

// Moves frames until `stop` is set or `up_for_us` has passed. The host interface takes the
// adapter's station address. The adapter must be running; it keeps no per-frame records from
// here on (RunningAdapter::KeepRecords(false)), and it is left running for the caller to halt.
TapBridgeResult RunTapBridge(qvtest::RunningAdapter& adapter, const TapBridgeOptions& options,
                             TapInterfaces interfaces);

}  // namespace qvtap
