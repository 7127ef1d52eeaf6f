#include "tests/support/machine_fixture.h"

#include <cstdio>

#include "emulator/kernel/scheduler.h"
#include "tests/support/harness/schedule.h"

namespace qvtest {

MachineFixture::MachineFixture() : machine_(std::make_unique<emu::Machine>()) {
    machine_->Check().OnReport(
        [](const emu::Violation& violation) { ADD_FAILURE() << emu::Describe(violation); });
    // The suites that run under other schedules set them in the environment.
    schedule_ = ScheduleFromEnvironment();
    ApplySchedule(*machine_, schedule_);
}

MachineFixture::~MachineFixture() {
    const std::string reproduce = ReproduceWith(schedule_);
    if (HasFailure() && !reproduce.empty()) {
        std::fprintf(stderr, "schedule: %s; %s reproduces this run\n",
                     DescribeSchedule(schedule_).c_str(), reproduce.c_str());
    }
}

void MachineFixture::ExactSchedule() {
    schedule_ = ScheduleOptions{};
    ApplySchedule(*machine_, schedule_);
}

void MachineFixture::Advance(uint64_t microseconds) { machine_->Clock().Advance(microseconds); }

}  // namespace qvtest
