// The qvnet command as a user runs it: a process with arguments, its exit status, its standard
// output (text or JSON) and standard error.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using nlohmann::json;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class QvnetCommand : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qvnet_command_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    Outcome Run(const std::string& args) {
        const std::string out = dir_ + "/out", err = dir_ + "/err";
        const std::string command =
            std::string(QVNET_COMMAND) + " " + args + " >" + out + " 2>" + err;
        const int raw = std::system(command.c_str());
        Outcome outcome;
        outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        outcome.out = ReadFile(out);
        outcome.err = ReadFile(err);
        return outcome;
    }

    json RunJson(const std::string& args, int expected_status = 0) {
        Outcome outcome = Run("--json " + args);
        EXPECT_EQ(outcome.status, expected_status) << outcome.err;
        json parsed = json::parse(outcome.out, nullptr, false);
        EXPECT_FALSE(parsed.is_discarded()) << outcome.out;
        return parsed;
    }

    std::string dir_;
};

TEST_F(QvnetCommand, UsageErrorsNameTheArgumentAndRunNothing) {
    struct Case {
        const char* args;
        const char* named;
    };
    const Case cases[] = {
        {"--bogus", "--bogus"},
        {"-n many", "--frames"},
        {"--size 13", "--size 13"},
        {"--size 200-100", "--size 200-100"},
        {"--param FlowCtl=1", "FlowCtl"},
        {"--param MediaType=fast", "MediaType=fast"},
        {"--param TxPacketDesc=0x100000000", "TxPacketDesc"},
        {"--param NetworkAddress=0251560000", "NetworkAddress"},
        {"--device phy3=present", "phy3"},
        {"--device phy1.partner=fast", "phy1.partner"},
        {"--device eeprom=slow", "eeprom"},
        {"--at 6:phy1.partner=none", "--at 6:phy1.partner=none"},
        {"--at 6s:phy2=0x5C21", "phy2"},
        {"--at 5s:usb=gone", "--at 5s:usb=gone"},
        {"--at 5s:system=hibernate", "--at 5s:system=hibernate"},
        {"--at 5s:usb=plugged", "--at 5s:usb=plugged"},
        {"--at 5s:system=wake", "--at 5s:system=wake"},
        {"--at 2s:usb=unplugged --at 1s:usb=unplugged", "--at 2s:usb=unplugged"},
        {"--at 1s:usb=unplugged --at 2s:system=sleep --at 3s:usb=plugged",
         "--at 3s:usb=plugged"},
        {"--set OID_GEN_NOTHING=00", "OID_GEN_NOTHING"},
        {"--set OID_GEN_CURRENT_PACKET_FILTER=2", "OID_GEN_CURRENT_PACKET_FILTER=2"},
        {"--up-for soon", "--up-for soon"},
        {"tap-dance", "tap-dance"},
        {"tap --frames 5", "--frames"},
        {"tap --ifname lo", "--ifname lo"},
        {"tap --ifname qvnet_t9 --wire-ifname lo", "--wire-ifname lo"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        Outcome outcome = Run(c.args);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.find(c.named), std::string::npos) << outcome.err;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    }
}

// The default run in JSON: the whole lifecycle, every OID answered or refused as the driver
// does, and a clean verdict.
TEST_F(QvnetCommand, JsonReportsTheWholeRun) {
    json run = RunJson("-n 40 --seed 3");
    EXPECT_TRUE(run["ok"]);
    EXPECT_EQ(run["permanent_address"], "02:51:56:00:00:01");
    EXPECT_EQ(run["current_address"], "02:51:56:00:00:01");
    EXPECT_EQ(run["link"], json({{"connected", true}, {"speed_mbps", 100}, {"duplex", "full"},
                                 {"active_phy", 1}}));
    const json& frames = run["frames"];
    EXPECT_EQ(frames["sent"], 40);
    EXPECT_EQ(frames["on_wire"], 40);
    EXPECT_EQ(frames["injected"], 40);
    EXPECT_EQ(frames["indicated"], 40);
    EXPECT_EQ(frames["dropped_by_controller"], 0);
    EXPECT_TRUE(frames["intact_in_order"]);
    EXPECT_EQ(run["oids"].size(), 49u);
    EXPECT_EQ(run["oids"]["OID_GEN_XMIT_OK"], json({{"status", "NDIS_STATUS_SUCCESS"},
                                                    {"hex", "28000000"}}));
    EXPECT_EQ(run["oids"]["OID_802_3_CURRENT_ADDRESS"]["hex"], "025156000001");
    EXPECT_EQ(run["oids"]["OID_TCP_TASK_OFFLOAD"],
              json({{"status", "NDIS_STATUS_NOT_SUPPORTED"}, {"hex", ""}}));
    EXPECT_EQ(run["media_events"], json::array());
    EXPECT_EQ(run["verifier"], json({{"clean", true}, {"reports", json::array()}}));
    EXPECT_TRUE(run["unloaded"]);
    EXPECT_GT(run["virtual_time_us"].get<uint64_t>(), 500'000u);
    EXPECT_TRUE(run["wall_time_s"].is_number());
}

// Configuration keywords and hardware settings reach the driver and show in what it reports.
TEST_F(QvnetCommand, ParamsAndDeviceSettingsShape_TheAdapter) {
    struct Case {
        const char* args;
        const char* permanent;
        const char* current;
        json link;
    };
    const Case cases[] = {
        {"--device eeprom-address=02:11:22:33:44:55 --param NetworkAddress=02-00-5E-00-00-99",
         "02:11:22:33:44:55", "02:00:5e:00:00:99",
         {{"connected", true}, {"speed_mbps", 100}, {"duplex", "full"}, {"active_phy", 1}}},
        {"--param MediaType=1", "02:51:56:00:00:01", "02:51:56:00:00:01",
         {{"connected", true}, {"speed_mbps", 10}, {"duplex", "half"}, {"active_phy", 1}}},
        {"--device phy1.partner=0x00A1", "02:51:56:00:00:01", "02:51:56:00:00:01",
         {{"connected", true}, {"speed_mbps", 100}, {"duplex", "half"}, {"active_phy", 1}}},
        {"--device phy1=absent --device phy2=0x5C21 --device phy2.link=up --device an-ms=100",
         "02:51:56:00:00:01", "02:51:56:00:00:01",
         {{"connected", true}, {"speed_mbps", 10}, {"duplex", "half"}, {"active_phy", 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        json run = RunJson(std::string("-n 10 ") + c.args);
        EXPECT_TRUE(run["ok"]);
        EXPECT_EQ(run["permanent_address"], c.permanent);
        EXPECT_EQ(run["current_address"], c.current);
        EXPECT_EQ(run["link"], c.link);
        EXPECT_EQ(run["frames"]["indicated"], 10);
    }
}

TEST_F(QvnetCommand, DescriptorKeywordsAreTheDriversCounts) {
    json run = RunJson("-n 5 --param TxPacketDesc=7 --param RxPacketDesc=0x9");
    EXPECT_EQ(run["tx_descriptors"], 7);
    EXPECT_EQ(run["rx_descriptors"], 9);
    EXPECT_EQ(run["oids"]["OID_GEN_MAXIMUM_SEND_PACKETS"]["hex"], "07000000");
}

// The cable pulled at 6 s and plugged back with a 10 Mb/s partner at 9.5 s: the link monitor
// reports both within a hang-check period, and the adapter stays up as long as asked.
TEST_F(QvnetCommand, TimedChangesShowAsMediaEvents) {
    json run = RunJson(
        "-n 5 --up-for 16s --at 6s:phy1.partner=none --at 9500ms:phy1.partner=0x0061");
    ASSERT_EQ(run["media_events"].size(), 2u);
    EXPECT_EQ(run["media_events"][0]["status"], "NDIS_STATUS_MEDIA_DISCONNECT");
    EXPECT_EQ(run["media_events"][1]["status"], "NDIS_STATUS_MEDIA_CONNECT");
    const uint64_t down = run["media_events"][0]["t_us"], up = run["media_events"][1]["t_us"];
    EXPECT_GT(down, 6'000'000u);
    EXPECT_LE(down, 8'100'000u);
    EXPECT_GT(up, 9'500'000u);
    EXPECT_LE(up, 11'600'000u);
    EXPECT_EQ(run["link"], json({{"connected", true}, {"speed_mbps", 10}, {"duplex", "full"},
                                 {"active_phy", 1}}));
    EXPECT_GE(run["halted_at_us"].get<uint64_t>(),
              run["initialized_at_us"].get<uint64_t>() + 16'000'000u);
}

TEST_F(QvnetCommand, SetsRunInOrderBeforeTheTraffic) {
    json run = RunJson("-n 5 --set OID_GEN_CURRENT_LOOKAHEAD=0001 "
                       "--set 0x0001010E=2f000000 --set OID_GEN_CURRENT_LOOKAHEAD=80000000");
    ASSERT_EQ(run["sets"].size(), 3u);
    EXPECT_EQ(run["sets"][0], json({{"oid", "OID_GEN_CURRENT_LOOKAHEAD"},
                                    {"status", "NDIS_STATUS_INVALID_LENGTH"},
                                    {"bytes_read", 0},
                                    {"bytes_needed", 4}}));
    EXPECT_EQ(run["sets"][1]["oid"], "OID_GEN_CURRENT_PACKET_FILTER");
    EXPECT_EQ(run["sets"][1]["status"], "NDIS_STATUS_SUCCESS");
    EXPECT_EQ(run["sets"][2]["bytes_read"], 4);
    EXPECT_EQ(run["oids"]["OID_GEN_CURRENT_PACKET_FILTER"]["hex"], "2f000000");
    EXPECT_TRUE(run["ok"]);
}

// Frames that cannot cross make the run fail, and the report says which.
TEST_F(QvnetCommand, LostFramesFailTheRun) {
    json run = RunJson("-n 5 --device phy1.partner=none", 1);
    EXPECT_FALSE(run["ok"]);
    EXPECT_FALSE(run["frames"]["intact_in_order"]);
    EXPECT_EQ(run["link"]["connected"], false);
    EXPECT_TRUE(run["verifier"]["clean"]);

    Outcome text = Run("-n 5 --device phy1.partner=none");
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.out.find("result: FAILED"), std::string::npos) << text.out;
}

// tshark's fields for every packet of a capture, one line per packet; fails the test when
// tshark is missing rather than passing without looking.
std::vector<std::string> Decode(const std::string& file, const std::string& fields,
                                const std::string& filter = "") {
    EXPECT_EQ(std::system("command -v tshark >/dev/null"), 0)
        << "tshark is missing: scripts/setup installs it";
    std::string command = "tshark -r " + file + " -T fields " + fields;
    if (!filter.empty()) command += " -Y \"" + filter + "\"";
    command += " 2>/dev/null";
    std::vector<std::string> lines;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char line[4096];
        while (std::fgets(line, sizeof line, pipe) != nullptr) {
            std::string text(line);
            if (!text.empty() && text.back() == '\n') text.pop_back();
            lines.push_back(text);
        }
        pclose(pipe);
    }
    return lines;
}

// The captures a run writes decode in tshark: the bring-up's register requests and the bulk
// transfers in the USB file, exactly the frames moved (of the length asked) in the Ethernet one.
TEST_F(QvnetCommand, CapturesDecodeAndHoldTheRun) {
    const std::string usb = dir_ + "/bus.pcap", wire = dir_ + "/wire.pcap";
    json run = RunJson("-n 12 --size 300 --usb-pcap " + usb + " --pcap " + wire);
    EXPECT_TRUE(run["ok"]);

    const auto reads = Decode(usb, "-e usb.bmRequestType -e usb.setup.bRequest",
                              "usb.urb_type == 'S' && usb.setup.bRequest == 0xf0");
    const auto writes = Decode(usb, "-e usb.bmRequestType -e usb.setup.bRequest",
                               "usb.urb_type == 'S' && usb.setup.bRequest == 0xf1");
    EXPECT_GT(reads.size(), 10u);
    EXPECT_GT(writes.size(), 10u);
    EXPECT_EQ(reads.front(), "0xc0\t240");
    EXPECT_EQ(writes.front(), "0x40\t241");
    // Bulk OUT submissions carry the 2-byte length then the frame; IN completions the frame,
    // its FCS and the 4-byte trailer.
    const auto out = Decode(usb, "-e usb.data_len",
                            "usb.transfer_type == 3 && usb.endpoint_address == 0x02 && "
                            "usb.urb_type == 'S'");
    const auto in = Decode(usb, "-e usb.data_len",
                           "usb.transfer_type == 3 && usb.endpoint_address == 0x81 && "
                           "usb.urb_type == 'C' && usb.data_len > 0");
    EXPECT_EQ(std::count(out.begin(), out.end(), "302"), 12);
    EXPECT_EQ(std::count(in.begin(), in.end(), "308"), 12);

    const auto frames = Decode(wire, "-e frame.len -e eth.src -e frame.time_epoch");
    ASSERT_EQ(frames.size(), 24u);
    int from_driver = 0;
    double last = 0;
    for (const std::string& frame : frames) {
        EXPECT_EQ(frame.substr(0, 4), "300\t");
        if (frame.find("02:51:56:00:00:01") != std::string::npos) ++from_driver;
        const double t = std::stod(frame.substr(frame.rfind('\t') + 1));
        EXPECT_GE(t, last);
        EXPECT_GT(t, run["initialized_at_us"].get<double>() / 1e6 - 1e-6);
        last = t;
    }
    EXPECT_EQ(from_driver, 12);
}

TEST_F(QvnetCommand, AnUnwritableCaptureStopsTheRunBeforeItStarts) {
    for (const std::string option : {"--usb-pcap", "--pcap"}) {
        SCOPED_TRACE(option);
        Outcome outcome = Run(option + " " + dir_ + "/missing/x.pcap");
        EXPECT_EQ(outcome.status, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_NE(outcome.err.find(option + " " + dir_ + "/missing/x.pcap"), std::string::npos)
            << outcome.err;
    }
}

// The events as (t_us, event, status or ""), for comparing whole lists.
std::vector<std::tuple<uint64_t, std::string, std::string>> Events(const json& run) {
    std::vector<std::tuple<uint64_t, std::string, std::string>> events;
    for (const json& e : run["events"]) {
        events.emplace_back(e["t_us"].get<uint64_t>(), e["event"].get<std::string>(),
                            e.contains("status") ? e["status"].get<std::string>() : "");
    }
    return events;
}

// Every frame asked for is handed over or skipped, each one handed over reaches the wire or
// is failed back, and what came back is intact and in order.
void ExpectAccounted(const json& run, unsigned asked) {
    const json& f = run["frames"];
    EXPECT_EQ(f["sent"].get<uint64_t>() + f["skipped"].get<uint64_t>(), asked);
    EXPECT_EQ(f["sent"], f["on_wire"].get<uint64_t>() + f["send_failed"].get<uint64_t>());
    EXPECT_EQ(f["injected"], f["sent"]);
    EXPECT_TRUE(f["intact_in_order"]) << f;
    EXPECT_EQ(run["verifier"], json({{"clean", true}, {"reports", json::array()}}));
    EXPECT_TRUE(run["unloaded"]);
}

// Not power-managed, the adapter is halted for the sleep and initialized again at the wake,
// on a device that lost its configuration; frames move again afterwards.
TEST_F(QvnetCommand, ASleepAndWakeHaltsAndInitializesTheAdapterAgain) {
    json run = RunJson("-n 2000 --size 64 --at 1s:system=sleep --at 2500ms:system=wake");
    EXPECT_TRUE(run["ok"]);
    const auto events = Events(run);
    ASSERT_EQ(events.size(), 7u) << run["events"];
    using E = std::tuple<uint64_t, std::string, std::string>;
    EXPECT_EQ(events[0], E(0, "plug", ""));
    EXPECT_EQ(events[1], E(523'400, "initialize", "NDIS_STATUS_SUCCESS"));
    EXPECT_EQ(events[2], E(1'000'000, "sleep", ""));
    EXPECT_EQ(std::get<1>(events[3]), "halt");
    EXPECT_EQ(events[4], E(2'500'000, "wake", ""));
    EXPECT_EQ(std::get<1>(events[5]), "initialize");
    EXPECT_EQ(std::get<2>(events[5]), "NDIS_STATUS_SUCCESS");
    EXPECT_EQ(std::get<1>(events[6]), "halt");
    ExpectAccounted(run, 2000);
    const json& f = run["frames"];
    EXPECT_GT(f["skipped"], 0) << "frames were due while the system slept";
    // About 240 frames are due before the sleep; the frames due after the wake move too.
    EXPECT_GT(f["sent"], 600) << "frames moved again after the wake";
    EXPECT_TRUE(run["link"]["connected"]);
}

// A burst still crossing the bus when the controller is unplugged: the frames in flight and
// those waiting in the driver are each failed back, never reported sent, so every frame
// handed over is on the wire or failed.
TEST_F(QvnetCommand, ABurstCutByAnUnplugAccountsForEveryFrame) {
    json run = RunJson("-n 1500 --size 64 --interval-us 0 --at 600ms:usb=unplugged");
    EXPECT_TRUE(run["ok"]) << run["frames"];
    ExpectAccounted(run, 1500);
    const json& f = run["frames"];
    EXPECT_GT(f["on_wire"], 0) << "the burst started before the unplug";
    EXPECT_GT(f["send_failed"], 0) << "the rest was failed back";
}

// Unplugged, the adapter is halted and its device removed; plugged in again, a new adapter
// comes up and carries the rest, and a timed change after that reaches the new controller.
TEST_F(QvnetCommand, AnUnplugAndReplugBringsUpANewAdapter) {
    json run = RunJson("-n 400 --size 64 --up-for 6s --at 1s:usb=unplugged "
                       "--at 1500ms:usb=plugged --at 4s:phy1.partner=none");
    EXPECT_TRUE(run["ok"]);
    const auto events = Events(run);
    ASSERT_EQ(events.size(), 7u) << run["events"];
    EXPECT_EQ(std::get<1>(events[2]), "unplug");
    EXPECT_EQ(std::get<0>(events[2]), 1'000'000u);
    EXPECT_EQ(std::get<1>(events[3]), "halt");
    EXPECT_EQ(std::get<1>(events[4]), "plug");
    EXPECT_EQ(std::get<1>(events[5]), "initialize");
    EXPECT_EQ(std::get<2>(events[5]), "NDIS_STATUS_SUCCESS");
    EXPECT_EQ(std::get<1>(events[6]), "halt");
    ExpectAccounted(run, 400);
    EXPECT_GT(run["frames"]["skipped"], 0);
    EXPECT_GT(run["frames"]["sent"], 238);
    ASSERT_FALSE(run["media_events"].empty());
    EXPECT_EQ(run["media_events"].back()["status"], "NDIS_STATUS_MEDIA_DISCONNECT");
    EXPECT_FALSE(run["link"]["connected"]) << "the last adapter's link, just before its halt";

    Outcome text = Run("-n 5 --size 64 --at 1s:usb=unplugged --at 1500ms:usb=plugged");
    EXPECT_EQ(text.status, 0) << text.out << text.err;
    for (const char* line : {"events:\n", "  at 0.000000 s: plug\n",
                             "  at 0.523400 s: initialize NDIS_STATUS_SUCCESS\n",
                             "  at 1.000000 s: unplug\n", "result: ok"}) {
        EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;
    }
}

TEST_F(QvnetCommand, TextSummaryTellsTheStory) {
    Outcome outcome = Run("-n 3 --up-for 9s --at 5s:phy1.partner=none");
    EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
    for (const char* line : {"start: driver loaded", "link: connected, 100 Mb/s full duplex",
                             "frames: every one intact and in order", "queries:",
                             "link event at 6.525400 s: NDIS_STATUS_MEDIA_DISCONNECT",
                             "halt: device removed, adapter halted", "driver unloaded",
                             "verifier: clean", "result: ok"}) {
        EXPECT_NE(outcome.out.find(line), std::string::npos) << line << "\n" << outcome.out;
    }
}

}  // namespace
