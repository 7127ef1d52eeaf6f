// `qvnet tap`: the adapter bridged to Linux. Its host side is a TAP interface the host's
// stack uses as the adapter; the far end of the emulated cable is a second TAP interface or
// a built-in ARP/ICMP responder. Virtual time is paced to real time until SIGINT/SIGTERM or
// --up-for; then every OID is queried, the adapter is halted and the verdict is reported.
#pragma once

#include <optional>
#include <string>

#include "tools/qvnet/captures.h"
#include "tools/qvnet/run_options.h"
#include "tools/qvnet/run_report.h"

namespace qvnet {

struct TapOptions {
    std::string ifname = "qvnet0";
    std::optional<std::string> wire_ifname;
};

// The report; `error` is set, and nothing has run, when the interfaces cannot be made.
RunReport RunTap(const RunOptions& options, const TapOptions& tap, Captures& captures,
                 std::string* error);

}  // namespace qvnet
