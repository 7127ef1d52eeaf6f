#include "tools/qvnet/report_output.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "tests/support/harness/schedule.h"
#include "tools/qvnet/oids.h"

namespace qvnet {

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[3];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

double Seconds(uint64_t us) { return static_cast<double>(us) / 1e6; }

std::string LinkText(const LinkState& link) {
    char text[80];
    if (!link.connected) {
        std::snprintf(text, sizeof text, "disconnected (PHY %u)", link.active_phy);
    } else {
        std::snprintf(text, sizeof text, "connected, %u Mb/s %s duplex (PHY %u)",
                      link.speed_mbps, link.duplex.c_str(), link.active_phy);
    }
    return text;
}

// A short form of an answer: the bytes in hex, a text answer also as text, and a long list
// cut after its first 16 bytes.
std::string AnswerText(const OidAnswer& answer) {
    if (answer.status != 0) return StatusName(answer.status);
    std::string hex = Hex(answer.bytes);
    if (hex.size() > 32) {
        hex = hex.substr(0, 32) + "... (" + std::to_string(answer.bytes.size()) + " bytes)";
    }
    if (answer.name == "OID_GEN_VENDOR_DESCRIPTION" && !answer.bytes.empty()) {
        hex += " \"" + std::string(answer.bytes.begin(), answer.bytes.end() - 1) + "\"";
    }
    return hex;
}

void PrintFrames(const RunReport& report) {
    const FrameCounts& f = report.frames;
    std::printf("send: %llu frames handed to the driver, %llu on the wire",
                static_cast<unsigned long long>(f.sent),
                static_cast<unsigned long long>(f.on_wire));
    if (f.send_failed != 0) {
        std::printf(", %llu completed by NDIS with a failure",
                    static_cast<unsigned long long>(f.send_failed));
    }
    if (f.skipped != 0) {
        std::printf("; %llu each way not handed over (no adapter running)",
                    static_cast<unsigned long long>(f.skipped));
    }
    std::printf("\n");
    std::printf("receive: %llu frames put on the wire, %llu indicated to NDIS",
                static_cast<unsigned long long>(f.injected),
                static_cast<unsigned long long>(f.indicated));
    if (f.dropped_by_controller != 0) {
        // Full-speed USB carries at most about 9.7 Mb/s of bulk data in both directions
        // together; frames the bus cannot take in time overflow the controller's FIFO.
        std::printf(", %llu dropped by the controller (its receive FIFO was full)",
                    static_cast<unsigned long long>(f.dropped_by_controller));
    }
    if (f.lost_at_halt != 0) {
        std::printf(", %llu still on their way when the adapter was halted",
                    static_cast<unsigned long long>(f.lost_at_halt));
    }
    std::printf("\nframes: %s\n", f.intact_in_order ? "every one intact and in order"
                                                    : "MISSING, DAMAGED OR OUT OF ORDER");
}

// What crossed a TAP bridge, both ends.
void PrintTapCounts(const TapCounts& c) {
    std::printf("tap: host interface -> driver %llu frames (%llu bytes), driver -> host "
                "interface %llu frames (%llu bytes)\n",
                static_cast<unsigned long long>(c.host_frames_out),
                static_cast<unsigned long long>(c.host_bytes_out),
                static_cast<unsigned long long>(c.host_frames_in),
                static_cast<unsigned long long>(c.host_bytes_in));
    std::printf("     controller -> far end %llu frames (%llu bytes), far end -> controller "
                "%llu frames (%llu bytes), in %.1f s of real time\n",
                static_cast<unsigned long long>(c.wire_frames_out),
                static_cast<unsigned long long>(c.wire_bytes_out),
                static_cast<unsigned long long>(c.wire_frames_in),
                static_cast<unsigned long long>(c.wire_bytes_in), c.real_seconds);
    if (c.host_frames_filtered != 0) {
        std::printf("     %llu frames the driver indicated were not for the host (the "
                    "binding's filter)\n",
                    static_cast<unsigned long long>(c.host_frames_filtered));
    }
    if (c.arp_replies + c.echo_replies != 0) {
        std::printf("     the responder answered %llu ARP requests and %llu echo requests\n",
                    static_cast<unsigned long long>(c.arp_replies),
                    static_cast<unsigned long long>(c.echo_replies));
    }
    if (c.send_failures + c.host_write_drops + c.wire_write_drops != 0) {
        std::printf("     %llu sends failed; the interfaces refused %llu and %llu frames\n",
                    static_cast<unsigned long long>(c.send_failures),
                    static_cast<unsigned long long>(c.host_write_drops),
                    static_cast<unsigned long long>(c.wire_write_drops));
    }
}

// The adapter's life: plug-in, initializations, halts, unplugs, sleeps, wakes and resets.
void PrintEvents(const std::vector<LifeEvent>& events) {
    std::printf("events:\n");
    for (const LifeEvent& event : events) {
        std::printf("  at %.6f s: %s", Seconds(event.t_us), event.event.c_str());
        if (event.status) std::printf(" %s", StatusName(*event.status).c_str());
        std::printf("\n");
    }
}

}  // namespace

void PrintText(const RunReport& report, const RunOptions& options) {
    if (!report.started) {
        std::printf("start: failed with %s\n", StatusName(report.start_status).c_str());
    } else {
        std::printf("start: driver loaded, controller plugged in and started through PnP "
                    "(MiniportInitialize returned at %.6f s)\n",
                    Seconds(report.initialized_at_us));
        std::printf("       station address %s (EEPROM %s), %u transmit and %u receive "
                    "descriptors, bus %s\n",
                    report.current_address.c_str(), report.permanent_address.c_str(),
                    report.tx_descriptors, report.rx_descriptors,
                    options.complete_at_once ? "completing inside IoCallDriver"
                                             : "completing later");
        std::printf("       schedule: %s\n", qvtest::DescribeSchedule(options.schedule).c_str());
        std::printf("link: %s\n", LinkText(report.link_after_start).c_str());
        for (const SetResult& set : report.sets) {
            std::printf("set: %s %s, %u bytes read, %u needed\n", set.name.c_str(),
                        StatusName(set.status).c_str(), set.bytes_read, set.bytes_needed);
        }
        PrintFrames(report);
        if (report.tap) PrintTapCounts(*report.tap);
        std::printf("queries:\n");
        for (const OidAnswer& answer : report.oids) {
            std::printf("  %-32s %s\n", answer.name.c_str(), AnswerText(answer).c_str());
        }
    }
    for (const MediaEvent& event : report.media_events) {
        std::printf("link event at %.6f s: %s\n", Seconds(event.t_us),
                    StatusName(event.status).c_str());
    }
    if (report.started) {
        std::printf("wake: %zu event(s) the controller would have woken the host for\n",
                    report.wake_events.size());
        for (const WakeRecord& wake : report.wake_events) {
            std::printf("      at %.6f s: %s\n", Seconds(wake.t_us), wake.reason.c_str());
        }
        PrintEvents(report.events);
        std::printf("link before halt: %s\n", LinkText(report.link).c_str());
        std::printf("halt: device removed, adapter halted at %.6f s of virtual time; driver %s\n",
                    Seconds(report.halted_at_us),
                    report.unloaded ? "unloaded" : "NOT UNLOADED");
    }
    if (report.verifier_reports.empty()) {
        std::printf("verifier: clean (no leak, no request or timer left at halt)\n");
    } else {
        std::printf("verifier: %zu report(s)\n", report.verifier_reports.size());
        for (const std::string& line : report.verifier_reports) {
            std::printf("  %s\n", line.c_str());
        }
    }
    if (options.schedule.interleave_seed) {
        std::printf("interleaving: another processor stepped in %llu times at %llu boundaries\n",
                    static_cast<unsigned long long>(report.interleaved),
                    static_cast<unsigned long long>(report.boundaries));
    }
    std::printf("result: %s (%.3f s of virtual time in %.3f s)\n",
                report.ok ? "ok" : "FAILED", Seconds(report.virtual_time_us),
                report.wall_time_s);
}

std::string JsonText(const RunReport& report) {
    using nlohmann::json;
    json link = {{"connected", report.link.connected},
                 {"speed_mbps", report.link.speed_mbps},
                 {"duplex", report.link.duplex},
                 {"active_phy", report.link.active_phy}};
    json frames = {{"sent", report.frames.sent},
                   {"on_wire", report.frames.on_wire},
                   {"injected", report.frames.injected},
                   {"indicated", report.frames.indicated},
                   {"dropped_by_controller", report.frames.dropped_by_controller},
                   {"send_failed", report.frames.send_failed},
                   {"skipped", report.frames.skipped},
                   {"lost_at_halt", report.frames.lost_at_halt},
                   {"intact_in_order", report.frames.intact_in_order}};
    json events = json::array();
    for (const LifeEvent& event : report.events) {
        json entry = {{"t_us", event.t_us}, {"event", event.event}};
        if (event.status) entry["status"] = StatusName(*event.status);
        events.push_back(entry);
    }
    json media = json::array();
    for (const MediaEvent& event : report.media_events) {
        media.push_back({{"t_us", event.t_us}, {"status", StatusName(event.status)}});
    }
    json oids = json::object();
    for (const OidAnswer& answer : report.oids) {
        oids[answer.name] = {{"status", StatusName(answer.status)}, {"hex", Hex(answer.bytes)}};
    }
    json sets = json::array();
    for (const SetResult& set : report.sets) {
        sets.push_back({{"oid", set.name},
                        {"status", StatusName(set.status)},
                        {"bytes_read", set.bytes_read},
                        {"bytes_needed", set.bytes_needed}});
    }
    json wake = json::array();
    for (const WakeRecord& event : report.wake_events) {
        wake.push_back({{"t_us", event.t_us}, {"reason", event.reason}});
    }
    json tap = nullptr;
    if (report.tap) {
        const TapCounts& t = *report.tap;
        tap = {{"host_frames_out", t.host_frames_out}, {"host_bytes_out", t.host_bytes_out},
               {"host_frames_in", t.host_frames_in},   {"host_bytes_in", t.host_bytes_in},
               {"host_frames_filtered", t.host_frames_filtered},
               {"wire_frames_out", t.wire_frames_out}, {"wire_bytes_out", t.wire_bytes_out},
               {"wire_frames_in", t.wire_frames_in},   {"wire_bytes_in", t.wire_bytes_in},
               {"send_failures", t.send_failures},     {"host_write_drops", t.host_write_drops},
               {"wire_write_drops", t.wire_write_drops}, {"arp_replies", t.arp_replies},
               {"echo_replies", t.echo_replies},       {"real_seconds", t.real_seconds}};
    }
    json out = {{"ok", report.ok},
                {"start_status", StatusName(report.start_status)},
                {"initialized_at_us", report.initialized_at_us},
                {"permanent_address", report.permanent_address},
                {"current_address", report.current_address},
                {"tx_descriptors", report.tx_descriptors},
                {"rx_descriptors", report.rx_descriptors},
                {"link", link},
                {"frames", frames},
                {"events", events},
                {"media_events", media},
                {"oids", oids},
                {"sets", sets},
                {"wake_events", wake},
                {"verifier",
                 {{"clean", report.verifier_reports.empty()},
                  {"reports", report.verifier_reports}}},
                {"halted_at_us", report.halted_at_us},
                {"unloaded", report.unloaded},
                {"virtual_time_us", report.virtual_time_us},
                {"wall_time_s", report.wall_time_s}};
    if (report.tap) out["tap"] = tap;
    return out.dump(2);
}

}  // namespace qvnet
