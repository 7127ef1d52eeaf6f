// qvnet: hosts the driver on the emulated controller. `qvnet run` (also plain `qvnet`) takes
// the adapter through its whole life and reports it; exit status 0 when the run succeeded, 1
// when it failed, 2 for a usage error (one line on standard error, nothing run).
#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdio>
#include <optional>
#include <cstring>
#include <string>
#include <vector>

#include "tools/qvnet/captures.h"
#include "tools/qvnet/progress.h"
#include "tools/qvnet/report_output.h"
#include "tools/qvnet/run.h"
#include "tools/qvnet/run_options.h"
#include "tools/qvnet/stress/stress.h"
#include "tools/qvnet/tap_command.h"

namespace {

constexpr int kSucceeded = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

// The texts of the repeatable and composite options, parsed once CLI11 is done.
struct RawOptions {
    std::string size;
    std::vector<std::string> params;
    std::vector<std::string> devices;
    std::vector<std::string> changes;
    std::vector<std::string> sets;
    std::string up_for;
    std::optional<unsigned> tx_descriptors;
    std::optional<unsigned> rx_descriptors;
};

// Options `run` and `tap` share: the adapter's configuration, its hardware, the captures and
// the JSON summary.
void AddSharedOptions(CLI::App* command, qvnet::RunOptions* options, RawOptions* raw) {
    command->add_option("--param", raw->params,
                        "an adapter configuration keyword, KEYWORD=VALUE (repeatable)");
    command->add_option("--device", raw->devices,
                        "the emulated hardware, KEY=VALUE (repeatable): eeprom-address, "
                        "eeprom=ok|stuck, phy1=present|absent, phy1.partner=WORD|none, "
                        "phy2=absent|ID2, phy2.link=up|down, an-ms=N");
    command->add_option("--usb-pcap", options->usb_pcap,
                        "write every URB to this pcap file (usbmon, link type 220)");
    command->add_option("--pcap", options->pcap,
                        "write every Ethernet frame on the wire to this pcap file");
    command->add_flag("--json", options->json,
                      "print one JSON object on standard output instead of the text summary");
    command->add_option("--up-for", raw->up_for,
                        "virtual time the adapter stays up after MiniportInitialize returned "
                        "(units us, ms, s)");
}

void AddRunOptions(CLI::App* run, qvnet::RunOptions* options, RawOptions* raw) {
    run->add_option("-n,--frames", options->frames, "frames to move each way")
        ->capture_default_str();
    run->add_option("--size", raw->size,
                    "frame length in bytes, N or MIN-MAX drawn with --seed (default 14-1514)");
    run->add_option("--seed", options->seed, "seed for the frame lengths")->capture_default_str();
    run->add_option("--interval-us", options->interval_us,
                    "virtual microseconds between one frame each way and the next")
        ->capture_default_str();
    run->add_option("--at", raw->changes,
                    "TIME:KEY=VALUE: change a --device setting at a virtual time from plug-in, "
                    "or usb=unplugged|plugged, system=sleep|wake (repeatable), e.g. "
                    "6s:phy1.partner=none");
    run->add_option("--set", raw->sets,
                    "OID=HEX: a set request after start, OID by NDIS name or number "
                    "(repeatable, in order)");
    run->add_flag("--complete-at-once", options->complete_at_once,
                  "the bus completes every request it can inside IoCallDriver");
    run->add_option("--tx-descriptors", raw->tx_descriptors, "the same as --param TxPacketDesc=N");
    run->add_option("--rx-descriptors", raw->rx_descriptors, "the same as --param RxPacketDesc=N");
    run->add_option("--interleave", options->schedule.interleave_seed,
                    "a second processor steps in at the driver's platform calls, its schedule "
                    "drawn from this seed (the same seed replays the same run)");
    run->add_option("--timer-tick", options->schedule.timer_tick_us,
                    "NDIS timers expire on a clock tick of this many microseconds "
                    "(10000, 15625)")
        ->check(CLI::PositiveNumber);
    run->add_option("--timer-seed", options->schedule.timer_seed,
                    "seed for the clock tick's phase and jitter")
        ->capture_default_str();
}

// Parses what CLI11 left as text; the first problem, or empty.
std::string Complete(const RawOptions& raw, qvnet::RunOptions* options) {
    std::string error;
    if (!raw.size.empty() && !(error = qvnet::ParseSize(raw.size, options)).empty()) return error;
    if (raw.tx_descriptors) options->params.emplace_back("TxPacketDesc", *raw.tx_descriptors);
    if (raw.rx_descriptors) options->params.emplace_back("RxPacketDesc", *raw.rx_descriptors);
    for (const std::string& param : raw.params) {
        if (!(error = qvnet::ParseParam(param, options)).empty()) return error;
    }
    for (const std::string& device : raw.devices) {
        size_t equals = device.find('=');
        if (equals == std::string::npos) return "--device " + device + ": expected KEY=VALUE";
        error = qvnet::SetDeviceSetting(device.substr(0, equals), device.substr(equals + 1),
                                        &options->device);
        if (!error.empty()) return error;
    }
    for (const std::string& change : raw.changes) {
        if (!(error = qvnet::ParseAt(change, options)).empty()) return error;
    }
    if (!(error = qvnet::CheckLifeSteps(options)).empty()) return error;
    for (const std::string& set : raw.sets) {
        if (!(error = qvnet::ParseSet(set, options)).empty()) return error;
    }
    if (!raw.up_for.empty()) {
        options->up_for_us = qvnet::ParseDuration(raw.up_for);
        if (!options->up_for_us) {
            return "--up-for " + raw.up_for + ": expected a time like 250us, 9500ms or 6s";
        }
    }
    return {};
}

// Puts the captures in place and prints the summary; the exit status.
int Finish(qvnet::RunReport& report, const qvnet::RunOptions& options,
           qvnet::Captures& captures) {
    std::string error;
    if (!captures.Commit(&error)) {
        std::fprintf(stderr, "qvnet: %s\n", error.c_str());
        report.ok = false;
    }
    if (options.json) {
        std::printf("%s\n", qvnet::JsonText(report).c_str());
    } else {
        qvnet::PrintText(report, options);
    }
    return report.ok ? kSucceeded : kFailed;
}

int RunCommand(const qvnet::RunOptions& options) {
    qvnet::Captures captures;
    std::string error;
    if (!captures.Open(options, &error)) {
        std::fprintf(stderr, "qvnet: %s\n", error.c_str());
        return kUsageError;
    }
    qvnet::Progress progress;
    qvnet::RunReport report = qvnet::Run(
        options, [&](qvtest::RunningAdapter& adapter) { captures.Attach(adapter); },
        [&](const qvnet::RunReport& r, uint64_t now) { progress.Update(r, now); });
    progress.Finish();
    return Finish(report, options, captures);
}

int TapCommand(const qvnet::RunOptions& options, const qvnet::TapOptions& tap) {
    qvnet::Captures captures;
    std::string error;
    if (!captures.Open(options, &error)) {
        std::fprintf(stderr, "qvnet: %s\n", error.c_str());
        return kUsageError;
    }
    qvnet::RunReport report = qvnet::RunTap(options, tap, captures, &error);
    if (!error.empty()) {
        // The interfaces could not be made: no capability, no /dev/net/tun, a name in use.
        std::fprintf(stderr, "qvnet: %s\n", error.c_str());
        return kUsageError;
    }
    return Finish(report, options, captures);
}

// The texts of `stress`'s options that need more than CLI11 checks.
struct RawStress {
    std::string duration = "10s";
    bool no_flaps = false;
    bool json = false;
};

void AddStressOptions(CLI::App* stress, qvnet::StressOptions* options, RawStress* raw) {
    stress->add_option("--cpus", options->cpus, "processors, each an OS thread (1 to 4)")
        ->check(CLI::Range(1, 4))
        ->capture_default_str();
    stress->add_option("--for", raw->duration,
                       "real time the processors run before the drain and the checks "
                       "(units ms, s, m)")
        ->capture_default_str();
    stress->add_option("--seed", options->seed, "seed for frame lengths and contents")
        ->capture_default_str();
    stress->add_option("--interleave", options->interleave,
                       "also step another processor's work in at the driver's platform calls, "
                       "drawn from this seed");
    stress->add_option("--faults", options->fault_one_in,
                       "bus faults (transfer error, stall, babble, short packet, cancel) on "
                       "about one request in N; 0 for none")
        ->capture_default_str();
    stress->add_flag("--no-flaps", raw->no_flaps, "keep the cable plugged in throughout");
    stress->add_flag("--json", raw->json, "print the account as one JSON object");
}

// "250ms", "30s", "10m" as milliseconds.
std::optional<uint64_t> ParseRealTime(const std::string& text) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
        ++digits;
    if (digits == 0 || digits > 9) return std::nullopt;
    const uint64_t value = std::stoull(text.substr(0, digits));
    const std::string unit = text.substr(digits);
    if (unit == "ms") return value;
    if (unit == "s") return value * 1000;
    if (unit == "m") return value * 60'000;
    return std::nullopt;
}

int StressCommand(qvnet::StressOptions options, const RawStress& raw) {
    std::optional<uint64_t> real_ms = ParseRealTime(raw.duration);
    if (!real_ms || *real_ms == 0) {
        std::fprintf(stderr, "qvnet: --for %s: expected a time like 500ms, 30s or 10m\n",
                     raw.duration.c_str());
        return kUsageError;
    }
    options.real_ms = *real_ms;
    options.link_flaps = !raw.no_flaps;
    options.progress = [](const qvnet::StressAccount& account) {
        std::fprintf(stderr, "%s\n", qvnet::StressProgressLine(account).c_str());
    };
    const qvnet::StressAccount account = qvnet::RunStress(options);
    std::fputs(raw.json ? qvnet::StressJson(account).c_str() : qvnet::StressText(account).c_str(),
               stdout);
    return account.Passed() ? kSucceeded : kFailed;
}

// `qvnet` alone, or with options but no subcommand, means `qvnet run`.
std::vector<std::string> WithDefaultCommand(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool help = !args.empty() && (args[0] == "-h" || args[0] == "--help");
    if (args.empty() || (args[0].rfind("-", 0) == 0 && !help)) args.insert(args.begin(), "run");
    std::reverse(args.begin(), args.end());  // CLI11 takes them last first
    return args;
}

bool IsCommand(CLI::App& app, const std::string& name) {
    for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        if (command->get_name() == name) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qvnet: the Quorvelin USB Ethernet driver on its emulated controller"};
    app.require_subcommand(1);
    qvnet::RunOptions options;
    RawOptions raw;
    CLI::App* run = app.add_subcommand(
        "run", "the adapter's whole life: start, sets, frames both ways, every OID, halt");
    AddSharedOptions(run, &options, &raw);
    AddRunOptions(run, &options, &raw);

    qvnet::TapOptions tap;
    std::string wire_ifname;
    CLI::App* bridge = app.add_subcommand(
        "tap", "bridge the adapter to Linux TAP interfaces, paced to real time, until "
               "SIGINT/SIGTERM or --up-for (needs CAP_NET_ADMIN)");
    AddSharedOptions(bridge, &options, &raw);
    bridge->add_option("--ifname", tap.ifname, "the host side's TAP interface")
        ->capture_default_str();
    bridge->add_option("--wire-ifname", wire_ifname,
                       "the far end of the cable as a second TAP interface (else a responder "
                       "answering ARP and ping as 192.168.213.2)");

    qvnet::StressOptions stress_options;
    RawStress raw_stress;
    CLI::App* stress = app.add_subcommand(
        "stress", "the adapter on several real processors at once: two senders, a receive "
                  "flood, link flaps, requests and hang checks, then every frame checked");
    AddStressOptions(stress, &stress_options, &raw_stress);

    if (argc > 1 && argv[1][0] != '-' && !IsCommand(app, argv[1])) {
        std::fprintf(stderr, "qvnet: %s: unknown command (qvnet --help lists them)\n", argv[1]);
        return kUsageError;
    }
    std::vector<std::string> args = WithDefaultCommand(argc, argv);
    try {
        app.parse(args);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "qvnet: %s\n", e.what());
        return kUsageError;
    }
    if (stress->parsed()) return StressCommand(stress_options, raw_stress);
    if (std::string error = Complete(raw, &options); !error.empty()) {
        std::fprintf(stderr, "qvnet: %s\n", error.c_str());
        return kUsageError;
    }
    if (bridge->parsed()) {
        if (!wire_ifname.empty()) tap.wire_ifname = wire_ifname;
        return TapCommand(options, tap);
    }
    return RunCommand(options);
}
