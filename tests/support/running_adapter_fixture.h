// A test over a running adapter: the hosted machine with its verifier (every unexpected report
// fails the test), the harness's running adapter, and a halt at the end of every test, after
// which NDIS's own checks (leaks, timers, requests at the bus) must find nothing.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/harness/running_adapter.h"
#include "tests/support/machine_fixture.h"

namespace qvtest {

class RunningAdapterFixture : public MachineFixture {
protected:
    // Starts the adapter; a fatal failure when it does not run.
    void Start(AdapterOptions options = {});
    // Starts the adapter and gives the initialization's status, for a test where it may fail.
    NDIS_STATUS TryStart(AdapterOptions options = {});
    void TearDown() override;

    RunningAdapter& Nic() { return *nic_; }
    // The driver's record, for what nothing outside the driver shows.
    Adapter& Record() { return *nic_->Record(); }

    // A frame from the far end to this station, and one from this station to the far end.
    std::vector<uint8_t> FrameIn(size_t length, uint32_t seed) const;
    std::vector<uint8_t> FrameOut(size_t length, uint32_t seed) const;

private:
    // LOCK_GUARD over the record's lock-guarded fields, for every test on a running adapter.
    void GuardFieldsWithTheirLocks();
    std::unique_ptr<RunningAdapter> nic_;
};

}  // namespace qvtest
