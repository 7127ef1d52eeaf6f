// Progress of a long run on standard error: only when it is a terminal, and only once the
// run has taken about a second of wall time, so that short runs and pipes stay quiet.
#pragma once

#include <chrono>
#include <cstdint>

#include "tools/qvnet/run_report.h"

namespace qvnet {

class Progress {
public:
    Progress();
    // Called often; prints at most a few times a second.
    void Update(const RunReport& report, uint64_t virtual_us);
    // Clears the progress line, if one was printed.
    void Finish();

private:
    bool terminal_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace qvnet
