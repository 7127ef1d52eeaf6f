#include "tools/qvnet/progress.h"

#include <unistd.h>

#include <cstdio>

namespace qvnet {

namespace {

constexpr auto kQuietFor = std::chrono::seconds(1);
constexpr auto kEvery = std::chrono::milliseconds(200);

}  // namespace

Progress::Progress()
    : terminal_(isatty(STDERR_FILENO) != 0),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

void Progress::Update(const RunReport& report, uint64_t virtual_us) {
    if (!terminal_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < kQuietFor || now - last_ < kEvery) return;
    last_ = now;
    shown_ = true;
    std::fprintf(stderr, "\rqvnet: %llu frames each way, %.3f s of virtual time   ",
                 static_cast<unsigned long long>(report.frames.sent),
                 static_cast<double>(virtual_us) / 1e6);
    std::fflush(stderr);
}

void Progress::Finish() {
    if (!shown_) return;
    std::fprintf(stderr, "\r%60s\r", "");
    std::fflush(stderr);
    shown_ = false;
}

}  // namespace qvnet
