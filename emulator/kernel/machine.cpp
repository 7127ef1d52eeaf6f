// The one hosted machine; the platform routines reach it through Machine::Current().
#include "emulator/kernel/machine.h"

#include <cstdio>
#include <cstdlib>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/ndis.h"
#include "emulator/usbbus/bus.h"
#include "emulator/verifier/verifier.h"

namespace emu {

static Machine* current_machine = nullptr;

Machine::Machine() {
    if (current_machine != nullptr) {
        std::fprintf(stderr, "qvnet emulator: a second Machine was created while one exists\n");
        std::abort();
    }
    // Set first: the parts below may already use the platform routines while they start.
    current_machine = this;
    verifier_ = std::make_unique<Verifier>();
    scheduler_ = std::make_unique<Scheduler>();
    processor_ = std::make_unique<Processor>();
    pool_ = std::make_unique<Pool>();
    io_ = std::make_unique<IoManager>();
    pool_->AddLiveCheck([this](const void* begin, size_t size) -> std::string {
        return processor_->HoldsAnyIn(begin, size) ? "a held spin lock" : "";
    });
    // Another processor may step in where driver code calls the platform holding no lock.
    processor_->SetBoundaryHook([this](const char* call) { scheduler_->AtBoundary(call); });
    ndis_ = std::make_unique<ndis::Ndis>(*this);
    bus_ = std::make_unique<usb::Bus>(*this);
}

Machine::~Machine() {
    // Newest part first: NDIS and the bus may still release pool or requests as they go.
    bus_.reset();
    ndis_.reset();
    io_.reset();
    pool_.reset();
    processor_.reset();
    scheduler_.reset();
    verifier_.reset();
    current_machine = nullptr;
}

Machine& Machine::Current() {
    if (current_machine == nullptr) {
        std::fprintf(stderr, "qvnet emulator: a platform routine was called with no Machine\n");
        std::abort();
    }
    return *current_machine;
}

bool Machine::Exists() { return current_machine != nullptr; }

}  // namespace emu
