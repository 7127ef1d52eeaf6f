// The Ethernet capture, read back with tshark: exactly the frames that crossed the wire, both
// ways (those the controller's filter then drops too), byte for byte, in time order, each at
// the virtual time it crossed.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "emulator/device/controller.h"
#include "tests/capture/capture_fixture.h"
#include "tests/capture/tshark.h"

namespace qvtest {
namespace {

using Row = std::vector<std::string>;

struct Crossing {
    uint64_t time_us;
    std::vector<uint8_t> bytes;
    bool operator==(const Crossing&) const = default;
};

class EthernetCapture : public CaptureFixture {
protected:
    void SetUp() override { ASSERT_EQ(TsharkMissing(), ""); }

    // The frames in the file, rebuilt from the fields tshark decodes.
    std::vector<Crossing> FramesInFile() {
        std::string error;
        const std::vector<Row> rows = TsharkFields(
            EthernetFile(),
            {"frame.time_epoch", "eth.dst", "eth.src", "eth.type", "data.data", "frame.len"},
            error);
        EXPECT_EQ(error, "");
        std::vector<Crossing> frames;
        for (const Row& row : rows) {
            std::vector<uint8_t> bytes = HexBytes(row[1]);
            const std::vector<uint8_t> source = HexBytes(row[2]);
            bytes.insert(bytes.end(), source.begin(), source.end());
            const uint64_t type = Number(row[3]);
            bytes.push_back(static_cast<uint8_t>(type >> 8));
            bytes.push_back(static_cast<uint8_t>(type));
            const std::vector<uint8_t> payload = HexBytes(row[4]);
            bytes.insert(bytes.end(), payload.begin(), payload.end());
            EXPECT_EQ(bytes.size(), Number(row[5])) << "frame.len";
            frames.push_back({Microseconds(row[0]), std::move(bytes)});
        }
        return frames;
    }
};

TEST_F(EthernetCapture, HoldsExactlyTheFramesOnTheWireBothWaysInTimeOrder) {
    StartCapturing();
    Nic().Run(100'000);
    std::vector<Crossing> want;
    // Sends and injections interleave: a frame in arrives while frames out are still queued.
    for (uint32_t i = 0; i < 6; ++i) {
        Nic().Send(FrameOut(60 + 200 * i, i));
        if (i % 2 == 0) {
            want.push_back({Nic().Now(), FrameIn(1514 - 100 * i, 100 + i)});
            Nic().Inject(want.back().bytes);
        }
        Nic().Run(700);
    }
    // Not for this station: on the wire all the same, though the controller drops it.
    want.push_back({Nic().Now(), MakeFrame(kPeerAddress, kPeerAddress, 64, 7)});
    Nic().Inject(want.back().bytes);
    Nic().RunUntilIdle();
    ASSERT_EQ(Nic().OnWire().size(), 6u);
    for (const emu::wire::Frame& frame : Nic().OnWire()) want.push_back({frame.time_us, frame.bytes});
    std::stable_sort(want.begin(), want.end(),
                     [](const Crossing& a, const Crossing& b) { return a.time_us < b.time_us; });
    EXPECT_EQ(Nic().ReceivedFrames().size(), 3u) << "the stranger's frame is dropped";
    Finish();

    const std::vector<Crossing> got = FramesInFile();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].time_us, want[i].time_us) << "frame " << i;
        EXPECT_EQ(got[i].bytes, want[i].bytes) << "frame " << i;
    }
}

}  // namespace
}  // namespace qvtest
