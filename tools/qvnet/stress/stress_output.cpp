// The stress run's account as text and as JSON, and its progress line.
#include <nlohmann/json.hpp>

#include <cstdio>

#include "tools/qvnet/stress/stress.h"

namespace qvnet {

namespace {

std::string Seconds(uint64_t microseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", double(microseconds) / 1e6);
    return text;
}

std::string Mib(uint64_t kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", double(kib) / 1024);
    return text;
}

}  // namespace

std::string StressProgressLine(const StressAccount& a) {
    return "stress: " + Seconds(a.real_ms * 1000) + " real, " + Seconds(a.virtual_us) +
           " virtual; out " + std::to_string(a.sent) + " sent, " + std::to_string(a.on_wire) +
           " on the wire; in " + std::to_string(a.injected) + " injected, " +
           std::to_string(a.indicated) + " indicated; " + std::to_string(a.link_flaps) +
           " link flaps; " + std::to_string(a.faults_injected) + " faults; " +
           std::to_string(a.verifier_reports) + " verifier reports; rss " + Mib(a.rss_peak_kib);
}

std::string StressText(const StressAccount& a) {
    std::string text;
    auto line = [&text](const std::string& name, const std::string& value) {
        char buffer[160];
        std::snprintf(buffer, sizeof buffer, "  %-22s %s\n", name.c_str(), value.c_str());
        text += buffer;
    };
    auto n = [](uint64_t value) { return std::to_string(value); };
    text += "stress run on " + n(a.cpus) + " processors\n";
    line("time", Seconds(a.real_ms * 1000) + " real, " + Seconds(a.virtual_us) + " virtual, " +
                     n(a.items_run) + " items run, " + n(a.interleaved) + " stepped in");
    line("toward the wire", n(a.sent) + " sent, " + n(a.send_failed) + " failed, " +
                                n(a.on_wire) + " on the wire, " + n(a.lost_out) + " lost");
    line("toward NDIS", n(a.injected) + " injected, " + n(a.indicated) + " indicated, " +
                            n(a.lost_in) + " lost");
    line("controller dropped", n(a.dropped_out) + " out, " + n(a.dropped_in) + " in");
    line("driver counters", "OID_GEN_XMIT_OK " + n(a.xmit_ok) + ", OID_GEN_RCV_OK " + n(a.rcv_ok));
    line("link", n(a.link_flaps) + " flaps, " + n(a.media_events) + " status indications");
    line("device and driver", "compared " + n(a.agreement_checks) + " times during the run");
    line("requests", n(a.queries) + " queries, " + n(a.sets) + " sets, " +
                         n(a.requests_failed) + " failed");
    line("faults", a.faults_injected == 0 ? std::string("none")
                   : n(a.faults_injected) + " injected, " +
                         (a.Passed() ? "all survived" : "not all survived cleanly"));
    line("verifier reports", n(a.verifier_reports));
    line("memory", "rss " + Mib(a.rss_early_kib) + " after the first quarter, peak " +
                       Mib(a.rss_peak_kib) + ", " + Mib(a.rss_end_kib) + " at the end");
    if (a.Passed()) {
        text += "result: passed\n";
    } else {
        text += "result: FAILED\n" + a.problems;
    }
    return text;
}

std::string StressJson(const StressAccount& a) {
    nlohmann::ordered_json json = {
        {"cpus", a.cpus},
        {"real_ms", a.real_ms},
        {"virtual_us", a.virtual_us},
        {"items_run", a.items_run},
        {"interleaved", a.interleaved},
        {"out", {{"sent", a.sent}, {"failed", a.send_failed}, {"on_wire", a.on_wire},
                 {"lost", a.lost_out}, {"dropped_by_controller", a.dropped_out}}},
        {"in", {{"injected", a.injected}, {"indicated", a.indicated}, {"lost", a.lost_in},
                {"dropped_by_controller", a.dropped_in}}},
        {"counters", {{"OID_GEN_XMIT_OK", a.xmit_ok}, {"OID_GEN_RCV_OK", a.rcv_ok}}},
        {"link_flaps", a.link_flaps},
        {"media_events", a.media_events},
        {"agreement_checks", a.agreement_checks},
        {"requests", {{"queries", a.queries}, {"sets", a.sets}, {"failed", a.requests_failed}}},
        {"faults_injected", a.faults_injected},
        {"verifier_reports", a.verifier_reports},
        {"rss_kib", {{"early", a.rss_early_kib}, {"peak", a.rss_peak_kib}, {"end", a.rss_end_kib}}},
        {"passed", a.Passed()},
        {"problems", a.problems},
    };
    return json.dump(2) + "\n";
}

}  // namespace qvnet
