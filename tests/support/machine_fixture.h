// A test fixture that owns one hosted Machine and turns every unexpected verifier report into
// a test failure. Tests that break a rule on purpose call Expect() for that rule first.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "emulator/machine.h"
#include "emulator/verifier/verifier.h"
#include "platform/ndis.h"
#include "platform/types.h"
#include "tests/support/harness/schedule.h"

namespace qvtest {

// Where NdisMedium802_3 stands in the array NDIS offers MiniportInitialize (count when absent),
// for stand-ins of MiniportInitialize.
inline UINT Index802_3(const NDIS_MEDIUM* media, UINT count) {
    UINT index = 0;
    while (index < count && media[index] != NdisMedium802_3) ++index;
    return index;
}

class MachineFixture : public ::testing::Test {
protected:
    MachineFixture();
    ~MachineFixture() override;

    emu::Machine& M() { return *machine_; }
    emu::Verifier& Check() { return machine_->Check(); }
    void Expect(emu::Rule rule) { machine_->Check().Expect(rule); }
    // Moves virtual time on, running whatever falls due.
    void Advance(uint64_t microseconds);
    // Runs this callback at the given IRQL, as the platform calls a handler.
    template <class F>
    auto AtIrql(KIRQL irql, F&& callback);

    const ScheduleOptions& Schedule() const { return schedule_; }
    // For a test that checks the state between the steps of one exact order of events: it
    // runs on one processor with exact timers, whatever schedule its suite runs under.
    void ExactSchedule();

private:
    std::unique_ptr<emu::Machine> machine_;
    ScheduleOptions schedule_;
};

}  // namespace qvtest

#include "emulator/kernel/processor.h"

template <class F>
auto qvtest::MachineFixture::AtIrql(KIRQL irql, F&& callback) {
    return machine_->Cpu().CallDriver(irql, "test callback", std::forward<F>(callback));
}
