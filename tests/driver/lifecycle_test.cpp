// The adapter's lifecycle handlers as NDIS and the device see them: the medium NDIS is told,
// a reset that clears only the statistics, a hang check that never asks for a reset, a machine
// shutdown that stops the device and frees nothing, and a halt after which NDIS finds nothing
// left.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "core/adapter.h"
#include "datapath/receive.h"
#include "driver/handlers.h"
#include "emulator/device/controller.h"
#include "emulator/kernel/pool.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/timers.h"
#include "emulator/usbbus/bus.h"
#include "emulator/usbbus/faults.h"
#include "emulator/verifier/verifier.h"
#include "tests/support/device_ops.h"
#include "tests/support/running_adapter_fixture.h"

namespace qvtest {
namespace {

using Texts = std::vector<std::string>;

class Lifecycle : public RunningAdapterFixture {
protected:
    // Frames both ways, so every statistics counter that traffic moves has moved.
    void MoveFrames() {
        Nic().Send(FrameOut(200, 1));
        Nic().Inject(FrameIn(300, 2));
        Nic().Run(50'000);
        ASSERT_EQ(Nic().OnWire().size(), 1u);
        ASSERT_EQ(Nic().Received().size(), 1u);
    }
};

// ---- The medium ---------------------------------------------------------------------------

struct MediumCase {
    const char* name;
    std::vector<NDIS_MEDIUM> offered;
    NDIS_STATUS status;
    UINT selected;
};

void PrintTo(const MediumCase& c, std::ostream* out) { *out << c.name; }

class LifecycleMedium : public RunningAdapterFixture,
                        public testing::WithParamInterface<MediumCase> {};

// Without 802.3 among the media, initialize refuses before it allocates or sends anything;
// with it there more than once, the first is chosen. No open error is reported either way.
TEST_P(LifecycleMedium, TheFirst8023IsChosenAndWithoutOneNothingIsAllocated) {
    const MediumCase& c = GetParam();
    M().Ndis().SetMediumArray(c.offered);
    uint64_t allocations = 0;
    NDIS_STATUS openError = 0;
    M().Ndis().OverrideInitialize([&](NDIS_STATUS* open_error, UINT* selected,
                                      NDIS_MEDIUM* media, UINT count, NDIS_HANDLE handle,
                                      NDIS_HANDLE context) {
        const uint64_t before = Check().Allocations().Counted();
        *open_error = 0x5A5A5A5A;
        const NDIS_STATUS status =
            MiniportInitialize(open_error, selected, media, count, handle, context);
        openError = *open_error;
        allocations = Check().Allocations().Counted() - before;
        return status;
    });
    RunningAdapter nic(M(), AdapterOptions{});
    EXPECT_EQ(nic.Start(), c.status);
    EXPECT_EQ(openError, 0x5A5A5A5Au) << "OpenErrorStatus is never written";
    if (c.status != NDIS_STATUS_SUCCESS) {
        EXPECT_EQ(allocations, 0u);
        EXPECT_TRUE(nic.Device().ControlLog().empty());
        EXPECT_FALSE(nic.Block().AttributesSet());
        return;
    }
    EXPECT_EQ(nic.Block().SelectedMediumIndex(), c.selected);
    nic.Halt();
}

INSTANTIATE_TEST_SUITE_P(
    Media, LifecycleMedium,
    testing::Values(
        MediumCase{"None", {}, NDIS_STATUS_UNSUPPORTED_MEDIA, 0},
        MediumCase{"No8023", {NdisMedium802_5, NdisMediumWan}, NDIS_STATUS_UNSUPPORTED_MEDIA, 0},
        MediumCase{"Twice", {NdisMedium802_5, NdisMedium802_3, NdisMediumWan, NdisMedium802_3},
                   NDIS_STATUS_SUCCESS, 1},
        MediumCase{"FirstOfTwo", {NdisMedium802_3, NdisMedium802_3}, NDIS_STATUS_SUCCESS, 0}),
    [](const testing::TestParamInfo<MediumCase>& info) { return std::string(info.param.name); });

struct HugeCase {
    const char* name;
    ULONG tx, rx;
};

void PrintTo(const HugeCase& c, std::ostream* out) { *out << c.name; }

class LifecycleHugeCounts : public RunningAdapterFixture,
                            public testing::WithParamInterface<HugeCase> {};

// Descriptor counts whose block no memory holds fail the bring-up with nothing left behind (NDIS
// checks for leaks after a failed initialize), and no shutdown handler left registered.
TEST_P(LifecycleHugeCounts, FailTheBringUpWithNothingLeft) {
    AdapterOptions options;
    options.tx_descriptors = GetParam().tx;
    options.rx_descriptors = GetParam().rx;
    RunningAdapter nic(M(), options);
    EXPECT_EQ(nic.Start(), NDIS_STATUS_RESOURCES);
    EXPECT_FALSE(nic.Block().ShutdownHandlerRegistered());
    EXPECT_EQ(M().Bus().PendingRequests(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, LifecycleHugeCounts,
    testing::Values(HugeCase{"Transmit", 0x7FFFFFFFu, 20}, HugeCase{"Receive", 20, 0xFFFFFFFFu},
                    HugeCase{"SumWraps", 0x80000000u, 0x80000000u}),
    [](const testing::TestParamInfo<HugeCase>& info) { return std::string(info.param.name); });

// ---- Reset and the hang check ---------------------------------------------------------------

// A reset clears the statistics and nothing else: the addresses, the filter, the descriptors
// and the controller stay as they were, the transfers go on, and no addressing reset is asked.
TEST_F(Lifecycle, ResetClearsOnlyTheStatistics) {
    AdapterOptions options;
    options.hang_check = false;
    Start(options);
    MoveFrames();
    Adapter& a = Record();
    a.RcvError = 3;
    a.RcvAlignmentError = 4;
    a.XmitError = 5;
    a.XmitUnderrun = 6;
    a.XmitOneCollision = 7;
    a.XmitDeferred = 8;
    ASSERT_GT(a.RcvOk, 0u);
    ASSERT_GT(a.XmitOk, 0u);
    // Everything but the counters, byte for byte.
    auto rest = [](const Adapter& adapter) {
        Adapter copy;
        std::memcpy(static_cast<void*>(&copy), &adapter, sizeof copy);
        copy.RcvOk = copy.RcvError = copy.RcvAlignmentError = 0;
        copy.XmitOk = copy.XmitError = copy.XmitUnderrun = 0;
        copy.XmitOneCollision = copy.XmitDeferred = 0;
        return std::vector<unsigned char>(reinterpret_cast<unsigned char*>(&copy),
                                          reinterpret_cast<unsigned char*>(&copy) + sizeof copy);
    };
    const auto before = rest(a);
    const size_t requests = Nic().Device().ControlLog().size();
    const auto registers = Nic().Device().Registers();

    ASSERT_TRUE(Nic().Block().RequestReset());

    const emu::ndis::Miniport::Reset& reset = Nic().Block().ResetLog().back();
    EXPECT_EQ(reset.returned, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(reset.completed);
    EXPECT_EQ(reset.addressing_reset, FALSE);
    for (ULONG counter : {a.RcvOk, a.RcvError, a.RcvAlignmentError, a.XmitOk, a.XmitError,
                          a.XmitUnderrun, a.XmitOneCollision, a.XmitDeferred}) {
        EXPECT_EQ(counter, 0u);
    }
    EXPECT_EQ(rest(a), before);
    EXPECT_EQ(Nic().Device().ControlLog().size(), requests);
    EXPECT_EQ(Nic().Device().Registers(), registers);

    // AddressingReset is written FALSE whatever it held.
    BOOLEAN addressing = TRUE;
    EXPECT_EQ(AtIrql(DISPATCH_LEVEL, [&] { return MiniportReset(&addressing, &a); }),
              NDIS_STATUS_SUCCESS);
    EXPECT_EQ(addressing, FALSE);

    // The data path runs on as before.
    Nic().Send(FrameOut(100, 3));
    Nic().Inject(FrameIn(100, 4));
    Nic().Run(50'000);
    EXPECT_EQ(Nic().OnWire().size(), 2u);
    EXPECT_EQ(Nic().Received().size(), 2u);
    EXPECT_EQ(a.XmitOk, 1u);
    EXPECT_EQ(a.RcvOk, 1u);
}

// The hang check drives the link monitor and never asks NDIS for a reset: not with the link
// gone, and not with a bulk transfer failed.
TEST_F(Lifecycle, TheHangCheckNeverAsksForAReset) {
    Start();
    Nic().Run(5'000'000);
    const uint64_t checks = Nic().Block().HangChecks();
    EXPECT_GE(checks, 2u);

    Nic().Device().Partner(1).Detach();
    Nic().Run(5'000'000);
    EXPECT_EQ(Record().MediaState, MediaDisconnected);

    // The receive transfer fails at the bus: the device has failed for the driver.
    M().Bus().Faults().Add({emu::usb::match::Endpoint(RunningAdapter::kBulkIn),
                            emu::usb::FaultAction::Fail});
    Nic().Device().QueueFrame(FrameIn(100, 1));
    Nic().Run(5'000'000);
    EXPECT_EQ(Record().DeviceState, DeviceFailed);

    EXPECT_GE(Nic().Block().HangChecks(), checks + 4);
    EXPECT_EQ(Nic().Block().Resets(), 0u);
    EXPECT_FALSE(AtIrql(DISPATCH_LEVEL, [&] { return MiniportCheckForHang(&Record()); }));
}

// ---- Shutdown and halt --------------------------------------------------------------------

const Texts kStop = {"Std 00 03 v0001 i0000",   // remote wake-up armed
                     "Std 02 01 v0000 i0002",   // the bulk-out pipe reset
                     "Std 02 01 v0000 i0081"};  // the bulk-in pipe reset

// A machine shutdown stops the device and frees nothing: the adapter stays whole, and the halt
// that follows still gives everything back.
TEST_F(Lifecycle, MachineShutdownStopsTheDeviceAndFreesNothing) {
    AdapterOptions options;
    options.hang_check = false;
    Start(options);
    MoveFrames();
    Nic().Device().SetRemoteWakeup(false);
    Nic().Device().ClearControlLog();
    const size_t live = M().Memory().LiveCount();
    const uint64_t start = Nic().Now();

    EXPECT_EQ(M().Ndis().ShutdownMachine(), 1);

    EXPECT_EQ(DeviceOpTexts(Nic().Device().ControlLog()), kStop);
    EXPECT_TRUE(Nic().Device().RemoteWakeup());
    EXPECT_GE(Nic().Now() - start, 1'000'000u);  // the stop's wait
    EXPECT_EQ(Nic().Bulk().Outstanding(RunningAdapter::kBulkIn), 0u);
    EXPECT_EQ(M().Memory().LiveCount(), live);
    EXPECT_EQ(Record().DeviceState, DeviceStopped);
    EXPECT_TRUE(Nic().Block().IsRunning());
    EXPECT_TRUE(Nic().Block().ShutdownHandlerRegistered());

    // Stopped: nothing new goes down.
    Nic().Send(FrameOut(100, 5));
    Nic().Run(50'000);
    EXPECT_EQ(Nic().OnWire().size(), 1u);

    Nic().Device().ClearControlLog();
    Nic().Halt();  // NDIS's checks at the halt: no leak, timer or request left
    EXPECT_EQ(DeviceOpTexts(Nic().Device().ControlLog()), kStop);
    EXPECT_FALSE(Nic().Block().ShutdownHandlerRegistered());
    EXPECT_EQ(M().Ndis().ShutdownMachine(), 0);
}

// After a crash NDIS calls the shutdown handler at HIGH_LEVEL, where nothing may wait: it
// only marks the device stopped and returns at once, sending nothing.
TEST_F(Lifecycle, CrashShutdownOnlyMarksTheDeviceStopped) {
    ExactSchedule();  // the clock must not move during the call
    AdapterOptions options;
    options.hang_check = false;
    Start(options);
    Nic().Device().ClearControlLog();
    const uint64_t start = Nic().Now();

    EXPECT_EQ(M().Ndis().ShutdownMachine(emu::ndis::Ndis::ShutdownKind::Crash), 1);

    EXPECT_EQ(Nic().Now(), start);
    EXPECT_TRUE(Nic().Device().ControlLog().empty());
    EXPECT_EQ(Record().DeviceState, DeviceStopped);
    EXPECT_TRUE(Record().Stopping);
    const size_t sent = Nic().OnWire().size();
    Nic().Send(FrameOut(100, 6));
    Nic().Run(50'000);
    EXPECT_EQ(Nic().OnWire().size(), sent);
    // The halt in TearDown stops the device properly and finds nothing left.
}

class LifecycleAfterShutdown : public Lifecycle, public testing::WithParamInterface<bool> {};

// Once shut down, at PASSIVE_LEVEL or above it, the adapter sends the device nothing more: the
// hang checks that NDIS goes on making start no link poll.
TEST_P(LifecycleAfterShutdown, TheHangCheckSendsNothing) {
    Start();
    Nic().Run(2'500'000);
    ASSERT_GE(Nic().Block().HangChecks(), 1u);
    const size_t polled = Nic().Device().ControlLog().size();
    Nic().Run(2'000'000);
    ASSERT_GT(Nic().Device().ControlLog().size(), polled) << "the link monitor polls";

    M().Ndis().ShutdownMachine(GetParam() ? emu::ndis::Ndis::ShutdownKind::Crash
                                          : emu::ndis::Ndis::ShutdownKind::Orderly);
    Nic().Run(100'000);  // a poll already in flight finishes
    Nic().Device().ClearControlLog();
    const uint64_t checks = Nic().Block().HangChecks();
    Nic().Run(6'000'000);
    EXPECT_GE(Nic().Block().HangChecks(), checks + 2);
    EXPECT_EQ(DeviceOpTexts(Nic().Device().ControlLog()), Texts{});
    EXPECT_EQ(Nic().Block().Resets(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Shutdown, LifecycleAfterShutdown, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "AbovePassive" : "AtPassive");
                         });

// A halt with traffic under way: every transfer is back and every block freed by the time it
// returns (NDIS checks at the halt), and the device was stopped on the way.
TEST_F(Lifecycle, HaltLeavesNothingBehind) {
    Start();
    MoveFrames();
    M().Bus().Faults().Add({emu::usb::match::Endpoint(RunningAdapter::kBulkOut),
                            emu::usb::FaultAction::PendForever});
    Nic().Send(FrameOut(1000, 7));
    Nic().Send(FrameOut(60, 8));
    Nic().Run(3'000);
    Nic().Device().ClearControlLog();
    const size_t before = M().Memory().LiveCount();

    Nic().Halt();

    EXPECT_EQ(Nic().Block().CurrentState(), emu::ndis::Miniport::State::Halted);
    EXPECT_EQ(DeviceOpTexts(Nic().Device().ControlLog()), kStop);
    EXPECT_LT(M().Memory().LiveCount(), before);
    EXPECT_EQ(M().Bus().PendingRequests(), 0u);
    EXPECT_FALSE(Nic().Block().ShutdownHandlerRegistered());
}

// The halt cancels the indication timer before it stops the device and again after: the first
// keeps a frame parked when the halt begins from being indicated while the device stops (every
// binding is closed by then), the second removes a retry that a completion on another processor
// set during the stop's wait, having looked at the device state before the stop. Left set, that
// timer would fire into a freed adapter.
struct TimerAtHaltCase {
    const char* name;
    bool park_a_frame;        // a frame received, its indication waiting for the next tick
    bool retry_set_in_stop;   // the timer set again at each of the stop's waits
};

class LifecycleTimerAtHalt : public Lifecycle,
                             public testing::WithParamInterface<TimerAtHaltCase> {};

TEST_P(LifecycleTimerAtHalt, TheHaltLeavesTheIndicationTimerNeitherRunningNorSet) {
    const TimerAtHaltCase c = GetParam();
    AdapterOptions options;
    options.hang_check = false;
    Start(options);
    // A 0 ms setting then waits for the next 10 ms tick, as on a real machine.
    M().Ndis().TimerTable().RoundToTick(emu::ndis::Timers::ClockTick{10'000, 1});
    MoveFrames();
    const size_t received = Nic().Received().size();
    if (c.park_a_frame) {
        Nic().Inject(FrameIn(300, 3));
        ASSERT_TRUE(Nic().RunUntil([&] {
            const auto& events = Nic().Bulk().Events();
            return std::count_if(events.begin(), events.end(), [](const BulkEvent& e) {
                       return e.endpoint == RunningAdapter::kBulkIn && e.type == 'C' &&
                              e.length > 0;
                   }) == 2;
        }));
        ASSERT_EQ(Nic().Received().size(), received) << "indicated before the halt began";
    }
    if (c.retry_set_in_stop) {
        M().Cpu().SetBoundaryHook([this](const char* call) {
            M().Clock().AtBoundary(call);
            // Longer than one of the stop's waits, so the last one still leaves it set.
            if (std::string(call) == "NdisMSleep") {
                NdisSetTimer(&Record().RxIndicateTimer, 2 * ReceiveRetryDelayMs);
            }
        });
    }

    Nic().Halt();

    M().Cpu().SetBoundaryHook([this](const char* call) { M().Clock().AtBoundary(call); });
    EXPECT_EQ(Nic().Received().size(), received);
    EXPECT_EQ(Nic().Block().CurrentState(), emu::ndis::Miniport::State::Halted);
    // NDIS's check at the halt (TIMER_AT_HALT) fails the test if the timer was left set.
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LifecycleTimerAtHalt,
    testing::Values(TimerAtHaltCase{"AFrameParkedWhenTheHaltBegins", true, false},
                    TimerAtHaltCase{"ARetrySetDuringTheStop", false, true}),
    [](const testing::TestParamInfo<TimerAtHaltCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qvtest
