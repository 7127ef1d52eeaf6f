// qvnet: hosts the driver on the emulated controller. It loads the driver, plugs in the
// controller, starts it through PnP with the configuration the driver's INF installs, moves
// frames both ways, halts the adapter and reports what happened, with the verifier's verdict.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "driver/adapter.h"
#include "emulator/device/controller.h"
#include "emulator/machine.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/requests.h"
#include "emulator/verifier/verifier.h"
#include "tests/support/harness/frames.h"
#include "tests/support/harness/running_adapter.h"
#include "tests/support/harness/schedule.h"

namespace {

struct Options {
    unsigned frames = 200;
    unsigned seed = 1;
    bool complete_at_once = false;
    // Unset, the counts are those the driver's INF installs.
    std::optional<unsigned> tx_descriptors;
    std::optional<unsigned> rx_descriptors;
    unsigned interval_us = 2000;
    qvtest::ScheduleOptions schedule;
};

std::string Hex(const qvtest::MacAddress& address) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", address[0], address[1],
                  address[2], address[3], address[4], address[5]);
    return text;
}

// The link as the driver's bring-up left it: media state, speed and duplex, and the PHY.
std::string DescribeLink(const Adapter& record) {
    char text[80];
    if (record.MediaState != MediaConnected) {
        std::snprintf(text, sizeof text, "disconnected (PHY %u)", record.ActivePhy);
    } else {
        std::snprintf(text, sizeof text, "connected, %s Mb/s %s duplex (PHY %u)",
                      record.LinkSpeed == 2 ? "100" : "10",
                      record.DuplexMode == 2 ? "full" : "half", record.ActivePhy);
    }
    return text;
}

struct NamedOid {
    NDIS_OID oid;
    const char* name;
};

// The supported list in its order, then the OIDs the driver refuses outright.
constexpr NamedOid kOids[] = {
    {OID_GEN_SUPPORTED_LIST, "OID_GEN_SUPPORTED_LIST"},
    {OID_GEN_HARDWARE_STATUS, "OID_GEN_HARDWARE_STATUS"},
    {OID_GEN_MEDIA_SUPPORTED, "OID_GEN_MEDIA_SUPPORTED"},
    {OID_GEN_MEDIA_IN_USE, "OID_GEN_MEDIA_IN_USE"},
    {OID_GEN_MAXIMUM_LOOKAHEAD, "OID_GEN_MAXIMUM_LOOKAHEAD"},
    {OID_GEN_MAXIMUM_FRAME_SIZE, "OID_GEN_MAXIMUM_FRAME_SIZE"},
    {OID_GEN_MAXIMUM_TOTAL_SIZE, "OID_GEN_MAXIMUM_TOTAL_SIZE"},
    {OID_GEN_MAC_OPTIONS, "OID_GEN_MAC_OPTIONS"},
    {OID_GEN_PROTOCOL_OPTIONS, "OID_GEN_PROTOCOL_OPTIONS"},
    {OID_GEN_LINK_SPEED, "OID_GEN_LINK_SPEED"},
    {OID_GEN_TRANSMIT_BUFFER_SPACE, "OID_GEN_TRANSMIT_BUFFER_SPACE"},
    {OID_GEN_RECEIVE_BUFFER_SPACE, "OID_GEN_RECEIVE_BUFFER_SPACE"},
    {OID_GEN_TRANSMIT_BLOCK_SIZE, "OID_GEN_TRANSMIT_BLOCK_SIZE"},
    {OID_GEN_RECEIVE_BLOCK_SIZE, "OID_GEN_RECEIVE_BLOCK_SIZE"},
    {OID_GEN_VENDOR_ID, "OID_GEN_VENDOR_ID"},
    {OID_GEN_VENDOR_DESCRIPTION, "OID_GEN_VENDOR_DESCRIPTION"},
    {OID_GEN_DRIVER_VERSION, "OID_GEN_DRIVER_VERSION"},
    {OID_GEN_CURRENT_PACKET_FILTER, "OID_GEN_CURRENT_PACKET_FILTER"},
    {OID_GEN_CURRENT_LOOKAHEAD, "OID_GEN_CURRENT_LOOKAHEAD"},
    {OID_GEN_XMIT_OK, "OID_GEN_XMIT_OK"},
    {OID_GEN_RCV_OK, "OID_GEN_RCV_OK"},
    {OID_GEN_XMIT_ERROR, "OID_GEN_XMIT_ERROR"},
    {OID_GEN_RCV_ERROR, "OID_GEN_RCV_ERROR"},
    {OID_GEN_RCV_NO_BUFFER, "OID_GEN_RCV_NO_BUFFER"},
    {OID_GEN_RCV_CRC_ERROR, "OID_GEN_RCV_CRC_ERROR"},
    {OID_GEN_MEDIA_CONNECT_STATUS, "OID_GEN_MEDIA_CONNECT_STATUS"},
    {OID_GEN_VENDOR_DRIVER_VERSION, "OID_GEN_VENDOR_DRIVER_VERSION"},
    {OID_GEN_MAXIMUM_SEND_PACKETS, "OID_GEN_MAXIMUM_SEND_PACKETS"},
    {OID_802_3_PERMANENT_ADDRESS, "OID_802_3_PERMANENT_ADDRESS"},
    {OID_802_3_CURRENT_ADDRESS, "OID_802_3_CURRENT_ADDRESS"},
    {OID_802_3_MULTICAST_LIST, "OID_802_3_MULTICAST_LIST"},
    {OID_802_3_MAXIMUM_LIST_SIZE, "OID_802_3_MAXIMUM_LIST_SIZE"},
    {OID_802_3_RCV_ERROR_ALIGNMENT, "OID_802_3_RCV_ERROR_ALIGNMENT"},
    {OID_802_3_XMIT_ONE_COLLISION, "OID_802_3_XMIT_ONE_COLLISION"},
    {OID_802_3_XMIT_MORE_COLLISIONS, "OID_802_3_XMIT_MORE_COLLISIONS"},
    {OID_802_3_XMIT_DEFERRED, "OID_802_3_XMIT_DEFERRED"},
    {OID_802_3_XMIT_MAX_COLLISIONS, "OID_802_3_XMIT_MAX_COLLISIONS"},
    {OID_802_3_RCV_OVERRUN, "OID_802_3_RCV_OVERRUN"},
    {OID_802_3_XMIT_UNDERRUN, "OID_802_3_XMIT_UNDERRUN"},
    {OID_PNP_SET_POWER, "OID_PNP_SET_POWER"},
    {OID_PNP_QUERY_POWER, "OID_PNP_QUERY_POWER"},
    {OID_PNP_ADD_WAKE_UP_PATTERN, "OID_PNP_ADD_WAKE_UP_PATTERN"},
    {OID_PNP_REMOVE_WAKE_UP_PATTERN, "OID_PNP_REMOVE_WAKE_UP_PATTERN"},
    {OID_PNP_ENABLE_WAKE_UP, "OID_PNP_ENABLE_WAKE_UP"},
    {OID_GEN_SUPPORTED_GUIDS, "OID_GEN_SUPPORTED_GUIDS"},
    {OID_TCP_TASK_OFFLOAD, "OID_TCP_TASK_OFFLOAD"},
    {OID_TCP_TASK_IPSEC_ADD_SA, "OID_TCP_TASK_IPSEC_ADD_SA"},
    {OID_TCP_TASK_IPSEC_DELETE_SA, "OID_TCP_TASK_IPSEC_DELETE_SA"},
    {OID_PNP_CAPABILITIES, "OID_PNP_CAPABILITIES"},
};

const char* StatusText(NDIS_STATUS status) {
    switch (status) {
    case NDIS_STATUS_SUCCESS: return "NDIS_STATUS_SUCCESS";
    case NDIS_STATUS_INVALID_OID: return "NDIS_STATUS_INVALID_OID";
    case NDIS_STATUS_NOT_SUPPORTED: return "NDIS_STATUS_NOT_SUPPORTED";
    case NDIS_STATUS_INVALID_LENGTH: return "NDIS_STATUS_INVALID_LENGTH";
    default: return "NDIS_STATUS_FAILURE";
    }
}

// Every OID queried with room for any answer: its status and the answer's bytes in hex (a
// text answer also as text).
void PrintQueries(qvtest::RunningAdapter& adapter) {
    constexpr ULONG kRoom = 256;
    std::printf("queries:\n");
    for (const NamedOid& named : kOids) {
        const auto r = adapter.Block().Request().Query(named.oid, kRoom);
        std::printf("  %-32s %s", named.name, StatusText(r.status));
        if (r.status == NDIS_STATUS_SUCCESS) {
            std::printf(" ");
            for (ULONG i = 0; i < r.bytes_done; ++i) std::printf("%02x", r.buffer[i]);
            if (named.oid == OID_GEN_VENDOR_DESCRIPTION && r.bytes_done > 0) {
                std::printf(" \"%s\"", reinterpret_cast<const char*>(r.buffer.data()));
            }
        }
        std::printf("\n");
    }
}

// What the controller would have woken the host for while the adapter ran.
void PrintWakeEvents(emu::device::Controller& device) {
    const auto& events = device.WakeEvents();
    std::printf("wake: %zu event(s) the controller would have woken the host for\n",
                events.size());
    for (const emu::device::WakeEvent& event : events) {
        const char* reason = event.reason == emu::device::WakeReason::kFrameSlot ? "frame slot"
                             : event.reason == emu::device::WakeReason::kMagicPacket
                                 ? "magic packet"
                                 : "link change";
        std::printf("      at %.6f s: %s", static_cast<double>(event.time_us) / 1e6, reason);
        if (event.slot >= 0) std::printf(" %d", event.slot);
        std::printf("\n");
    }
}

// How many of `expected` arrived, byte-exact and in order, as the first frames of `seen`.
size_t MatchingPrefix(const std::vector<std::vector<uint8_t>>& expected,
                      const std::vector<std::vector<uint8_t>>& seen) {
    size_t n = 0;
    while (n < expected.size() && n < seen.size() && expected[n] == seen[n]) ++n;
    return n;
}

int Run(const Options& options) {
    emu::Machine machine;
    machine.Check().OnReport([](const emu::Violation& violation) {
        std::fprintf(stderr, "verifier: %s\n", emu::Describe(violation).c_str());
    });
    qvtest::ApplySchedule(machine, options.schedule);

    qvtest::AdapterOptions adapter_options;
    adapter_options.complete_at_once = options.complete_at_once;
    if (options.tx_descriptors) adapter_options.tx_descriptors = *options.tx_descriptors;
    if (options.rx_descriptors) adapter_options.rx_descriptors = *options.rx_descriptors;
    qvtest::RunningAdapter adapter(machine, adapter_options);

    NDIS_STATUS started = adapter.Start();
    if (started != NDIS_STATUS_SUCCESS) {
        std::printf("start: failed with NDIS status 0x%08x\n", static_cast<unsigned>(started));
        return 1;
    }
    std::printf("start: driver loaded, controller plugged in and started through PnP\n");
    std::printf("       station address %s, %lu transmit and %lu receive descriptors, bus %s\n",
                Hex(adapter.StationAddress()).c_str(),
                static_cast<unsigned long>(adapter.Record()->TxDescCount),
                static_cast<unsigned long>(adapter.Record()->RxDescCount),
                options.complete_at_once ? "completing inside IoCallDriver" : "completing later");
    std::printf("       schedule: %s\n", qvtest::DescribeSchedule(options.schedule).c_str());
    std::printf("link: %s\n", DescribeLink(*adapter.Record()).c_str());
    PrintQueries(adapter);

    // Frame lengths vary over the whole Ethernet range, so transfers that need a zero-length
    // follow-up and ones that need padding are both among them.
    std::mt19937 random(options.seed);
    std::uniform_int_distribution<size_t> length(qvtest::kEthernetHeader, 1514);
    std::vector<std::vector<uint8_t>> sent, injected;
    for (unsigned i = 0; i < options.frames; ++i) {
        sent.push_back(qvtest::MakeFrame(qvtest::kPeerAddress, adapter.StationAddress(),
                                         length(random), 2 * i));
        injected.push_back(qvtest::MakeFrame(adapter.StationAddress(), qvtest::kPeerAddress,
                                             length(random), 2 * i + 1));
    }
    for (unsigned i = 0; i < options.frames; ++i) {
        adapter.Send(sent[i]);
        adapter.Inject(injected[i]);
        adapter.Run(options.interval_us);
    }
    adapter.RunUntilIdle();

    size_t on_wire = MatchingPrefix(sent, adapter.WireFrames());
    size_t indicated = MatchingPrefix(injected, adapter.ReceivedFrames());
    std::printf("send: %u frames handed to the driver, %zu on the wire intact and in order "
                "(%zu frames on the wire)\n",
                options.frames, on_wire, adapter.WireFrames().size());
    std::printf("receive: %u frames put on the wire, %zu indicated to NDIS intact and in order "
                "(%zu indications)\n",
                options.frames, indicated, adapter.ReceivedFrames().size());
    if (adapter.Device().ReceiveDrops() != 0) {
        // Full-speed USB carries at most about 9.7 Mb/s of bulk data in both directions
        // together; frames the bus cannot take in time overflow the controller's FIFO.
        std::printf("         the controller dropped %llu frames: its receive FIFO was full\n",
                    static_cast<unsigned long long>(adapter.Device().ReceiveDrops()));
    }

    PrintWakeEvents(adapter.Device());

    adapter.Halt();
    std::printf("halt: adapter halted after %.3f s of virtual time\n",
                static_cast<double>(adapter.Now()) / 1e6);

    const auto& violations = machine.Check().Violations();
    if (violations.empty()) {
        std::printf("verifier: clean (no leak, no request or timer left at halt)\n");
    } else {
        std::printf("verifier: %zu violation(s)\n", violations.size());
    }
    if (options.schedule.interleave_seed) {
        std::printf("interleaving: another processor stepped in %llu times at %llu boundaries\n",
                    static_cast<unsigned long long>(machine.Clock().Interleaved()),
                    static_cast<unsigned long long>(machine.Clock().Boundaries()));
    }
    bool ok = violations.empty() && on_wire == options.frames &&
              adapter.WireFrames().size() == options.frames && indicated == options.frames &&
              adapter.ReceivedFrames().size() == options.frames;
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app{"qvnet: the Quorvelin USB Ethernet driver on its emulated controller"};
    app.add_option("-n,--frames", options.frames, "frames to move each way")->capture_default_str();
    app.add_option("--seed", options.seed, "seed for the frame lengths")->capture_default_str();
    app.add_flag("--complete-at-once", options.complete_at_once,
                 "the bus completes every request it can inside IoCallDriver");
    app.add_option("--interval-us", options.interval_us,
                   "virtual microseconds between one frame each way and the next")
        ->capture_default_str();
    app.add_option("--tx-descriptors", options.tx_descriptors,
                   "transmit descriptors (default: as qvnet.inf installs them)");
    app.add_option("--rx-descriptors", options.rx_descriptors,
                   "receive descriptors (default: as qvnet.inf installs them)");
    app.add_option("--interleave", options.schedule.interleave_seed,
                   "a second processor steps in at the driver's platform calls, its schedule "
                   "drawn from this seed (the same seed replays the same run)");
    app.add_option("--timer-tick", options.schedule.timer_tick_us,
                   "NDIS timers expire on a clock tick of this many microseconds (10000, 15625)")
        ->check(CLI::PositiveNumber);
    app.add_option("--timer-seed", options.schedule.timer_seed,
                   "seed for the clock tick's phase and jitter")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    return Run(options);
}
