// The receive path as its users see it: what NDIS was handed, the receive counters, and the
// bulk-in transfers at the bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <vector>

#include "core/adapter.h"
#include "driver/handlers.h"
#include "emulator/device/controller.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/machine.h"
#include "emulator/kernel/processor.h"
#include "emulator/ndis/packets.h"
#include "emulator/usbbus/bus.h"
#include "emulator/usbbus/faults.h"
#include "tests/support/running_adapter_fixture.h"

namespace qvtest {
namespace {

using Frames = std::vector<std::vector<uint8_t>>;
constexpr uint8_t kBulkIn = RunningAdapter::kBulkIn;

class Receive : public RunningAdapterFixture {
protected:
    // Reception goes on: exactly one bulk-in transfer waits at the bus.
    void ExpectListening() { EXPECT_EQ(Nic().Bulk().Outstanding(kBulkIn), 1u); }
};

struct StatusCase {
    uint8_t status;
    bool indicated;
    ULONG errors;  // added to RcvError
};

const StatusCase kStatusCases[] = {
    {0x00, true, 0},  {0x01, true, 0},  {0x20, true, 0},  {0x40, true, 0},
    {0x80, true, 0},  {0x02, false, 0}, {0x04, false, 0}, {0x10, false, 0},
    {0x06, false, 0}, {0x08, false, 1}, {0x18, false, 1}, {0xFF, false, 1},
};

TEST_F(Receive, TheStatusByteDecidesWhetherAFrameIsIndicatedAndHowItIsCounted) {
    Start();
    uint32_t seed = 1;
    for (const StatusCase& c : kStatusCases) {
        SCOPED_TRACE(testing::Message() << "status 0x" << std::hex << int(c.status));
        const size_t indicatedBefore = Nic().Received().size();
        const ULONG okBefore = Record().RcvOk;
        const ULONG errorsBefore = Record().RcvError;
        const auto frame = FrameIn(100, seed++);

        Nic().Device().InjectReceiveStatus(c.status);
        Nic().Inject(frame);
        Nic().RunUntilIdle();

        ASSERT_EQ(Nic().Received().size(), indicatedBefore + (c.indicated ? 1 : 0));
        if (c.indicated) {
            const auto& received = Nic().Received().back();
            EXPECT_EQ(received.bytes, frame);
            EXPECT_EQ(received.header_size, 14u);
            EXPECT_EQ(received.status, NDIS_STATUS_RESOURCES);
        }
        EXPECT_EQ(Record().RcvOk - okBefore, c.indicated ? 1u : 0u);
        EXPECT_EQ(Record().RcvError - errorsBefore, c.errors);
        ExpectListening();
    }
}

struct LengthCase {
    size_t transfer;                 // bytes in the bulk-in transfer, trailer included
    std::optional<size_t> indicated; // the frame NDIS sees, if any
    ULONG ok;
    ULONG errors;
};

const LengthCase kLengthCases[] = {
    {0, std::nullopt, 0, 0},     // nothing arrived
    {1, std::nullopt, 0, 1},     // too short to hold a trailer: never a frame
    {2, std::nullopt, 0, 1},
    {5, std::nullopt, 0, 1},
    {7, std::nullopt, 0, 1},
    {8, std::nullopt, 1, 0},     // a clean trailer around no frame: counted, nothing to show
    {68, 60, 1, 0},
    {1522, 1514, 1, 0},          // the longest frame the packet's buffer describes
    {1523, std::nullopt, 0, 1},  // longer than that buffer: dropped, not cut short
    {1536, std::nullopt, 0, 1},
};

TEST_F(Receive, TheTransferLengthGivesTheFrameAndTransfersWithoutAFrameAreNotIndicated) {
    Start();
    for (const LengthCase& c : kLengthCases) {
        SCOPED_TRACE(c.transfer);
        const size_t indicatedBefore = Nic().Received().size();
        const ULONG okBefore = Record().RcvOk;
        const ULONG errorsBefore = Record().RcvError;
        // Frame bytes then zeros, so every status byte a short transfer could be read as is
        // clean.
        std::vector<uint8_t> transfer(c.transfer, 0);
        if (c.transfer > 8) {
            const auto frame = FrameIn(c.transfer - 8, static_cast<uint32_t>(c.transfer));
            std::copy(frame.begin(), frame.end(), transfer.begin());
        }

        Nic().Device().QueueRaw(transfer);
        Nic().RunUntilIdle();

        if (c.indicated) {
            ASSERT_EQ(Nic().Received().size(), indicatedBefore + 1);
            EXPECT_EQ(Nic().Received().back().bytes,
                      std::vector<uint8_t>(transfer.begin(), transfer.begin() + *c.indicated));
        } else {
            EXPECT_EQ(Nic().Received().size(), indicatedBefore);
        }
        EXPECT_EQ(Record().RcvOk - okBefore, c.ok);
        EXPECT_EQ(Record().RcvError - errorsBefore, c.errors);
        ExpectListening();
    }
}

// With the bus answering inside the call, frames that wait in the controller are parked one
// after another until no receive descriptor is idle; the pipe then rests until the timer has
// handed every frame up, and starts again with one transfer.
TEST_F(Receive, WhenEveryDescriptorHoldsAFrameThePipeRestartsOnceAllAreIndicated) {
    ExactSchedule();  // the moment every descriptor holds a frame comes on one processor only
    AdapterOptions options;
    options.rx_descriptors = 4;
    options.complete_at_once = true;
    Start(options);
    Frames frames;
    for (uint32_t i = 0; i < 6; ++i) {
        frames.push_back(FrameIn(200, i));
        Nic().Inject(frames.back());
    }

    ASSERT_TRUE(Nic().RunUntil([&] { return Record().RxReadyList.Count == 4; }));
    EXPECT_TRUE(Nic().Received().empty());
    EXPECT_EQ(Record().RxFreeList.Count, 0u);
    EXPECT_EQ(Nic().Bulk().Outstanding(kBulkIn), 0u);
    EXPECT_EQ(Nic().Device().ReceiveQueued(), 2u);

    Nic().RunUntilIdle();
    EXPECT_EQ(Nic().ReceivedFrames(), frames);
    ExpectListening();
    EXPECT_EQ(Nic().Bulk().MostOutstanding(kBulkIn), 1u);
    EXPECT_EQ(Record().RxFreeList.Count, 3u);
}

// The transmit side fails while every receive descriptor holds a parked frame: the frames are
// still indicated, but the restart puts nothing on the pipe of a failed adapter.
TEST_F(Receive, AfterATransmitFailureWithFramesParkedTheRestartSubmitsNothing) {
    ExactSchedule();
    AdapterOptions options;
    options.rx_descriptors = 3;
    options.complete_at_once = true;
    Start(options);
    const Frames frames{FrameIn(200, 0), FrameIn(300, 1), FrameIn(250, 2)};
    for (const auto& frame : frames) Nic().Inject(frame);
    ASSERT_TRUE(Nic().RunUntil([&] { return Record().RxReadyList.Count == 3; }));
    const size_t submitted = Nic().Bulk().SubmittedLengths(RunningAdapter::kBulkIn).size();

    M().Bus().Faults().Add(
        {emu::usb::match::Endpoint(RunningAdapter::kBulkOut), emu::usb::FaultAction::FailAtOnce});
    Nic().Send(FrameOut(100, 9));
    ASSERT_EQ(Record().DeviceState, DeviceFailed);
    Nic().RunUntilIdle();

    EXPECT_EQ(Nic().ReceivedFrames(), frames);
    EXPECT_EQ(Nic().Bulk().SubmittedLengths(RunningAdapter::kBulkIn).size(), submitted);
    EXPECT_EQ(Nic().Bulk().Outstanding(RunningAdapter::kBulkIn), 0u);
}

// A protocol reads each frame's length from the packet (NdisQueryPacket), so each receive
// packet must carry the length of the frame it holds now, not of one it held before. Three
// descriptors, the least, make every packet come round again, with frames longer and shorter
// than before.
TEST_F(Receive, FramesOfDifferentLengthsReachTheProtocolEachWithItsOwnLength) {
    AdapterOptions options;
    options.rx_descriptors = 3;
    Start(options);
    Frames frames;
    uint32_t seed = 1;
    for (const size_t length : {60, 1514, 1000, 64, 1514, 200, 61, 800, 14, 1513}) {
        frames.push_back(FrameIn(length, seed++));
        Nic().Inject(frames.back());
        Nic().RunUntilIdle();
    }
    const Frames received = Nic().ReceivedFrames();
    ASSERT_EQ(received.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "frame " << i);
        EXPECT_EQ(received[i].size(), frames[i].size());
        EXPECT_TRUE(received[i] == frames[i]) << "not byte-exact";
    }
    ExpectListening();
}

TEST_F(Receive, ACompletionOnAStoppedAdapterEndsItsRequestAndSubmitsNothing) {
    Start();
    Record().DeviceState = DeviceStopped;
    const ULONG freeBefore = Record().RxFreeList.Count;

    Nic().Inject(FrameIn(100, 1));
    Nic().RunUntilIdle();

    EXPECT_TRUE(Nic().Received().empty());
    EXPECT_EQ(Record().RcvOk, 0u);
    EXPECT_EQ(Record().RxFreeList.Count, freeBefore);
    EXPECT_EQ(Record().RxReadyList.Count, 0u);
    EXPECT_EQ(Nic().Bulk().Outstanding(kBulkIn), 0u);
    EXPECT_TRUE(M().Io().Outstanding().empty());  // the driver freed its own request
}

// A bulk-in transfer that ends in error fails the adapter for good: nothing more goes on the
// pipe, sends are refused, and the halt still finds nothing left behind. The bus reports the
// error later, or inside the call that submitted the transfer.
struct BulkInErrorCase {
    const char* name;
    emu::usb::FaultAction action;
    USBD_STATUS status;
};

void PrintTo(const BulkInErrorCase& c, std::ostream* out) { *out << c.name; }

class ReceiveError : public Receive, public testing::WithParamInterface<BulkInErrorCase> {};

TEST_P(ReceiveError, FailsTheAdapterEndsReceptionAndRefusesLaterSends) {
    Start();
    emu::usb::Fault fault;
    fault.when = emu::usb::match::Endpoint(kBulkIn);  // the transfer after the one waiting now
    fault.action = GetParam().action;
    fault.status = GetParam().status;
    M().Bus().Faults().Add(std::move(fault));
    const auto before = FrameIn(100, 1);

    Nic().Inject(before);
    Nic().RunUntilIdle();

    EXPECT_EQ(Record().DeviceState, DeviceFailed);
    EXPECT_EQ(Nic().ReceivedFrames(), Frames{before});  // what arrived before the error
    EXPECT_EQ(Nic().Bulk().Outstanding(kBulkIn), 0u);
    const size_t submitted = Nic().Bulk().SubmittedLengths(kBulkIn).size();

    Nic().Inject(FrameIn(100, 2));
    Nic().RunUntilIdle();
    EXPECT_EQ(Nic().Bulk().SubmittedLengths(kBulkIn).size(), submitted);
    EXPECT_EQ(Nic().Received().size(), 1u);

    const uint64_t sent = Nic().Send(FrameOut(100, 3));
    Nic().RunUntilIdle();
    ASSERT_FALSE(Nic().SendCalls().empty());
    EXPECT_EQ(Nic().SendCalls().back().packet, sent);
    ASSERT_FALSE(Nic().Completions().empty());
    EXPECT_EQ(Nic().Completions().back().packet, sent);
    EXPECT_EQ(Nic().Completions().back().status, NDIS_STATUS_FAILURE);
    EXPECT_TRUE(Nic().OnWire().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Bus, ReceiveError,
    testing::Values(
        BulkInErrorCase{"Later", emu::usb::FaultAction::Fail, USBD_STATUS_DEV_NOT_RESPONDING},
        BulkInErrorCase{"InsideTheCall", emu::usb::FaultAction::FailAtOnce,
                        USBD_STATUS_REQUEST_FAILED}),
    [](const testing::TestParamInfo<BulkInErrorCase>& info) { return info.param.name; });

// While a frame is being indicated, another processor may complete bulk-in transfers and
// queue the next idle descriptors. The one being indicated must not be among them: its buffer
// is what NDIS is copying. Few descriptors and a burst of frames make the pipe come round to
// it within one indication.
TEST_F(Receive, ADescriptorIsNotReusedNorAFrameOvertakenWhileAnIndicationIsUnderWay) {
    AdapterOptions options;
    options.rx_descriptors = 3;
    Start(options);
    // Each indication lasts long enough for several bulk-in transfers to complete beside it.
    Nic().Edge().RunWorkDuringIndications(5'000);
    Frames frames;
    for (uint32_t i = 0; i < 12; ++i) {
        frames.push_back(FrameIn(60 + 97 * i, i));
        Nic().Inject(frames.back());
    }

    Nic().RunUntilIdle();

    // Which injected frame each indication carried, -1 for none of them (damaged). The
    // indication timer's function runs again on the other processor while an indication is
    // under way; the frames it finds parked must not overtake the one being indicated.
    std::vector<int> carried;
    for (const auto& bytes : Nic().ReceivedFrames()) {
        const auto found = std::find(frames.begin(), frames.end(), bytes);
        carried.push_back(found == frames.end() ? -1 : static_cast<int>(found - frames.begin()));
    }
    std::vector<int> each(frames.size());
    std::iota(each.begin(), each.end(), 0);
    EXPECT_EQ(carried, each) << "every frame indicated once, intact and in order";
    ExpectListening();
}

// A submission that finds no request must not end reception: the indication timer tries
// again until a request can be had, and the frames that waited meanwhile arrive.
struct AllocationCase {
    int failures;     // IoAllocateIrp calls that fail in a row
    uint8_t status;   // of the frame whose completion meets the first failure
};

TEST_F(Receive, ReceptionResumesAfterRequestsCouldNotBeAllocated) {
    Start();
    uint32_t seed = 1;
    for (const AllocationCase c : {AllocationCase{1, 0x00}, AllocationCase{3, 0x00},
                                   AllocationCase{1, 0x08}, AllocationCase{2, 0x08}}) {
        SCOPED_TRACE(testing::Message() << c.failures << " failure(s), status " << int(c.status));
        Frames expected = Nic().ReceivedFrames();
        const auto first = FrameIn(100, seed++);
        const auto second = FrameIn(100, seed++);

        M().Io().FailAllocations(c.failures);
        Nic().Device().InjectReceiveStatus(c.status);
        Nic().Inject(first);
        Nic().Inject(second);  // waits in the controller while no transfer is at the bus
        Nic().RunUntilIdle();

        if (c.status == 0) expected.push_back(first);
        expected.push_back(second);
        EXPECT_EQ(Nic().ReceivedFrames(), expected);
        ExpectListening();
    }
}

// A packet of the protocol's own, its buffers prefilled with a marker byte.
class ProtocolPacket {
public:
    explicit ProtocolPacket(const std::vector<size_t>& sizes) : buffers_(sizes.size()) {
        const emu::ndis::PacketLayout layout = emu::ndis::LayoutPacket(0);
        memory_.assign((layout.size + 7) / 8, 0);
        packet_ = emu::ndis::FormatPacket(memory_.data(), 0, nullptr);
        for (size_t i = 0; i < sizes.size(); ++i) {
            data_.emplace_back(sizes[i], kUntouched);
            emu::ndis::FormatBuffer(&buffers_[i], nullptr, data_[i].data(),
                                    static_cast<UINT>(sizes[i]));
            NdisChainBufferAtBack(packet_, &buffers_[i]);
        }
    }
    NDIS_PACKET* Packet() { return packet_; }
    // The bytes of every buffer, in chain order.
    std::vector<uint8_t> Contents() const {
        std::vector<uint8_t> bytes;
        for (const auto& d : data_) bytes.insert(bytes.end(), d.begin(), d.end());
        return bytes;
    }
    static constexpr uint8_t kUntouched = 0xEE;

private:
    std::vector<uint64_t> memory_;
    std::vector<NDIS_BUFFER> buffers_;
    std::vector<std::vector<uint8_t>> data_;
    NDIS_PACKET* packet_ = nullptr;
};

struct TransferDataCase {
    std::vector<size_t> buffers;
    UINT offset;   // from the end of the Ethernet header
    UINT count;    // bytes asked for
    UINT copied;
};

TEST_F(Receive, TransferDataCopiesFromBehindTheHeaderIntoThePacketsBuffersAsFarAsTheyReach) {
    Start();
    const auto frame = FrameIn(100, 7);
    for (const TransferDataCase& c :
         {TransferDataCase{{10, 20}, 0, 0, 0}, TransferDataCase{{10, 20}, 2, 25, 25},
          TransferDataCase{{10, 0, 20}, 5, 30, 30}, TransferDataCase{{10, 20}, 0, 80, 30}}) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << ", count " << c.count);
        ProtocolPacket packet(c.buffers);
        UINT transferred = 12345;
        const NDIS_STATUS status = AtIrql(DISPATCH_LEVEL, [&] {
            return MiniportTransferData(packet.Packet(), &transferred, &Record(),
                                        const_cast<uint8_t*>(frame.data()), c.offset, c.count);
        });
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(transferred, c.copied);

        std::vector<uint8_t> expected = packet.Contents();
        std::fill(expected.begin(), expected.end(), ProtocolPacket::kUntouched);
        std::copy_n(frame.begin() + 14 + c.offset, c.copied, expected.begin());
        EXPECT_EQ(packet.Contents(), expected);
    }
}

}  // namespace
}  // namespace qvtest
