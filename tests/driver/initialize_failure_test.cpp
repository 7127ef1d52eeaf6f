// MiniportInitialize against every failure it can meet: each allocation in turn, each request
// on the default pipe in turn, and descriptor counts no memory holds. At every point NDIS gets
// the status the failure calls for, and finds nothing left behind and no rule broken.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "driver/handlers.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/pool.h"
#include "emulator/machine.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/usbbus/bus.h"
#include "emulator/usbbus/faults.h"
#include "emulator/verifier/verifier.h"
#include "tests/support/harness/running_adapter.h"
#include "tests/support/harness/schedule.h"

namespace qvtest {
namespace {

// One bring-up on a fresh machine, with `arm` called inside NDIS's call of MiniportInitialize
// just before the driver runs, and `disarm` right after it.
struct Attempt {
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    bool ran = false;                  // the adapter ran (and was halted again)
    std::vector<std::string> reports;  // the verifier's, of any rule
    size_t left_at_bus = 0;
    bool shutdown_left = false;        // a failed initialize left its shutdown handler
    std::string what;  // filled in by `arm`'s fault, when it hit
};

Attempt BringUpOnce(const AdapterOptions& options,
                    const std::function<void(emu::Machine&, Attempt&)>& arm,
                    const std::function<void(emu::Machine&)>& disarm) {
    Attempt attempt;
    emu::Machine machine;
    machine.Check().OnReport(
        [&](const emu::Violation& violation) { attempt.reports.push_back(emu::Describe(violation)); });
    ApplySchedule(machine, ScheduleFromEnvironment());
    RunningAdapter nic(machine, options);
    machine.Ndis().OverrideInitialize([&](NDIS_STATUS* open_error, UINT* selected,
                                          NDIS_MEDIUM* media, UINT count, NDIS_HANDLE handle,
                                          NDIS_HANDLE context) {
        arm(machine, attempt);
        const NDIS_STATUS status =
            MiniportInitialize(open_error, selected, media, count, handle, context);
        disarm(machine);
        return status;
    });
    attempt.status = nic.Start();
    attempt.ran = nic.Running();
    attempt.shutdown_left = !attempt.ran && nic.Block().ShutdownHandlerRegistered();
    if (attempt.ran) {
        nic.Run(100'000);
        nic.Halt();  // NDIS checks for leaks, timers and requests
    }
    attempt.left_at_bus = machine.Bus().PendingRequests();
    return attempt;
}

AdapterOptions Quiet() {
    AdapterOptions options;
    options.hang_check = false;
    options.tx_descriptors = 3;
    options.rx_descriptors = 3;
    return options;
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) text += static_cast<char>(tag >> (8 * i) & 0xFF);
    return text;
}

// A request on the default pipe in the terms of the controller's log: "W10" / "R23" a register
// write or read, "Std 80 06 v0100" a standard request, "URB 0x0000" one without a setup stage.
std::string RequestText(const emu::usb::Submission& s) {
    char text[40];
    if (!s.setup) {
        std::snprintf(text, sizeof text, "URB 0x%04X", s.function);
    } else if (s.setup->request_type == 0x40 || s.setup->request_type == 0xC0) {
        std::snprintf(text, sizeof text, "%c%02X", s.setup->request_type == 0x40 ? 'W' : 'R',
                      s.setup->index);
    } else {
        std::snprintf(text, sizeof text, "Std %02X %02X v%04X", s.setup->request_type,
                      s.setup->request, s.setup->value);
    }
    return text;
}

// Each request MiniportInitialize sends on the default pipe, failed in turn (k = 1, 2, ...).
// Whether that failure fails the bring-up, in request order.
struct RequestSweep {
    std::vector<std::string> requests;
    std::vector<bool> fails;
};

RequestSweep FailEachRequest(emu::usb::FaultAction action) {
    RequestSweep sweep;
    for (int k = 1;; ++k) {
        SCOPED_TRACE(testing::Message() << "request " << k);
        int seen = 0;
        bool hit = false;
        const Attempt a = BringUpOnce(
            Quiet(),
            [&](emu::Machine& m, Attempt& attempt) {
                emu::usb::Fault fault;
                fault.action = action;
                fault.when = [&, k](const emu::usb::Submission& s) {
                    if (s.endpoint != 0 || ++seen != k) return false;
                    hit = true;
                    attempt.what = RequestText(s);
                    return true;
                };
                m.Bus().Faults().Add(fault);
            },
            [](emu::Machine& m) { m.Bus().Faults().Clear(); });
        EXPECT_EQ(a.reports, std::vector<std::string>{});
        EXPECT_EQ(a.left_at_bus, 0u);
        EXPECT_FALSE(a.shutdown_left);
        if (!hit) {
            EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS) << "with no request failed";
            break;
        }
        EXPECT_TRUE(a.status == NDIS_STATUS_SUCCESS || a.status == NDIS_STATUS_RESOURCES)
            << a.what << ": 0x" << std::hex << a.status;
        EXPECT_EQ(a.ran, a.status == NDIS_STATUS_SUCCESS);
        sweep.requests.push_back(a.what);
        sweep.fails.push_back(a.status != NDIS_STATUS_SUCCESS);
        if (k >= 2000) {
            ADD_FAILURE() << "initialize keeps sending";
            break;
        }
    }
    return sweep;
}

std::vector<std::string> Failing(const RequestSweep& sweep) {
    std::vector<std::string> failing;
    for (size_t i = 0; i < sweep.requests.size(); ++i)
        if (sweep.fails[i]) failing.push_back(sweep.requests[i]);
    return failing;
}

// A request the bus completes with an error still counts as done: only the descriptors and the
// configuration, whose failure shows in the data they leave, fail the bring-up. Every other
// request's status is ignored by design (the controller's registers, the EEPROM and MII
// commands, the PHY side's reset, everything the start sends), and the adapter runs.
TEST(LifecycleFailure, EachRequestOfInitializeFailedAtTheBusInTurn) {
    const RequestSweep sweep = FailEachRequest(emu::usb::FaultAction::Fail);
    EXPECT_EQ(Failing(sweep),
              (std::vector<std::string>{"Std 80 06 v0100", "Std 80 06 v0200", "Std 00 09 v0001"}));
    EXPECT_GT(sweep.requests.size(), 100u);  // PHY 1's negotiation polls among them
}

// A request that never completes is cancelled after five seconds and counts as failed where
// the bring-up looks at the result: the USB configuration, the first read of the controller's
// registers, the station address and the group filter. Everything after is ignored.
TEST(LifecycleFailure, EachRequestOfInitializeTimingOutInTurn) {
    const RequestSweep sweep = FailEachRequest(emu::usb::FaultAction::PendForever);
    EXPECT_EQ(Failing(sweep),
              (std::vector<std::string>{"Std 80 06 v0100", "Std 80 06 v0200", "Std 00 09 v0001",
                                        "Std 00 01 v0001", "Std 80 00 v0000", "R10", "W10",
                                        "W08"}));
}

// Every allocation MiniportInitialize makes, failed in turn. The Adapter's own gives back the
// allocation's status, with nothing acquired; every other block's gives NDIS_STATUS_RESOURCES
// with everything acquired given back. A request that cannot be allocated fails the bring-up
// exactly where one that times out does.
TEST(LifecycleFailure, EachAllocationOfInitializeFailedInTurn) {
    std::vector<bool> requestFails;
    std::vector<std::string> otherTags;  // the allocations other than requests, in order
    std::vector<NDIS_STATUS> otherStatus;
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(testing::Message() << "allocation " << n);
        bool hit = false;
        ULONG tag = 0;
        const Attempt a = BringUpOnce(
            Quiet(), [&](emu::Machine& m, Attempt&) { m.Check().Allocations().FailNth(n); },
            [&](emu::Machine& m) {
                hit = m.Check().Allocations().Failed() != 0;
                tag = m.Check().Allocations().LastFailedTag();
                m.Check().Allocations().Clear();
            });
        EXPECT_EQ(a.reports, std::vector<std::string>{});
        EXPECT_EQ(a.left_at_bus, 0u);
        EXPECT_FALSE(a.shutdown_left);
        if (!hit) {
            EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS) << "with no allocation failed";
            break;
        }
        EXPECT_EQ(a.ran, a.status == NDIS_STATUS_SUCCESS);
        if (tag == emu::IoManager::kRequestTag) {
            EXPECT_TRUE(a.status == NDIS_STATUS_SUCCESS || a.status == NDIS_STATUS_RESOURCES);
            requestFails.push_back(a.status != NDIS_STATUS_SUCCESS);
        } else {
            otherTags.push_back(TagText(tag));
            otherStatus.push_back(a.status);
        }
        if (n >= 2000) {
            ADD_FAILURE() << "initialize keeps allocating";
            break;
        }
    }
    ASSERT_FALSE(otherTags.empty());
    EXPECT_EQ(otherTags.front(), "aaQZ");
    EXPECT_EQ(otherStatus.front(), NDIS_STATUS_FAILURE);
    for (size_t i = 1; i < otherTags.size(); ++i) {
        EXPECT_EQ(otherStatus[i], NDIS_STATUS_RESOURCES) << otherTags[i];
    }
    // No request built is no request sent: the same as one that timed out. (The sweeps differ in
    // length: a five-second time-out in the negotiation's polls lets it complete sooner.)
    auto failingAt = [](const std::vector<bool>& fails) {
        std::vector<size_t> at;
        for (size_t i = 0; i < fails.size(); ++i)
            if (fails[i]) at.push_back(i + 1);
        return at;
    };
    EXPECT_EQ(failingAt(requestFails),
              failingAt(FailEachRequest(emu::usb::FaultAction::PendForever).fails));
    EXPECT_EQ(failingAt(requestFails).size(), 8u);
}

}  // namespace
}  // namespace qvtest
