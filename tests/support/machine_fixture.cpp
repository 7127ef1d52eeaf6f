#include "tests/support/machine_fixture.h"

#include "emulator/kernel/scheduler.h"

namespace qvtest {

MachineFixture::MachineFixture() : machine_(std::make_unique<emu::Machine>()) {
    machine_->Check().OnReport(
        [](const emu::Violation& violation) { ADD_FAILURE() << emu::Describe(violation); });
}

MachineFixture::~MachineFixture() = default;

void MachineFixture::Advance(uint64_t microseconds) { machine_->Clock().Advance(microseconds); }

}  // namespace qvtest
