// A minimal host for the TAP bridge, for the end-to-end test: starts the adapter with its
// default options, bridges until SIGINT/SIGTERM or --up-for, halts it and prints what moved
// and the verifier's verdict. Exits 0 only when the bridge ran and the verifier saw nothing.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "emulator/machine.h"
#include "emulator/verifier/verifier.h"
#include "tests/support/harness/running_adapter.h"
#include "tools/qvnet/tap/tap_bridge.h"

int main(int argc, char** argv) {
    CLI::App app{"Bridges the hosted driver to Linux TAP interfaces"};
    qvtap::TapBridgeOptions options;
    std::string wire_ifname;
    double up_for_s = 0;
    app.add_option("--ifname", options.ifname, "the host side's interface")->capture_default_str();
    app.add_option("--wire-ifname", wire_ifname, "the far end's interface (else the responder)");
    app.add_option("--up-for", up_for_s, "stop after this many seconds")->check(CLI::PositiveNumber);
    CLI11_PARSE(app, argc, argv);
    if (!wire_ifname.empty()) options.wire_ifname = wire_ifname;
    if (up_for_s > 0) options.up_for_us = static_cast<uint64_t>(up_for_s * 1e6);
    options.stop = qvtap::InstallStopOnSignals();

    emu::Machine machine;
    machine.Check().OnReport([](const emu::Violation& violation) {
        std::fprintf(stderr, "verifier: %s\n", emu::Describe(violation).c_str());
    });
    qvtest::RunningAdapter adapter(machine);
    if (adapter.Start() != NDIS_STATUS_SUCCESS) {
        std::printf("start: the adapter did not start\n");
        return 1;
    }
    std::printf("start: adapter running; bridging %s to %s\n", options.ifname.c_str(),
                options.wire_ifname ? options.wire_ifname->c_str() : "the responder");
    std::fflush(stdout);

    const qvtap::TapBridgeResult result = qvtap::RunTapBridge(adapter, options);
    if (!result.error.empty()) {
        std::printf("tap: %s\n", result.error.c_str());
        return 2;
    }
    std::printf("%s\n", qvtap::DescribeTapBridge(result).c_str());
    adapter.Halt();
    const bool clean = machine.Check().Violations().empty();
    std::printf("verifier: %s\n", clean ? "clean (no leak, no request or timer left at halt)"
                                        : "violations reported");
    return clean ? 0 : 1;
}
