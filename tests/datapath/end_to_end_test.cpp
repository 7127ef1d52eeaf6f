// Traffic both ways at once, long enough for every descriptor and the refusal and resumption
// of sends to come round many times (and the receive restart, when the bus completes inside
// the call; its own test is in receive_test.cpp): every frame arrives byte for byte, in order,
// once, whether the bus completes later or inside the call.
#include <gtest/gtest.h>

#include <random>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "emulator/device/controller.h"
#include "tests/support/running_adapter_fixture.h"

namespace qvtest {
namespace {

using Frames = std::vector<std::vector<uint8_t>>;

// Where two runs of frames part: the first index at which they differ, with both lengths.
std::string FirstDifference(const Frames& got, const Frames& want) {
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    if (i == got.size() && i == want.size()) return "none";
    std::string text = "at frame " + std::to_string(i) + " of " + std::to_string(want.size()) +
                       " (got " + std::to_string(got.size()) + ")";
    if (i < got.size()) text += ", got " + std::to_string(got[i].size()) + " bytes";
    if (i < want.size()) text += ", wanted " + std::to_string(want[i].size()) + " bytes";
    return text;
}

constexpr size_t kFramesEachWay = 3000;
constexpr size_t kReceiveFifo = 32;  // transfers the controller holds (its default)

class EndToEnd : public RunningAdapterFixture, public ::testing::WithParamInterface<bool> {
protected:
    // A packet of up to four buffers of random sizes, empty ones among them.
    std::vector<std::vector<uint8_t>> RandomSegments(const std::vector<uint8_t>& frame) {
        std::vector<size_t> sizes(Upto(3));
        for (size_t& size : sizes) size = Upto(frame.size() / 2);
        return Split(frame, sizes);
    }
    size_t RandomLength() { return std::uniform_int_distribution<size_t>(14, 1514)(random_); }
    size_t Upto(size_t most) { return std::uniform_int_distribution<size_t>(0, most)(random_); }

    std::mt19937 random_{20240611};
};

TEST_P(EndToEnd, ThousandsOfFramesEachWayArriveWholeInOrderAndOnce) {
    AdapterOptions options;
    options.complete_at_once = GetParam();
    Start(options);

    Frames sent, injected;
    // Far more virtual time than the traffic needs: a path that stalls ends the run.
    const uint64_t deadline = Nic().Now() + 60'000'000;
    while ((sent.size() < kFramesEachWay || injected.size() < kFramesEachWay) &&
           Nic().Now() < deadline) {
        for (size_t n = Upto(24); n > 0 && sent.size() < kFramesEachWay; --n) {
            sent.push_back(FrameOut(RandomLength(), static_cast<uint32_t>(sent.size())));
            if (Upto(3) == 0) {
                Nic().Send(RandomSegments(sent.back()));
            } else {
                Nic().Send(sent.back());
            }
        }
        // As many as the controller can hold: frames it had to drop would not be the driver's
        // loss.
        const size_t room = kReceiveFifo - Nic().Device().ReceiveQueued();
        for (size_t n = Upto(room); n > 0 && injected.size() < kFramesEachWay; --n) {
            injected.push_back(FrameIn(RandomLength(), static_cast<uint32_t>(injected.size())));
            Nic().Inject(injected.back());
        }
        Nic().Run(Upto(6000));
    }
    Nic().RunUntilIdle();

    EXPECT_EQ(Nic().Device().ReceiveDrops(), 0u);
    EXPECT_EQ(FirstDifference(Nic().WireFrames(), sent), "none") << "on the wire";
    EXPECT_EQ(FirstDifference(Nic().ReceivedFrames(), injected), "none") << "indicated";
    std::set<uint64_t> completed;
    for (const auto& completion : Nic().Completions()) {
        EXPECT_EQ(completion.status, NDIS_STATUS_SUCCESS);
        completed.insert(completion.packet);
    }
    EXPECT_EQ(completed.size(), kFramesEachWay);
    EXPECT_EQ(Nic().Completions().size(), kFramesEachWay);
    // One transfer at a time in each direction.
    EXPECT_EQ(Nic().Bulk().MostOutstanding(RunningAdapter::kBulkOut), 1u);
    EXPECT_EQ(Nic().Bulk().MostOutstanding(RunningAdapter::kBulkIn), 1u);
    if (!options.complete_at_once && !Schedule().interleave_seed) {
        // On one processor, transfers that take bus time pile up: sends waited in the driver
        // and were completed later than they were made. (A second processor may drain them
        // sooner.)
        std::map<uint64_t, uint64_t> madeAt;
        for (const auto& call : Nic().SendCalls()) {
            EXPECT_EQ(call.returned, NDIS_STATUS_PENDING);
            madeAt[call.packet] = call.time_us;
        }
        size_t waited = 0;
        for (const auto& completion : Nic().Completions())
            waited += completion.time_us > madeAt[completion.packet] ? 1 : 0;
        EXPECT_GT(waited, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(BusCompletion, EndToEnd, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "InsideTheCall" : "Later"; });

}  // namespace
}  // namespace qvtest
