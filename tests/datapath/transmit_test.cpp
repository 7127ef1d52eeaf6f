// The transmit path as its users see it: frames on the emulated wire, the bulk-out transfers
// the bus received, and what NDIS learnt of each send.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "driver/adapter.h"
#include "driver/pool_tags.h"
#include "emulator/device/controller.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/machine.h"
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

TEST_F(Transmit, ARefusedSendIsOfferedAgainOnlyOnceEveryDescriptorIsBack) {
    ExactSchedule();
    Start();  // 20 descriptors, one of them kept in reserve for a follow-up
    Frames frames;
    for (uint32_t i = 0; i < 25; ++i) {
        frames.push_back(FrameOut(100, i));
        Nic().Send(frames.back());
    }
    const auto& calls = Nic().SendCalls();
    ASSERT_EQ(calls.size(), 20u);
    for (size_t i = 0; i < 19; ++i) EXPECT_EQ(calls[i].returned, NDIS_STATUS_PENDING);
    EXPECT_EQ(calls[19].returned, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(Nic().Edge().Queued(), 6u);

    Nic().RunUntilIdle();
    ASSERT_EQ(calls.size(), 26u);  // the refused packet again, then the five behind it
    EXPECT_EQ(calls[20].packet, calls[19].packet);
    const uint64_t retried = calls[20].time_us;
    size_t backBefore = 0, backBy = 0;
    for (const BulkEvent& event : Nic().Bulk().Events()) {
        if (event.endpoint != kBulkOut || event.type != 'C') continue;
        backBefore += event.time_us < retried ? 1 : 0;
        backBy += event.time_us <= retried ? 1 : 0;
    }
    EXPECT_EQ(backBy, 19u);      // NDIS was told when the last taken descriptor came back
    EXPECT_EQ(backBefore, 18u);  // and not one descriptor sooner
    EXPECT_EQ(Nic().WireFrames(), frames);
    ExpectEachCompletedOnceWithSuccess(frames.size());

    // Told once for the one refusal: sends that were never refused tell it nothing more.
    for (uint32_t i = 0; i < 3; ++i) Nic().Send(FrameOut(100, 100 + i));
    Nic().RunUntilIdle();
    EXPECT_EQ(Nic().Edge().ResourceNotices().size(), 1u);
}

TEST_F(Transmit, ASendWhileATransferIsAtTheBusWaitsBehindIt) {
    ExactSchedule();
    Start();
    const auto first = FrameOut(300, 1);
    const auto second = FrameOut(300, 2);
    Nic().Send(first);
    Nic().Send(second);
    // Both packets are NDIS's again at once; one transfer is at the bus, the other waits.
    EXPECT_EQ(Nic().Completions().size(), 2u);
    EXPECT_EQ(Nic().Bulk().Outstanding(kBulkOut), 1u);
    EXPECT_EQ(Record().TxInFlight, 2);

    ASSERT_TRUE(Nic().RunUntil([&] { return Nic().OnWire().size() == 1; }));
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

    // A failed adapter prepares nothing more.
    Nic().Send(FrameOut(100, 4));
    EXPECT_EQ(Nic().SendCalls().back().returned, NDIS_STATUS_FAILURE);
    EXPECT_EQ(Record().TxFreeCount, 20);
    Nic().RunUntilIdle();
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
        }
        const LONG freeBefore = Record().TxFreeCount;
        const size_t submittedBefore = Nic().Bulk().SubmittedLengths(kBulkOut).size();

        if (c.failRequest) {
            M().Io().FailAllocations(1);
        } else {
            Check().Allocations().FailTag(RequestPoolTag, 1, c.entriesHad);
        }
        Nic().Send(FrameOut(c.length, seed++));
        EXPECT_EQ(Nic().SendCalls().back().returned, NDIS_STATUS_FAILURE);
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
// send may. A configuration of fewer than two descriptors, with which nothing could ever be
// sent, is raised to two.
struct ReserveCase {
    const char* name;
    ULONG descriptors;
    std::vector<size_t> lengths;       // sent back to back
    std::vector<NDIS_STATUS> returned; // by each of those sends
    size_t sent;                       // frames on the wire in the end, in order
};

void PrintTo(const ReserveCase& c, std::ostream* out) { *out << c.name; }

class TransmitReserve : public Transmit, public ::testing::WithParamInterface<ReserveCase> {};

TEST_P(TransmitReserve, SendsAreRefusedWhenOnlyTheReserveIsLeftAndResumeWhenAllAreBack) {
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
    std::vector<NDIS_STATUS> returned;
    for (const auto& call : Nic().SendCalls()) returned.push_back(call.returned);
    EXPECT_EQ(returned, c.returned);
    EXPECT_EQ(Nic().Bulk().SubmittedLengths(kBulkOut).size(), c.sent == 0 ? 0u : 1u);

    Nic().RunUntilIdle();
    frames.resize(c.sent);
    EXPECT_EQ(Nic().WireFrames(), frames);
    ExpectEachCompletedOnceWithSuccess(c.sent);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TransmitReserve,
    ::testing::Values(
        ReserveCase{"FollowUpTakesTheReserve", 2, {62, 42},
                    {NDIS_STATUS_PENDING, NDIS_STATUS_RESOURCES}, 2},
        ReserveCase{"OnlyTheReserveLeft", 3, {42, 42, 62},
                    {NDIS_STATUS_PENDING, NDIS_STATUS_PENDING, NDIS_STATUS_RESOURCES}, 3},
        // Fewer than two configured could never send: the adapter is given two.
        ReserveCase{"OneConfiguredSendsWithTwo", 1, {62, 42},
                    {NDIS_STATUS_PENDING, NDIS_STATUS_RESOURCES}, 2},
        ReserveCase{"NoneConfiguredSendsWithTwo", 0, {62, 42},
                    {NDIS_STATUS_PENDING, NDIS_STATUS_RESOURCES}, 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qvtest
