// What a qvnet run found, gathered as it goes, then printed as text or as one JSON object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qvnet {

struct LinkState {
    bool connected = false;
    unsigned speed_mbps = 0;
    std::string duplex;  // "full" or "half"
    unsigned active_phy = 0;
};

struct MediaEvent {
    uint64_t t_us = 0;
    int32_t status = 0;  // NDIS_STATUS_MEDIA_CONNECT or NDIS_STATUS_MEDIA_DISCONNECT
};

struct OidAnswer {
    std::string name;
    uint32_t oid = 0;
    int32_t status = 0;
    std::vector<uint8_t> bytes;
};

struct SetResult {
    std::string name;
    uint32_t oid = 0;
    int32_t status = 0;
    uint32_t bytes_read = 0;
    uint32_t bytes_needed = 0;
};

struct FrameCounts {
    uint64_t sent = 0;        // handed to the driver
    uint64_t on_wire = 0;     // the controller put on the wire
    uint64_t injected = 0;    // put on the wire toward the controller
    uint64_t indicated = 0;   // the driver indicated to NDIS
    uint64_t dropped_by_controller = 0;  // the controller's receive FIFO was full
    uint64_t send_failed = 0;   // sends NDIS completed with a failure status
    uint64_t skipped = 0;       // not handed over either way: no adapter was running
    uint64_t lost_at_halt = 0;  // injected, still in the controller or on the bus at a halt
    bool intact_in_order = false;
};

// One step of the adapter's life: "plug", "initialize" (with its status), "halt", "unplug",
// "sleep", "wake" or "reset" (with its status).
struct LifeEvent {
    uint64_t t_us = 0;
    std::string event;
    std::optional<int32_t> status;
};

struct WakeRecord {
    uint64_t t_us = 0;
    std::string reason;  // "frame slot N", "magic packet" or "link change"
};

// What crossed a TAP bridge (qvnet tap): frames and bytes each way at each end.
struct TapCounts {
    uint64_t host_frames_out = 0, host_bytes_out = 0;  // host interface -> driver
    uint64_t host_frames_in = 0, host_bytes_in = 0;    // driver -> host interface
    uint64_t host_frames_filtered = 0;  // indicated, turned away by the binding's filter
    uint64_t wire_frames_out = 0, wire_bytes_out = 0;  // controller -> far end
    uint64_t wire_frames_in = 0, wire_bytes_in = 0;    // far end -> controller
    uint64_t send_failures = 0;
    uint64_t host_write_drops = 0, wire_write_drops = 0;
    uint64_t arp_replies = 0, echo_replies = 0;
    double real_seconds = 0;
};

struct RunReport {
    bool started = false;
    int32_t start_status = 0;
    uint64_t initialized_at_us = 0;  // when MiniportInitialize returned
    std::string permanent_address;
    std::string current_address;
    unsigned tx_descriptors = 0;
    unsigned rx_descriptors = 0;
    LinkState link_after_start;
    LinkState link;  // the last adapter's, as it stood just before its halt
    std::vector<LifeEvent> events;  // in time order
    std::vector<MediaEvent> media_events;
    std::vector<SetResult> sets;
    FrameCounts frames;
    uint64_t frames_asked = 0;  // each way
    std::vector<OidAnswer> oids;
    std::vector<WakeRecord> wake_events;
    std::optional<TapCounts> tap;
    uint64_t halted_at_us = 0;
    bool unloaded = false;  // the device was removed and the driver unloaded
    std::vector<std::string> verifier_reports;
    uint64_t interleaved = 0;  // times another processor stepped in
    uint64_t boundaries = 0;
    uint64_t virtual_time_us = 0;
    double wall_time_s = 0;
    bool ok = false;
};

}  // namespace qvnet
