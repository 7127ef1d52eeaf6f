// The stress run: the adapter on several real processors at once (the hosted platform's
// threaded mode), with two senders, a receive flood, link flaps through the partner, query and
// set requests and NDIS's hang checks all meeting, for a bounded time. It then drains, checks
// that every frame crossed exactly once, byte for byte and in order per sender, that the
// driver's counters agree with what was seen, and that the verifier stayed silent.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace qvnet {

struct StressOptions {
    int cpus = 4;                        // processors, 1 to 4 (1 is the deterministic mode)
    uint64_t real_ms = 10'000;           // how long the processors run (real time)
    uint32_t seed = 1;                   // frame lengths and contents
    std::optional<uint32_t> interleave;  // a second processor stepping in at boundaries too
    uint32_t fault_one_in = 0;           // bus faults on about one request in N (0: none)
    bool link_flaps = true;
    // Called with the account so far: each second, or each ten in a run of a minute or more.
    std::function<void(const struct StressAccount&)> progress;
};

struct StressAccount {
    // Run
    int cpus = 0;
    uint64_t real_ms = 0;
    uint64_t virtual_us = 0;
    uint64_t items_run = 0;  // deferred work the processors ran
    uint64_t interleaved = 0;
    // Frames toward the wire, both senders
    uint64_t sent = 0;
    uint64_t send_failed = 0;    // completed with a failure (no carrier, a fault)
    uint64_t on_wire = 0;
    uint64_t lost_out = 0;       // completed as sent yet never on the wire
    uint64_t dropped_out = 0;    // what the controller counted as dropped on the way out
    // Frames toward NDIS
    uint64_t injected = 0;
    uint64_t indicated = 0;
    uint64_t lost_in = 0;
    uint64_t dropped_in = 0;     // what the controller counted as dropped on the way in
    // The rest of what met
    uint64_t link_flaps = 0;
    uint64_t media_events = 0;
    uint64_t queries = 0;
    uint64_t sets = 0;
    uint64_t requests_failed = 0;
    uint64_t agreement_checks = 0;  // device against driver, with the processors stopped
    uint64_t faults_injected = 0;
    uint64_t verifier_reports = 0;
    // Counters the driver answers, after the run
    uint64_t xmit_ok = 0;
    uint64_t rcv_ok = 0;
    // Resident memory, in KiB: after the first quarter of the run, and the most seen
    uint64_t rss_early_kib = 0;
    uint64_t rss_peak_kib = 0;
    uint64_t rss_end_kib = 0;
    // What went wrong, one line each; empty when the run passed
    std::string problems;
    bool Passed() const { return problems.empty(); }
};

StressAccount RunStress(const StressOptions& options);
std::string StressText(const StressAccount& account);
std::string StressJson(const StressAccount& account);
std::string StressProgressLine(const StressAccount& account);

}  // namespace qvnet
