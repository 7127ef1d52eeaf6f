// `qvnet run`: the adapter's whole life on the emulated controller. Loads the driver, plugs
// the controller in and starts it through PnP, issues the set requests, moves frames both
// ways, queries every OID, keeps the adapter up for the time asked, halts it and takes the
// verifier's verdict.
#pragma once

#include <functional>

#include "tools/qvnet/run_options.h"
#include "tools/qvnet/run_report.h"

namespace emu {
class Machine;
}
namespace qvtest {
class RunningAdapter;
struct AdapterOptions;
}  // namespace qvtest

namespace qvnet {

// The adapter's options for these run options: the INF's values, the keywords and the
// hardware asked for.
qvtest::AdapterOptions AdapterOptionsFor(const RunOptions& options);

// Called with the adapter before it starts, to attach captures or watchers.
using AttachHook = std::function<void(qvtest::RunningAdapter&)>;
// Called now and then while frames move or time passes (progress on a terminal).
using ProgressHook = std::function<void(const RunReport&, uint64_t virtual_us)>;

RunReport Run(const RunOptions& options, const AttachHook& attach,
              const ProgressHook& progress);

// The link as the driver's record shows it.
LinkState LinkOf(qvtest::RunningAdapter& adapter);
// Media connect and disconnect indications NDIS received, with their virtual times.
std::vector<MediaEvent> MediaEventsOf(qvtest::RunningAdapter& adapter);
// The verifier's reports, one line each.
std::vector<std::string> VerifierReports(emu::Machine& machine);

}  // namespace qvnet
