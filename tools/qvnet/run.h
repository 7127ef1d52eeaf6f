// `qvnet run`: the adapter's whole life on the emulated controller. Loads the driver, plugs
// the controller in and starts it through PnP, issues the set requests, moves frames both
// ways, queries every OID, keeps the adapter up for the time asked, halts it and takes the
// verifier's verdict.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "tools/qvnet/run_options.h"
#include "tools/qvnet/run_report.h"

namespace emu {
class Machine;
namespace device {
class Controller;
}
}  // namespace emu
namespace qvtest {
class RunningAdapter;
struct AdapterOptions;
}  // namespace qvtest

namespace qvnet {

// The adapter's options for these run options: the INF's values, the keywords and the
// hardware asked for, with its timed changes scheduled on Machine's clock. Options and
// Machine must outlive the adapter's start.
qvtest::AdapterOptions AdapterOptionsFor(const RunOptions& options, emu::Machine& machine);
// The verifier's reports on standard error as they happen, and the schedule asked for.
void PrepareMachine(emu::Machine& machine, const RunOptions& options);
// The start's outcome and what the adapter came up with.
void RecordStart(qvtest::RunningAdapter& adapter, int32_t status, RunReport* report);
// The link, events and wake-ups as they stand; then the removal, the unload and the
// verifier's verdict, the times, and whether the run succeeded.
void RecordEnd(qvtest::RunningAdapter& adapter, emu::Machine& machine,
               std::chrono::steady_clock::time_point wall_start, RunReport* report);

// Called with the adapter before it starts, to attach captures or watchers.
using AttachHook = std::function<void(qvtest::RunningAdapter&)>;
// Called now and then while frames move or time passes (progress on a terminal).
using ProgressHook = std::function<void(const RunReport&, uint64_t virtual_us)>;

RunReport Run(const RunOptions& options, const AttachHook& attach,
              const ProgressHook& progress);

// Queries every OID of the supported list and the refused ones into the report.
void QueryEveryOid(qvtest::RunningAdapter& adapter, RunReport* report);
// What the controller would have woken the host for.
std::vector<WakeRecord> WakeEventsOf(emu::device::Controller& device);
// The link as the driver's record shows it.
LinkState LinkOf(qvtest::RunningAdapter& adapter);
// Media connect and disconnect indications NDIS received, with their virtual times.
std::vector<MediaEvent> MediaEventsOf(qvtest::RunningAdapter& adapter);
// The resets NDIS asked of every adapter of the machine, into the events, which it puts in
// time order.
void AddResets(emu::Machine& machine, RunReport* report);
// The verifier's reports, one line each.
std::vector<std::string> VerifierReports(emu::Machine& machine);

}  // namespace qvnet
