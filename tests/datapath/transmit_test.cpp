// The transmit path as its users see it: frames on the emulated wire, the bulk-out transfers
// the bus received, and what NDIS learnt of each send.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "controller/device_stop.h"
#include "core/adapter.h"
#include "core/pool_tags.h"
#include "emulator/device/controller.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/machine.h"
#include "emulator/ndis/miniport.h"
#include "emulator/usbbus/bus.h"
#include "emulator/usbbus/faults.h"
#include "tests/support/running_adapter_fixture.h"
#include "usb/device_config.h"

namespace qvtest {
namespace {

using Frames = std::vector<std::vector<uint8_t>>;
constexpr uint8_t kBulkOut = RunningAdapter::kBulkOut;

class Transmit : public RunningAdapterFixture {
protected:
    // Every packet was completed exactly once, and with success.
    void ExpectEachCompletedOnceWithSuccess(size_t packets) {
        std::set<uint64_t> seen;
        for (const auto& completion : Nic().Completions()) {
            EXPECT_EQ(completion.status, NDIS_STATUS_SUCCESS) << "packet #" << completion.packet;
            EXPECT_TRUE(seen.insert(completion.packet).second) << "packet #" << completion.packet;
        }
        EXPECT_EQ(seen.size(), packets);
    }
};

struct TransmitCase {
    size_t length;
    std::vector<size_t> buffers;      // sizes of the packet's buffers; empty: one buffer
    std::vector<uint32_t> transfers;  // the bulk-out transfers the frame makes
};

const TransmitCase kTransmitCases[] = {
    {42, {}, {60}},                      // padded up to the minimum transfer
    {58, {}, {60}},                      // exactly the minimum
    {62, {14, 48}, {64, 0}},             // one whole bus packet: a zero-length follow-up
    {126, {14, 0, 112}, {128, 0}},       // two whole packets; an empty buffer in the chain
    {1514, {}, {1516}},                  // the longest Ethernet frame
    {1534, {600, 600, 334}, {1536, 0}},  // the longest that fits behind the length word
    {1534, {1533, 1}, {1536, 0}},        // its last byte alone in the last buffer
};

// A short frame sent right behind each case would run into a transfer left without its
// follow-up and be lost, so the wire shows a missing follow-up as well as a damaged frame.
TEST_F(Transmit, EachFrameReachesTheWireWholeWithAFollowUpExactlyWhenItFillsWholePackets) {
    Start();
    uint32_t seed = 1;
    for (const TransmitCase& c : kTransmitCases) {
        SCOPED_TRACE(c.length);
        Nic().Device().Wire().ClearRecords();
        Nic().Bulk().Clear();
        const ULONG xmitBefore = Record().XmitOk;
        const auto frame = FrameOut(c.length, seed++);
        const auto probe = FrameOut(42, seed++);

        if (c.buffers.empty()) {
            Nic().Send(frame);
        } else {
            Nic().Send(Split(frame, c.buffers));
        }
        Nic().Send(probe);
        Nic().RunUntilIdle();

        EXPECT_EQ(Nic().WireFrames(), (Frames{frame, probe}));
        std::vector<uint32_t> transfers = c.transfers;
        transfers.push_back(60);
        EXPECT_EQ(Nic().Bulk().SubmittedLengths(kBulkOut), transfers);
        EXPECT_EQ(Record().XmitOk - xmitBefore, transfers.size());
    }
    ExpectEachCompletedOnceWithSuccess(2 * std::size(kTransmitCases));
    EXPECT_EQ(Nic().Bulk().MostOutstanding(kBulkOut), 1u);
}

NTSTATUS FreeOwnRequest(DEVICE_OBJECT*, IRP* irp, PVOID) {
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// What the table above relies on: the controller runs a transfer of whole packets into the
// next one, so a frame whose follow-up went missing takes the next frame down with it.
TEST_F(Transmit, ATransferOfWholePacketsWithoutItsFollowUpSwallowsTheNextFrame) {
    Start();
    const auto lost = FrameOut(62, 1);
    std::vector<uint8_t> transfer(64);
    transfer[0] = 62;
    std::memcpy(transfer.data() + 2, lost.data(), lost.size());

    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb.UrbBulkOrInterruptTransfer;
    bulk.Hdr.Length = sizeof(bulk);
    bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulk.PipeHandle = Record().InterfaceInfo->Pipes[1].PipeHandle;
    bulk.TransferBufferLength = static_cast<ULONG>(transfer.size());
    bulk.TransferBuffer = transfer.data();
    IRP* irp = IoAllocateIrp(static_cast<CCHAR>(Record().IrpStackSize), FALSE);
    ASSERT_NE(irp, nullptr);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, FreeOwnRequest, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(Record().NextDeviceObject, irp);

    Nic().Send(FrameOut(42, 2));
    Nic().RunUntilIdle();
    EXPECT_EQ(Nic().WireFrames(), (Frames{lost}));
}

// NDIS does not queue a deserialized miniport's sends: a burst larger than the descriptors
// waits in the driver and goes out whole and in order, each packet completed once, and none
// before its frame's transfer came back.
struct BurstCase {
    ULONG descriptors;
    size_t length;
    LONG placedAtOnce;  // requests (frames and follow-ups) placed before any came back
};

// Packets completed before the first bulk-out transfer came back: none may be, as a packet's
// status is its own frame's.
size_t CompletedBeforeTheFirstTransferCameBack(RunningAdapter& nic) {
    uint64_t firstBack = UINT64_MAX;
    for (const BulkEvent& event : nic.Bulk().Events()) {
        if (event.endpoint == kBulkOut && event.type == 'C') {
            firstBack = event.time_us;
            break;
        }
    }
    size_t early = 0;
    for (const auto& completion : nic.Completions()) early += completion.time_us < firstBack;
    return early;
}

// Each frame as its place among those sent (-1 for one never sent): a difference reads at once.
std::vector<int> FrameOrder(const Frames& seen, const Frames& sent) {
    std::vector<int> order;
    for (const auto& frame : seen) {
        auto it = std::find(sent.begin(), sent.end(), frame);
        order.push_back(it == sent.end() ? -1 : static_cast<int>(it - sent.begin()));
    }
    return order;
}

void PrintTo(const BurstCase& c, std::ostream* out) {
    *out << c.descriptors << " descriptors, " << c.length << "-byte frames";
}

class TransmitBurst : public Transmit, public ::testing::WithParamInterface<BurstCase> {};

TEST_P(TransmitBurst, WaitsInTheDriverAndReachesTheWireWholeInOrder) {
    const BurstCase& c = GetParam();
    AdapterOptions options;
    options.tx_descriptors = c.descriptors;
    Start(options);
    Frames frames;
    for (uint32_t i = 0; i < 120; ++i) {
        frames.push_back(FrameOut(c.length, i));
        Nic().Send(frames.back());
    }
    Nic().Edge().SendHeldNow();
    // What the driver placed before the clock moved (nothing outside shows the queue).
    const LONG placedAtOnce = Record().TxInFlight;
    Nic().RunUntilIdle();

    EXPECT_EQ(FrameOrder(Nic().WireFrames(), frames), FrameOrder(frames, frames));
    ExpectEachCompletedOnceWithSuccess(frames.size());
    for (const auto& call : Nic().SendCalls()) EXPECT_EQ(call.returned, NDIS_STATUS_PENDING);
    EXPECT_TRUE(Nic().Edge().ResourceNotices().empty());
    EXPECT_EQ(CompletedBeforeTheFirstTransferCameBack(Nic()), 0u);
    if (Schedule().interleave_seed) return;  // another processor may give one back sooner
    EXPECT_EQ(placedAtOnce, c.placedAtOnce);
}

INSTANTIATE_TEST_SUITE_P(Sizes, TransmitBurst,
                         ::testing::Values(BurstCase{2, 64, 1}, BurstCase{20, 64, 19},
                                           BurstCase{2, 1514, 1}, BurstCase{20, 1514, 19},
                                           // each with its follow-up: two requests a frame
                                           BurstCase{2, 62, 2}, BurstCase{20, 62, 20}),
                         [](const auto& info) {
                             return std::to_string(info.param.descriptors) + "x" +
                                    std::to_string(info.param.length);
                         });

TEST_F(Transmit, ASendWhileATransferIsAtTheBusWaitsBehindIt) {
    ExactSchedule();
    Start();
    const auto first = FrameOut(300, 1);
    const auto second = FrameOut(300, 2);
    Nic().Send(first);
    Nic().Send(second);
    // One transfer is at the bus, the other waits; neither packet is NDIS's again yet.
    EXPECT_TRUE(Nic().Completions().empty());
    EXPECT_EQ(Nic().Bulk().Outstanding(kBulkOut), 1u);
    EXPECT_EQ(Record().TxInFlight, 2);

    ASSERT_TRUE(Nic().RunUntil([&] { return Nic().OnWire().size() == 1; }));
    Nic().RunUntil([&] { return !Nic().Completions().empty(); });
    ASSERT_EQ(Nic().Completions().size(), 1u);
    EXPECT_EQ(Nic().Completions()[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Record().TxInFlight, 1);
    EXPECT_EQ(Nic().Bulk().Outstanding(kBulkOut), 1u);

    Nic().RunUntilIdle();
    EXPECT_EQ(Record().TxInFlight, 0);
    EXPECT_EQ(Nic().WireFrames(), (Frames{first, second}));
    EXPECT_EQ(Nic().Bulk().MostOutstanding(kBulkOut), 1u);
}

TEST_F(Transmit, AFailedTransferFailsTheAdapterWhileWhatWaitedBehindItStillDrains) {
    ExactSchedule();
    Start();
    M().Bus().Faults().Add({emu::usb::match::Endpoint(kBulkOut), emu::usb::FaultAction::Fail});
    const auto second = FrameOut(62, 2);
    const auto third = FrameOut(100, 3);
    Nic().Send(FrameOut(100, 1));  // fails at the bus
    Nic().Send(second);            // waits behind it, with its follow-up
    Nic().Send(third);
    Nic().RunUntilIdle();

    EXPECT_EQ(Record().DeviceState, DeviceFailed);
    // What waited behind the failed transfer still went down, one request at a time, the
    // follow-up right behind its frame. The failure halted the pipe, so the bus failed each
    // of them and nothing reached the wire.
    EXPECT_EQ(Nic().Bulk().SubmittedLengths(kBulkOut), (std::vector<uint32_t>{102, 64, 0, 102}));
    EXPECT_EQ(Nic().Bulk().MostOutstanding(kBulkOut), 1u);
    EXPECT_TRUE(Nic().WireFrames().empty());
    EXPECT_EQ(Record().TxFreeCount, 20);
    EXPECT_EQ(Record().TxInFlight, 0);

    // A failed adapter prepares nothing more: the send fails back at once.
    Nic().Send(FrameOut(100, 4));
    Nic().RunUntilIdle();
    EXPECT_EQ(Nic().SendCalls().back().returned, NDIS_STATUS_PENDING);
    EXPECT_EQ(Nic().Completions().back().status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(Record().TxFreeCount, 20);
    EXPECT_TRUE(Nic().WireFrames().empty());
}

TEST_F(Transmit, ATransferFailedInsideTheCallCompletesItsPacketAsFailedAndReturnsItsDescriptorsOnce) {
    Start();
    M().Bus().Faults().Add(
        {emu::usb::match::Endpoint(kBulkOut), emu::usb::FaultAction::FailAtOnce});
    Nic().Send(FrameOut(62, 1));  // its follow-up waits behind it

    EXPECT_EQ(Nic().SendCalls().back().returned, NDIS_STATUS_PENDING);
    ASSERT_EQ(Nic().Completions().size(), 1u);
    EXPECT_EQ(Nic().Completions().back().status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(Record().DeviceState, DeviceFailed);

    // The bus refused the frame at submission; its follow-up still drains behind it. Then
    // every descriptor is back, each once.
    Nic().RunUntilIdle();
    EXPECT_EQ(Nic().Bulk().SubmittedLengths(kBulkOut), (std::vector<uint32_t>{0}));
    EXPECT_EQ(Record().TxFreeCount, 20);
    EXPECT_EQ(Record().TxFreeList.Count, 20u);
    EXPECT_EQ(Record().TxInFlight, 0);
}

// As after an unplug: the bus fails every request inside IoCallDriver. However many wait,
// they go down one at a time, in order, without each completion nesting the next.
TEST_F(Transmit, RequestsFailedInsideTheCallDrainInTurnWithoutNesting) {
    ExactSchedule();
    AdapterOptions options;
    options.tx_descriptors = 200;
    Start(options);
    Nic().Send(FrameOut(100, 0));  // at the bus; it completes later, with success
    for (uint32_t i = 1; i < 150; ++i) Nic().Send(FrameOut(100 + i, i));
    emu::usb::Fault unplugged{emu::usb::match::Endpoint(kBulkOut), emu::usb::FaultAction::FailAtOnce};
    unplugged.status = USBD_STATUS_DEVICE_GONE;
    unplugged.times = -1;
    M().Bus().Faults().Add(unplugged);
    Nic().RunUntilIdle();  // a chain as deep as the queue is reported as STACK_DEPTH

    // The first went out; every other one reached the bus, in order, and was refused there.
    std::vector<uint32_t> refused, expected;
    for (const BulkEvent& event : Nic().Bulk().Events())
        if (event.endpoint == kBulkOut && event.type == 'E') refused.push_back(event.length);
    for (uint32_t i = 1; i < 150; ++i) {
        expected.push_back(102 + i);
        if ((102 + i) % 64 == 0) expected.push_back(0);  // its follow-up
    }
    EXPECT_EQ(refused, expected);
    EXPECT_EQ(Nic().Bulk().MostOutstanding(kBulkOut), 1u);
    EXPECT_EQ(Nic().WireFrames().size(), 1u);
    EXPECT_EQ(Record().DeviceState, DeviceFailed);
    EXPECT_EQ(Record().XmitOk, 1u);  // failed transfers are not counted as sent
    EXPECT_EQ(Record().TxFreeCount, 200);
    EXPECT_EQ(Record().TxInFlight, 0);
}

// A send that cannot have every request it needs fails whole: nothing of it reaches the bus,
// its descriptors come back, and the frames after it go out whole.
struct ShortageCase {
    const char* what;
    bool transferAhead;  // another transfer is at the bus, so this one has to wait
    size_t length;
    bool failRequest;    // the frame's request (else a queue entry) cannot be had
    int entriesHad = 0;  // queue entries that can be had before the one that cannot
};

TEST_F(Transmit, ASendThatCannotHaveItsRequestsSendsNothingOfItAndLaterFramesGoOutWhole) {
    ExactSchedule();
    Start();
    uint32_t seed = 1;
    for (const ShortageCase& c : {ShortageCase{"frame's request", false, 62, true},
                                  ShortageCase{"follow-up's queue entry", false, 62, false},
                                  ShortageCase{"frame's queue entry", true, 42, false},
                                  ShortageCase{"frame's queue entry, its follow-up's had", true,
                                               62, false, 1}}) {
        SCOPED_TRACE(c.what);
        Nic().Device().Wire().ClearRecords();
        Frames expected;
        if (c.transferAhead) {
            expected.push_back(FrameOut(1000, seed++));
            Nic().Send(expected.back());
            Nic().Edge().SendHeldNow();  // the shortage below is for the next frame
        }
        const LONG freeBefore = Record().TxFreeCount;
        const size_t submittedBefore = Nic().Bulk().SubmittedLengths(kBulkOut).size();

        if (c.failRequest) {
            M().Io().FailAllocations(1);
        } else {
            Check().Allocations().FailTag(RequestPoolTag, 1, c.entriesHad);
        }
        const uint64_t failed = Nic().Send(FrameOut(c.length, seed++));
        Nic().Edge().SendHeldNow();  // not held back for a call back: the shortage is now
        ASSERT_FALSE(Nic().Completions().empty());
        EXPECT_EQ(Nic().Completions().back().packet, failed);
        EXPECT_EQ(Nic().Completions().back().status, NDIS_STATUS_FAILURE);
        EXPECT_EQ(Record().TxFreeCount, freeBefore);
        EXPECT_EQ(Nic().Bulk().SubmittedLengths(kBulkOut).size(), submittedBefore);

        for (size_t length : {62, 42}) {
            expected.push_back(FrameOut(length, seed++));
            Nic().Send(expected.back());
        }
        Nic().RunUntilIdle();
        EXPECT_EQ(Nic().WireFrames(), expected);
        EXPECT_EQ(Record().TxFreeCount, 20);
    }
}

// At halt the pipes are aborted and then reset: a waiting request handed down in between
// would still be on the pipe at the reset.
TEST_F(Transmit, AHaltWhileTransfersWaitSendsNothingMoreAndLeavesNothingBehind) {
    ExactSchedule();
    Start();
    for (uint32_t i = 0; i < 25; ++i) Nic().Send(FrameOut(1514, i));
    const size_t submitted = Nic().Bulk().SubmittedLengths(kBulkOut).size();
    ASSERT_EQ(submitted, 1u);

    // The stop first, as the halt makes it: every waiting request ends unsent and gives its
    // descriptor back.
    AtIrql(PASSIVE_LEVEL, [&] { EXPECT_EQ(StopDevice(&Record()), 1u); });
    EXPECT_EQ(Nic().Bulk().SubmittedLengths(kBulkOut).size(), submitted);
    EXPECT_EQ(Record().TxFreeCount, 20);
    EXPECT_EQ(Record().TxFreeList.Count, 20u);
    EXPECT_EQ(Record().TxInFlight, 0);

    Nic().Halt();  // NDIS's checks at the end of the halt report whatever was left
    EXPECT_EQ(Nic().Bulk().SubmittedLengths(kBulkOut).size(), submitted);
}

// Sends waiting in the driver when the adapter goes or is reset never go out later: each is
// completed once, with a failure. What was placed completes with its transfer: sent after a
// reset, failed when a halt aborts it or an unplug loses it.
enum class Event { Halt, Reset, Unplug };

std::string EventName(Event event) {
    return event == Event::Halt ? "Halt" : event == Event::Reset ? "Reset" : "Unplug";
}

class TransmitWaiting : public Transmit, public ::testing::WithParamInterface<Event> {};

TEST_P(TransmitWaiting, SendsWaitingAtAHaltAResetOrAnUnplugAreEachFailedOnce) {
    const Event event = GetParam();
    {
        Start();  // 20 descriptors: 19 frames are placed at once, the rest wait
        const size_t before = Nic().Completions().size();
        for (uint32_t i = 0; i < 25; ++i) Nic().Send(FrameOut(1514, i));
        Nic().Edge().SendHeldNow();

        switch (event) {
            case Event::Halt: Nic().Halt(); break;
            case Event::Reset: ASSERT_TRUE(Nic().Block().RequestReset()); break;
            case Event::Unplug: M().Bus().Unplug(); break;
        }
        if (event != Event::Halt) Nic().RunUntilIdle();

        std::map<uint64_t, std::vector<NDIS_STATUS>> statuses;
        for (size_t i = before; i < Nic().Completions().size(); ++i)
            statuses[Nic().Completions()[i].packet].push_back(Nic().Completions()[i].status);
        ASSERT_EQ(statuses.size(), 25u);
        // Frames that went out succeeded, the rest after them failed: never out of order. On
        // one processor 19 were placed at once; a halt or an unplug loses those too.
        size_t failed = 0;
        for (const auto& [packet, list] : statuses) {
            ASSERT_EQ(list.size(), 1u) << "packet #" << packet;
            if (list[0] != NDIS_STATUS_SUCCESS) {
                ++failed;
                EXPECT_EQ(list[0], NDIS_STATUS_FAILURE) << "packet #" << packet;
            } else {
                EXPECT_EQ(failed, 0u) << "packet #" << packet << " succeeded after a failure";
            }
        }
        // Another processor may have drained them all before the event.
        if (!Schedule().interleave_seed) {
            EXPECT_EQ(failed, event == Event::Reset ? 6u : 25u);
        }
        if (event == Event::Reset) {
            // The adapter runs on: what was placed goes out, and so do later sends.
            const auto after = FrameOut(1514, 99);
            Nic().Send(after);
            Nic().RunUntilIdle();
            Frames wire = Nic().WireFrames();
            ASSERT_EQ(wire.size(), 25 - failed + 1);
            EXPECT_EQ(wire.back(), after);
        }
        if (event != Event::Halt) Nic().Halt();
    }
}

INSTANTIATE_TEST_SUITE_P(Events, TransmitWaiting,
                         ::testing::Values(Event::Halt, Event::Reset, Event::Unplug),
                         [](const auto& info) { return EventName(info.param); });

TEST_F(Transmit, APacketTooLongForOneTransferIsRefusedWithoutTakingADescriptor) {
    Start();
    for (size_t length : {1535, 4000}) {
        SCOPED_TRACE(length);
        Nic().Send(Split(FrameOut(length, static_cast<uint32_t>(length)), {1000}));
        EXPECT_EQ(Nic().SendCalls().back().returned, NDIS_STATUS_FAILURE);
        EXPECT_EQ(Record().TxFreeCount, 20);
    }
    const auto next = FrameOut(60, 1);
    Nic().Send(next);
    Nic().RunUntilIdle();
    EXPECT_EQ(Nic().WireFrames(), (Frames{next}));
}

// The last free descriptor is kept for a follow-up: a frame needing one may take it, no other
// send may; a frame that finds too few free waits, and so does everything behind it. A
// configuration of fewer than two descriptors, with which nothing could ever be sent, is
// raised to two.
struct ReserveCase {
    const char* name;
    ULONG descriptors;
    std::vector<size_t> lengths;  // sent back to back
    LONG placedAtOnce;            // requests (frames and follow-ups) placed before any came back
};

void PrintTo(const ReserveCase& c, std::ostream* out) { *out << c.name; }

class TransmitReserve : public Transmit, public ::testing::WithParamInterface<ReserveCase> {};

TEST_P(TransmitReserve, AFrameWaitsWhenOnlyTheReserveIsLeftAndGoesOutWhenItsDescriptorsAreBack) {
    ExactSchedule();
    const ReserveCase& c = GetParam();
    AdapterOptions options;
    options.tx_descriptors = c.descriptors;
    Start(options);
    Frames frames;
    for (size_t length : c.lengths) {
        frames.push_back(FrameOut(length, static_cast<uint32_t>(frames.size() + 1)));
        Nic().Send(frames.back());
    }
    Nic().Edge().SendHeldNow();
    const LONG placedAtOnce = Record().TxInFlight;
    Nic().RunUntilIdle();

    EXPECT_EQ(Nic().WireFrames(), frames);
    ExpectEachCompletedOnceWithSuccess(frames.size());
    EXPECT_EQ(CompletedBeforeTheFirstTransferCameBack(Nic()), 0u);
    EXPECT_EQ(placedAtOnce, c.placedAtOnce);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TransmitReserve,
    ::testing::Values(
        ReserveCase{"FollowUpTakesTheReserve", 2, {62, 42}, 2},
        // The frame needing its follow-up finds one descriptor free and waits; the short
        // frame behind it waits too rather than pass it.
        ReserveCase{"OnlyTheReserveLeft", 3, {42, 42, 62, 42}, 2},
        // Fewer than two configured could never send: the adapter is given two.
        ReserveCase{"OneConfiguredSendsWithTwo", 1, {62, 42}, 2},
        ReserveCase{"NoneConfiguredSendsWithTwo", 0, {62, 42}, 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qvtest
