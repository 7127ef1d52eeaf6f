// The usbmon capture, read back with tshark: every URB of a run (bring-up, frames both ways,
// halt) decodes as the bus's trace record it came from, with the setup fields, the frames'
// bytes in the bulk transfers and the virtual times.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/capture/capture_fixture.h"
#include "tests/capture/tshark.h"

namespace qvtest {
namespace {

using emu::usb::TraceRecord;
using Row = std::vector<std::string>;

uint16_t Word(const std::array<uint8_t, 8>& setup, size_t at) {
    return static_cast<uint16_t>(setup[at] | setup[at + 1] << 8);
}

class UsbmonCapture : public CaptureFixture {
protected:
    void SetUp() override { ASSERT_EQ(TsharkMissing(), ""); }

    // Bring-up, a minute fraction of link time, frames each way (a 62-byte one fills its
    // transfer to a whole packet and needs a zero-length one after it), then the halt.
    void RunTraffic() {
        StartCapturing();
        Nic().Run(100'000);
        for (size_t length : {62, 100, 1514}) {
            sent_.push_back(FrameOut(length, static_cast<uint32_t>(length)));
            Nic().Send(sent_.back());
        }
        Nic().Run(5'000);
        for (size_t length : {60, 1514, 200}) {
            injected_.push_back(FrameIn(length, static_cast<uint32_t>(length)));
            Nic().Inject(injected_.back());
            Nic().Run(3'000);
        }
        Nic().RunUntilIdle();
        Finish();
    }

    std::vector<Row> Decode(const std::vector<std::string>& fields) {
        std::string error;
        std::vector<Row> rows = TsharkFields(UsbFile(), fields, error);
        EXPECT_EQ(error, "");
        EXPECT_EQ(rows.size(), Records().size()) << "one record per submission and completion";
        return rows;
    }

    std::vector<std::vector<uint8_t>> sent_, injected_;
};

TEST_F(UsbmonCapture, EveryRecordDecodesAsTheUrbEventItCameFromAtItsVirtualTime) {
    RunTraffic();
    const std::vector<Row> rows =
        Decode({"usb.urb_type", "usb.urb_id", "usb.transfer_type", "usb.endpoint_address",
                "usb.device_address", "usb.bus_id", "usb.urb_status", "usb.urb_len",
                "usb.data_len", "frame.time_epoch", "usb.urb_ts_sec", "usb.urb_ts_usec",
                "_ws.malformed"});
    ASSERT_EQ(rows.size(), Records().size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const TraceRecord& r = Records()[i];
        SCOPED_TRACE("record " + std::to_string(i + 1));
        EXPECT_EQ(row[0], std::string("'") + r.type + "'");
        EXPECT_EQ(Number(row[1]), r.id);
        EXPECT_EQ(Number(row[2]), r.transfer_type);
        EXPECT_EQ(Number(row[3]), r.endpoint);
        EXPECT_EQ(Number(row[4]), r.device);
        EXPECT_EQ(Number(row[5]), r.bus);
        EXPECT_EQ(std::stoll(row[6]), r.status);
        EXPECT_EQ(Number(row[7]), r.length);
        EXPECT_EQ(Number(row[8]), r.data.size());
        EXPECT_EQ(Microseconds(row[9]), r.time_us);
        EXPECT_EQ(Number(row[10]) * 1'000'000 + Number(row[11]), r.time_us);
        EXPECT_EQ(row[12], "") << "malformed";
    }
}

TEST_F(UsbmonCapture, SubmissionsAndCompletionsPairByUrbIdInTimeOrder) {
    RunTraffic();
    const std::vector<Row> rows = Decode({"usb.urb_type", "usb.urb_id", "usb.endpoint_address",
                                          "usb.urb_status", "frame.time_epoch"});
    struct Life {
        size_t submitted = 0, ended = 0;
        std::string endpoint;
        uint64_t submitted_at = 0;
    };
    std::map<uint64_t, Life> urbs;
    uint64_t previous = 0;
    for (const Row& row : rows) {
        const uint64_t time = Microseconds(row[4]);
        EXPECT_GE(time, previous) << "records out of time order";
        previous = time;
        Life& urb = urbs[Number(row[1])];
        if (row[0] == "'S'") {
            ++urb.submitted;
            urb.endpoint = row[2];
            urb.submitted_at = time;
            EXPECT_EQ(row[3], "-115");
        } else {
            EXPECT_EQ(urb.submitted, 1u) << "completion before its submission, id " << row[1];
            EXPECT_EQ(row[2], urb.endpoint) << "id " << row[1];
            EXPECT_GE(time, urb.submitted_at);
            ++urb.ended;
        }
    }
    ASSERT_FALSE(urbs.empty());
    for (const auto& [id, urb] : urbs) {
        EXPECT_EQ(urb.submitted, 1u) << "id " << id;
        EXPECT_EQ(urb.ended, 1u) << "id " << id << " (every URB ends by the halt)";
    }
}

TEST_F(UsbmonCapture, BringUpRequestsDecodeWithTheirSetupFields) {
    RunTraffic();
    const std::vector<Row> rows =
        Decode({"usb.urb_type", "usb.bmRequestType", "usb.setup.bRequest", "usb.setup.wValue",
                "usb.setup.wIndex", "usb.setup.wLength", "usb.bDescriptorType",
                "usb.bConfigurationValue", "usb.data_fragment", "usb.control.Response"});
    ASSERT_EQ(rows.size(), Records().size());
    std::map<std::string, int> seen;
    for (size_t i = 0; i < rows.size(); ++i) {
        const TraceRecord& r = Records()[i];
        if (r.type != 'S' || r.transfer_type != emu::usb::kTransferControl) continue;
        const Row& row = rows[i];
        SCOPED_TRACE("record " + std::to_string(i + 1));
        ASSERT_EQ(Number(row[1]), r.setup[0]);
        ASSERT_EQ(Number(row[2]), r.setup[1]);
        EXPECT_EQ(Number(row[5]), Word(r.setup, 6));
        const bool vendor = (r.setup[0] & 0x60) == 0x40;
        if (!vendor) {
            if (r.setup[1] == 6) ++seen["GET_DESCRIPTOR " + row[6]];
            if (r.setup[1] == 9) {
                EXPECT_EQ(Number(row[7]), Word(r.setup, 2));
                ++seen["SET_CONFIGURATION"];
            }
            continue;
        }
        EXPECT_EQ(Number(row[3]), Word(r.setup, 2));
        EXPECT_EQ(Number(row[4]), Word(r.setup, 4));
        // The data goes with the submission on the way out, with the completion on the way in.
        const TraceRecord* completion = nullptr;
        for (size_t j = i + 1; j < Records().size() && completion == nullptr; ++j) {
            if (Records()[j].id == r.id) completion = &Records()[j];
        }
        ASSERT_NE(completion, nullptr);
        if (r.setup[0] == 0x40) {
            EXPECT_EQ(r.setup[1], 0xF1);
            EXPECT_EQ(HexBytes(row[8]), r.data);
            EXPECT_EQ(r.data.size(), Word(r.setup, 6));
            ++seen["vendor write"];
        } else {
            EXPECT_EQ(r.setup[0], 0xC0);
            EXPECT_EQ(r.setup[1], 0xF0);
            const size_t c = static_cast<size_t>(completion - Records().data());
            EXPECT_EQ(HexBytes(rows[c][9]), completion->data);
            EXPECT_EQ(completion->data.size(), Word(r.setup, 6));
            ++seen["vendor read"];
        }
    }
    EXPECT_GT(seen["GET_DESCRIPTOR 0x01"], 0) << "device descriptor";
    EXPECT_GT(seen["GET_DESCRIPTOR 0x02"], 0) << "configuration descriptor";
    EXPECT_GT(seen["SET_CONFIGURATION"], 0);
    EXPECT_GT(seen["vendor read"], 0);
    EXPECT_GT(seen["vendor write"], 0);
}

TEST_F(UsbmonCapture, BulkTransfersCarryTheFramesBothWays) {
    RunTraffic();
    const std::vector<Row> rows = Decode({"usb.urb_type", "usb.endpoint_address",
                                          "usb.transfer_type", "usb.urb_len", "usb.capdata"});
    std::vector<std::vector<uint8_t>> out, in;
    size_t zero_length_out = 0;
    for (const Row& row : rows) {
        if (Number(row[2]) != emu::usb::kTransferBulk) continue;
        if (row[0] == "'S'" && row[1] == "0x02") {
            if (Number(row[3]) == 0) ++zero_length_out;
            else out.push_back(HexBytes(row[4]));
        }
        if (row[0] == "'C'" && row[1] == "0x81" && !row[4].empty()) {
            in.push_back(HexBytes(row[4]));
        }
    }
    // Out: the frame behind its 2-byte little-endian length.
    ASSERT_EQ(out.size(), sent_.size());
    for (size_t i = 0; i < out.size(); ++i) {
        std::vector<uint8_t> want = {static_cast<uint8_t>(sent_[i].size()),
                                     static_cast<uint8_t>(sent_[i].size() >> 8)};
        want.insert(want.end(), sent_[i].begin(), sent_[i].end());
        EXPECT_EQ(out[i], want) << "frame " << i;
    }
    EXPECT_EQ(zero_length_out, 1u) << "the 62-byte frame ends on a packet boundary";
    // In: the frame, then its FCS and the controller's 4-byte trailer.
    ASSERT_EQ(in.size(), injected_.size());
    for (size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(in[i].size(), injected_[i].size() + 8) << "frame " << i;
        EXPECT_TRUE(std::equal(injected_[i].begin(), injected_[i].end(), in[i].begin()))
            << "frame " << i;
    }
}

// No run here refuses a submission, so the record is made by hand: an 'E' event with the
// errno, the requested length, and neither setup nor data.
TEST_F(UsbmonCapture, ARefusedSubmissionDecodesAsAnErrorEvent) {
    std::string error;
    auto capture = qvnet::capture::UsbmonCapture::Open(UsbFile(), error);
    ASSERT_TRUE(capture) << error;
    TraceRecord refused;
    refused.id = 0x1234;
    refused.type = 'E';
    refused.transfer_type = emu::usb::kTransferBulk;
    refused.endpoint = 0x81;
    refused.device = 2;
    refused.bus = 1;
    refused.status = -32;  // -EPIPE: the pipe is halted
    refused.length = 1536;
    refused.time_us = 2'000'003;
    capture->Sink()(refused);
    ASSERT_TRUE(capture->Commit(error)) << error;

    const std::vector<Row> rows = TsharkFields(
        UsbFile(),
        {"usb.urb_type", "usb.urb_id", "usb.endpoint_address", "usb.urb_status", "usb.urb_len",
         "usb.data_len", "usb.setup_flag", "frame.time_epoch", "_ws.malformed"},
        error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (Row{"'E'", "0x0000000000001234", "0x81", "-32", "1536", "0", "'-'",
                            "2.000003000", ""}));
}

}  // namespace
}  // namespace qvtest
