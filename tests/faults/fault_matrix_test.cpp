// Every phase of an adapter's life against every way a USB request can end badly. Each cell
// brings an adapter up, hits one request of its phase with one fault, and checks what the
// driver's users see (the initialization's status, sends and their completions, frames on the
// wire and indicated, the link followed, the set's completion); the fixture then halts the
// adapter, and NDIS's and the pool's checks must find nothing left, the verifier nothing
// broken, and the bus nothing held.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "core/adapter.h"
#include "emulator/device/controller.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/requests.h"
#include "emulator/usbbus/bus.h"
#include "emulator/usbbus/faults.h"
#include "tests/support/running_adapter_fixture.h"

namespace qvtest {
namespace {

using emu::usb::Fault;
using emu::usb::FaultAction;
using emu::usb::Submission;
namespace match = emu::usb::match;

enum class Phase { BringUp, Send, Receive, LinkMonitor, PendingSet, Halt };
enum class Kind {
    TransferError,
    Stall,
    NeverCompletes,
    AtOnce,        // completes with success inside IoCallDriver
    Unplugged,
    Cancelled,
    Babble,
    ShortPacket,
};

// What the driver's users see after the fault; each phase reads the fields it names.
struct Outcome {
    // BringUp: MiniportInitialize's status. Send: the faulted frame's completion
    // (NDIS_STATUS_PENDING: not completed while its transfer is at the bus).
    // PendingSet: the set's completion.
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    // Send, Receive: the data path has failed for good (later sends are refused).
    bool failed = false;
    // Send: frames on the wire of the two sent. Receive: frames indicated of the two put on
    // the wire after the fault.
    int moved = 0;
    // Receive: receive errors counted.
    ULONG receive_errors = 0;
    // LinkMonitor: a later pass still follows the link (a partner lost is indicated).
    bool follows_link = true;
};

struct Cell {
    Phase phase;
    Kind kind;
    Outcome expected;
};

constexpr NDIS_STATUS kOk = NDIS_STATUS_SUCCESS;
constexpr NDIS_STATUS kResources = NDIS_STATUS_RESOURCES;
constexpr NDIS_STATUS kFailure = NDIS_STATUS_FAILURE;

// A request on the default pipe, by its direction, vendor request and first register.
std::function<bool(const Submission&)> Register(bool read, uint16_t first) {
    return [read, first](const Submission& s) {
        return s.setup && s.setup->request_type == (read ? 0xC0 : 0x40) &&
               s.setup->request == (read ? 0xF0 : 0xF1) && s.setup->index == first;
    };
}

Fault FaultOf(Kind kind, std::function<bool(const Submission&)> when, uint32_t short_length) {
    Fault fault;
    fault.when = std::move(when);
    switch (kind) {
        case Kind::TransferError:
            fault.action = FaultAction::Fail;
            fault.status = USBD_STATUS_XACT_ERROR;
            break;
        case Kind::Stall: fault.action = FaultAction::Stall; break;
        case Kind::NeverCompletes: fault.action = FaultAction::PendForever; break;
        case Kind::AtOnce: fault.action = FaultAction::SucceedAtOnce; break;
        case Kind::Unplugged: fault.action = FaultAction::Unplug; break;
        case Kind::Cancelled: fault.action = FaultAction::Cancel; break;
        case Kind::Babble: fault.action = FaultAction::Babble; break;
        case Kind::ShortPacket: fault.action = FaultAction::ShortPacket; break;
    }
    fault.short_length = short_length;
    return fault;
}

constexpr uint64_t kHangCheckUs = 2'000'000;
// Long enough for a request that never completes to be given up on by the driver.
constexpr uint64_t kGiveUpUs = 12'000'000;

class FaultMatrix : public RunningAdapterFixture, public testing::WithParamInterface<Cell> {
protected:
    // A row states the outcome of one order of events: with a second processor, a transfer
    // failing inside the send's call would fail the send's own completion too.
    void SetUp() override {
        RunningAdapterFixture::SetUp();
        ExactSchedule();
    }
    void Add(Fault fault) { M().Bus().Faults().Add(std::move(fault)); }
    Fault Hit(std::function<bool(const Submission&)> when, uint32_t short_length = 0) {
        return FaultOf(GetParam().kind, std::move(when), short_length);
    }
    const Outcome& Expected() { return GetParam().expected; }
    bool Failed() { return Record().DeviceState == DeviceFailed; }

    void BringUp();
    void Send();
    void Receive();
    void LinkMonitor();
    void PendingSet();
    void Halt();
};

// The first request the driver sends, the device descriptor read: an empty descriptor makes
// the driver cycle the port and give up; a read that times out fails the bring-up at once.
void FaultMatrix::BringUp() {
    Add(Hit(match::Function(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), /*short_length=*/8));
    EXPECT_EQ(TryStart(), Expected().status);
    if (Expected().status != kOk) return;
    Nic().Send(FrameOut(100, 1));
    Nic().Run(100'000);
    EXPECT_EQ(Nic().OnWire().size(), 1u);
}

// The first frame's bulk-out transfer; then a second frame.
void FaultMatrix::Send() {
    Start();
    Add(Hit(match::Endpoint(RunningAdapter::kBulkOut)));
    Nic().Send(FrameOut(100, 1));
    Nic().Run(100'000);
    Nic().Send(FrameOut(200, 2));
    Nic().Run(100'000);

    ASSERT_EQ(Nic().SendCalls().size(), 2u);
    EXPECT_EQ(Nic().SendCalls()[0].returned, NDIS_STATUS_PENDING);
    if (Expected().status == NDIS_STATUS_PENDING) {
        // Its transfer still at the bus, the frame is not completed, nor the one behind it;
        // the halt's abort completes both.
        EXPECT_TRUE(Nic().Completions().empty());
        EXPECT_EQ(Nic().OnWire().size(), 0u);
        return;
    }
    ASSERT_EQ(Nic().Completions().size(), 2u);
    EXPECT_EQ(Nic().Completions()[0].status, Expected().status);
    // A failed data path fails the next frame through its completion.
    EXPECT_EQ(Nic().SendCalls()[1].returned, NDIS_STATUS_PENDING);
    EXPECT_EQ(Nic().Completions()[1].status, Expected().failed ? kFailure : kOk);
    EXPECT_EQ(static_cast<int>(Nic().OnWire().size()), Expected().moved);
    EXPECT_EQ(Failed(), Expected().failed);
}

// The bulk-in transfer after a first good frame; then two more frames.
void FaultMatrix::Receive() {
    Start();
    Add(Hit(match::Endpoint(RunningAdapter::kBulkIn), /*short_length=*/6));
    Nic().Inject(FrameIn(100, 1));
    Nic().Run(100'000);
    ASSERT_EQ(Nic().Received().size(), 1u);
    const ULONG errors = Record().RcvError;
    Nic().Inject(FrameIn(200, 2));
    Nic().Run(100'000);
    Nic().Inject(FrameIn(300, 3));
    Nic().Run(100'000);

    EXPECT_EQ(static_cast<int>(Nic().Received().size()) - 1, Expected().moved);
    EXPECT_EQ(Record().RcvError - errors, Expected().receive_errors);
    EXPECT_EQ(Failed(), Expected().failed);
    if (Expected().moved == 2) {
        EXPECT_EQ(Nic().ReceivedFrames().back(), FrameIn(300, 3));
    }
}

// The MII data read of the second pass (after one that completed, so RegReadBuffer holds the
// partner's ability). The pass ends; a later one sees the partner go.
void FaultMatrix::LinkMonitor() {
    Start();
    int reads = 0;
    Fault fault = Hit(Register(true, 0x26), /*short_length=*/1);
    fault.skip = 1;
    fault.when = [when = fault.when, &reads](const Submission& s) {
        const bool read = when(s);
        if (read) ++reads;
        return read;
    };
    Add(fault);
    ASSERT_TRUE(Nic().RunUntil([&] { return reads == 2; }, 3 * kHangCheckUs));
    Nic().Run(kGiveUpUs);
    ASSERT_TRUE(Nic().RunUntil([&] { return Record().LinkMonitorBusy == 0; }, kHangCheckUs));

    auto lost = [&] {
        for (const auto& s : Nic().Edge().Statuses())
            if (!s.complete && s.status == NDIS_STATUS_MEDIA_DISCONNECT) return true;
        return false;
    };
    Nic().Device().Partner(1).Detach();
    EXPECT_EQ(Nic().RunUntil(lost, 3 * kHangCheckUs), Expected().follows_link);
}

// The packet filter's register write, which the set's work item makes.
void FaultMatrix::PendingSet() {
    Start();
    Add(Hit(Register(false, 0x00)));
    auto& requests = Nic().Block().Request();
    const uint64_t id = requests.StartSet(OID_GEN_CURRENT_PACKET_FILTER, {0x0B, 0, 0, 0});
    const auto& record = requests.Wait(id);
    EXPECT_TRUE(record.completed);
    EXPECT_FALSE(record.abandoned);
    EXPECT_EQ(record.status, Expected().status);
}

// Every request the halt sends to the device (the remote wake-up feature and the two pipe
// resets' clear-feature requests); an unplug comes at the first.
void FaultMatrix::Halt() {
    Start();
    Nic().Send(FrameOut(100, 1));
    Nic().Run(100'000);
    Fault fault = Hit([](const Submission& s) { return s.setup.has_value(); });
    fault.times = GetParam().kind == Kind::Unplugged ? 1 : -1;
    Add(fault);
    Nic().Halt();
    EXPECT_FALSE(Nic().Running());
    EXPECT_EQ(M().Bus().PendingRequests(), 0u);
    // The halt reads nothing from the device, so a short packet has nothing to hit.
    if (GetParam().kind != Kind::ShortPacket) {
        EXPECT_GT(M().Bus().Faults().InjectedTotal(), 0u);
    }
}

TEST_P(FaultMatrix, EndsClean) {
    switch (GetParam().phase) {
        case Phase::BringUp: BringUp(); break;
        case Phase::Send: Send(); break;
        case Phase::Receive: Receive(); break;
        case Phase::LinkMonitor: LinkMonitor(); break;
        case Phase::PendingSet: PendingSet(); break;
        case Phase::Halt: Halt(); break;
    }
}

// Outcomes, phase by phase.
Outcome Ok() { return {}; }
Outcome Status(NDIS_STATUS status) { return {status}; }
Outcome Sent(NDIS_STATUS status, bool failed, int on_wire) { return {status, failed, on_wire}; }
Outcome Received(bool failed, int indicated, ULONG errors = 0) {
    return {kOk, failed, indicated, errors};
}
Outcome LinkFollowed(bool followed) { return {kOk, false, 0, 0, followed}; }

const Cell kCells[] = {
    // Bring-up: the device descriptor read. The synchronous path does not look at a
    // request's status: a descriptor left empty is what fails the bring-up; 8 bytes of it
    // are enough to go on.
    {Phase::BringUp, Kind::TransferError, Status(kResources)},
    {Phase::BringUp, Kind::Stall, Status(kResources)},
    {Phase::BringUp, Kind::NeverCompletes, Status(kResources)},
    {Phase::BringUp, Kind::AtOnce, Status(kOk)},
    {Phase::BringUp, Kind::Unplugged, Status(kResources)},
    {Phase::BringUp, Kind::Cancelled, Status(kResources)},
    {Phase::BringUp, Kind::Babble, Status(kResources)},
    {Phase::BringUp, Kind::ShortPacket, Status(kOk)},
    // Send: the frame is completed with its own transfer's outcome, so a transfer that fails
    // completes it with failure; the data path has then failed for good.
    {Phase::Send, Kind::TransferError, Sent(kFailure, true, 0)},
    {Phase::Send, Kind::Stall, Sent(kFailure, true, 0)},
    {Phase::Send, Kind::NeverCompletes, Sent(NDIS_STATUS_PENDING, false, 0)},
    {Phase::Send, Kind::AtOnce, Sent(kOk, false, 2)},
    {Phase::Send, Kind::Unplugged, Sent(kFailure, true, 0)},
    {Phase::Send, Kind::Cancelled, Sent(kFailure, true, 0)},
    // An OUT transfer neither babbles nor comes back short: the fault finds nothing to hit.
    {Phase::Send, Kind::Babble, Sent(kOk, false, 2)},
    {Phase::Send, Kind::ShortPacket, Sent(kOk, false, 2)},
    // Receive: an error ends reception for good; a transfer too short for the trailer is
    // counted as a receive error and the pipe goes on.
    {Phase::Receive, Kind::TransferError, Received(true, 0)},
    {Phase::Receive, Kind::Stall, Received(true, 0)},
    {Phase::Receive, Kind::NeverCompletes, Received(false, 0)},
    {Phase::Receive, Kind::AtOnce, Received(false, 2)},
    {Phase::Receive, Kind::Unplugged, Received(true, 0)},
    {Phase::Receive, Kind::Cancelled, Received(true, 0)},
    {Phase::Receive, Kind::Babble, Received(true, 0)},
    {Phase::Receive, Kind::ShortPacket, Received(false, 1, 1)},
    // Link monitor: whatever the read's fate, the pass ends and the next ones follow the
    // link; on a device that is gone they end too, and see nothing.
    {Phase::LinkMonitor, Kind::TransferError, LinkFollowed(true)},
    {Phase::LinkMonitor, Kind::Stall, LinkFollowed(true)},
    {Phase::LinkMonitor, Kind::NeverCompletes, LinkFollowed(true)},
    {Phase::LinkMonitor, Kind::AtOnce, LinkFollowed(true)},
    {Phase::LinkMonitor, Kind::Unplugged, LinkFollowed(false)},
    {Phase::LinkMonitor, Kind::Cancelled, LinkFollowed(true)},
    {Phase::LinkMonitor, Kind::Babble, LinkFollowed(true)},
    {Phase::LinkMonitor, Kind::ShortPacket, LinkFollowed(true)},
    // Pending set: a register write is judged only by whether it came back in time, so
    // only one that never completes fails the request.
    {Phase::PendingSet, Kind::TransferError, Status(kOk)},
    {Phase::PendingSet, Kind::Stall, Status(kOk)},
    {Phase::PendingSet, Kind::NeverCompletes, Status(kFailure)},
    {Phase::PendingSet, Kind::AtOnce, Status(kOk)},
    {Phase::PendingSet, Kind::Unplugged, Status(kOk)},
    {Phase::PendingSet, Kind::Cancelled, Status(kOk)},
    {Phase::PendingSet, Kind::Babble, Status(kOk)},
    {Phase::PendingSet, Kind::ShortPacket, Status(kOk)},
    // Halt: it completes whatever its requests meet.
    {Phase::Halt, Kind::TransferError, Ok()},
    {Phase::Halt, Kind::Stall, Ok()},
    {Phase::Halt, Kind::NeverCompletes, Ok()},
    {Phase::Halt, Kind::AtOnce, Ok()},
    {Phase::Halt, Kind::Unplugged, Ok()},
    {Phase::Halt, Kind::Cancelled, Ok()},
    {Phase::Halt, Kind::Babble, Ok()},
    {Phase::Halt, Kind::ShortPacket, Ok()},
};

std::string NameOf(const Cell& cell) {
    static const char* const phases[] = {"BringUp", "Send", "Receive",
                                         "LinkMonitor", "PendingSet", "Halt"};
    static const char* const kinds[] = {"TransferError", "Stall", "NeverCompletes", "AtOnce",
                                        "Unplugged", "Cancelled", "Babble", "ShortPacket"};
    return std::string(phases[static_cast<int>(cell.phase)]) + "_" +
           kinds[static_cast<int>(cell.kind)];
}

void PrintTo(const Cell& cell, std::ostream* out) { *out << NameOf(cell); }

std::string CellName(const testing::TestParamInfo<Cell>& info) { return NameOf(info.param); }

INSTANTIATE_TEST_SUITE_P(, FaultMatrix, testing::ValuesIn(kCells), CellName);

}  // namespace
}  // namespace qvtest
