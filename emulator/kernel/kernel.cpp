// The one hosted kernel; the kernel's platform routines reach it through Kernel::Current().
#include "emulator/kernel/kernel.h"

#include <cstdio>
#include <cstdlib>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/verifier/verifier.h"

namespace emu {

Kernel::Kernel() {
    if (current_ != nullptr) {
        std::fprintf(stderr, "qvnet emulator: a second machine was created while one exists\n");
        std::abort();
    }
    // Set first: the parts below may already use the platform routines while they start.
    current_ = this;
    verifier_ = std::make_unique<Verifier>();
    scheduler_ = std::make_unique<Scheduler>();
    verifier_->SetClock([this] { return scheduler_->Now(); });
    processor_ = std::make_unique<Processor>();
    // Another processor may step in where driver code calls the platform holding no lock.
    processor_->SetBoundaryHook([this](const char* call) { scheduler_->AtBoundary(call); });
    pool_ = std::make_unique<Pool>();
    io_ = std::make_unique<IoManager>();
    pool_->AddLiveCheck([this](const void* begin, size_t size) -> std::string {
        return processor_->HoldsAnyIn(begin, size) ? "a held spin lock" : "";
    });
}

Kernel::~Kernel() {
    // Newest part first: the I/O manager and the pool may still report as they go.
    io_.reset();
    pool_.reset();
    processor_.reset();
    verifier_->SetClock(nullptr);
    scheduler_.reset();
    verifier_.reset();
    current_ = nullptr;
}

void Kernel::NoMachine() {
    std::fprintf(stderr, "qvnet emulator: a platform routine was called with no machine\n");
    std::abort();
}

}  // namespace emu
