// A run's report for people (text) and for programs (one JSON object).
#pragma once

#include <string>

#include "tools/qvnet/run_options.h"
#include "tools/qvnet/run_report.h"

namespace qvnet {

void PrintText(const RunReport& report, const RunOptions& options);
// The JSON object, without a trailing newline.
std::string JsonText(const RunReport& report);

}  // namespace qvnet
