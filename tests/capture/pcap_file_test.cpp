// The pcap file itself: it appears complete at Commit or not at all, a target that cannot be
// written is refused at Open with a message naming it, and the timestamps keep the virtual
// time in either precision.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/capture/capture_fixture.h"
#include "tests/capture/tshark.h"
#include "tools/qvnet/capture/ethernet_capture.h"
#include "tools/qvnet/capture/pcap_file.h"

namespace qvtest {
namespace {

using qvnet::capture::PcapFile;
using qvnet::capture::Precision;

class PcapFileTest : public CaptureFixture {
protected:
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(PathOf("")))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(PcapFileTest, AppearsOnlyWhenCommittedAndNeverIfNot) {
    const std::vector<uint8_t> frame = MakeFrame(kBroadcast, kPeerAddress, 60, 1);
    std::string error;
    auto capture = qvnet::capture::EthernetCapture::Open(EthernetFile(), error);
    ASSERT_TRUE(capture) << error;
    capture->Write({frame, 1'000});
    EXPECT_FALSE(std::filesystem::exists(EthernetFile())) << "visible before the run ended";
    ASSERT_TRUE(capture->Commit(error)) << error;
    EXPECT_EQ(Entries(), std::vector<std::string>{"wire.pcap"}) << "the temporary stays behind";
    EXPECT_GT(std::filesystem::file_size(EthernetFile()), 24u + 16u + frame.size() - 1);

    // A second run that never commits leaves the first file as it was, and nothing else.
    const auto size = std::filesystem::file_size(EthernetFile());
    {
        auto abandoned = qvnet::capture::EthernetCapture::Open(EthernetFile(), error);
        ASSERT_TRUE(abandoned) << error;
        abandoned->Write({frame, 2'000});
        abandoned->Write({frame, 3'000});
    }
    EXPECT_EQ(Entries(), std::vector<std::string>{"wire.pcap"});
    EXPECT_EQ(std::filesystem::file_size(EthernetFile()), size);
}

TEST_F(PcapFileTest, AnUnwritableTargetIsRefusedAtOpenWithItsReason) {
    std::ofstream(PathOf("plain-file")) << "x";
    std::filesystem::create_directory(PathOf("a-directory"));
    struct Case {
        std::string path;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {PathOf("missing/usb.pcap"), "No such file or directory"},
        {PathOf("plain-file/usb.pcap"), "Not a directory"},
        {PathOf("a-directory"), "names a directory"},
        {PathOf("a-directory/"), "names a directory"},
        {"/proc/qvnet-capture.pcap", "directory /proc"},  // not even root creates files here
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_EQ(PcapFile::Open(c.path, 1, Precision::Micro, error), nullptr) << c.path;
        EXPECT_NE(error.find("cannot write capture file " + c.path), std::string::npos) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
    EXPECT_FALSE(std::filesystem::exists(PathOf("missing")));
}

TEST_F(PcapFileTest, TimestampsKeepTheVirtualTimeInEitherPrecision) {
    ASSERT_EQ(TsharkMissing(), "");
    const std::vector<uint8_t> frame = MakeFrame(kBroadcast, kPeerAddress, 60, 1);
    const std::vector<uint64_t> times = {0, 999'999, 1'000'000, 3'600'000'001};
    for (Precision precision : {Precision::Micro, Precision::Nano}) {
        const std::string path = PathOf(precision == Precision::Nano ? "nano.pcap" : "micro.pcap");
        std::string error;
        auto file = PcapFile::Open(path, 1, precision, error);
        ASSERT_TRUE(file) << error;
        for (uint64_t time : times) file->Write(time, frame.data(), frame.size());
        ASSERT_TRUE(file->Commit(error)) << error;

        const auto rows = TsharkFields(path, {"frame.time_epoch", "frame.len"}, error);
        EXPECT_EQ(error, "");
        ASSERT_EQ(rows.size(), times.size()) << path;
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(Microseconds(rows[i][0]), times[i]) << path << " " << rows[i][0];
            EXPECT_EQ(rows[i][1], "60");
        }
    }
}

}  // namespace
}  // namespace qvtest
