// The far-end responder: which handcrafted frames it answers, and that its answers are what a
// Linux host accepts (addresses swapped, checksums right, echo data intact).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "emulator/kernel/scheduler.h"
#include "emulator/wire/responder.h"

namespace {

using Bytes = std::vector<uint8_t>;
using emu::wire::InternetChecksum;

const emu::wire::HardwareAddress kUs = {0x02, 0x51, 0x56, 0x00, 0x00, 0xFE};
const emu::wire::Ipv4Address kOurIp = {192, 168, 213, 2};
const Bytes kAsker = {0x02, 0x51, 0x56, 0x00, 0x00, 0x01};
const Bytes kAskerIp = {192, 168, 213, 1};
const Bytes kBroadcast(6, 0xFF);
const Bytes kOtherMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x09};
const Bytes kOtherIp = {192, 168, 213, 9};

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
void Put16(Bytes& out, size_t at, uint16_t v) {
    out[at] = static_cast<uint8_t>(v >> 8);
    out[at + 1] = static_cast<uint8_t>(v);
}
uint16_t Get16(const Bytes& in, size_t at) { return static_cast<uint16_t>(in[at] << 8 | in[at + 1]); }
Bytes Slice(const Bytes& in, size_t at, size_t n) { return Bytes(in.begin() + at, in.begin() + at + n); }

Bytes Ethernet(const Bytes& to, uint16_t type) {
    Bytes frame = to;
    Append(frame, kAsker);
    frame.push_back(static_cast<uint8_t>(type >> 8));
    frame.push_back(static_cast<uint8_t>(type));
    return frame;
}

Bytes ArpRequest(const Bytes& to, const Bytes& target_ip, uint16_t operation = 1) {
    Bytes frame = Ethernet(to, 0x0806);
    Append(frame, {0x00, 0x01, 0x08, 0x00, 6, 4});
    frame.push_back(0);
    frame.push_back(static_cast<uint8_t>(operation));
    Append(frame, kAsker);
    Append(frame, kAskerIp);
    Append(frame, Bytes(6, 0));
    Append(frame, target_ip);
    frame.resize(60, 0);  // as the sender pads it
    return frame;
}

struct EchoShape {
    Bytes to = Bytes(kUs.begin(), kUs.end());
    Bytes to_ip = Bytes(kOurIp.begin(), kOurIp.end());
    uint8_t icmp_type = 8;
    uint16_t fragment = 0x4000;  // don't fragment, offset 0
    size_t payload = 56;
    bool break_ip_checksum = false;
    bool break_icmp_checksum = false;
};

Bytes Echo(const EchoShape& shape) {
    Bytes frame = Ethernet(shape.to, 0x0800);
    const size_t ip = frame.size();
    Bytes header = {0x45, 0, 0, 0, 0x12, 0x34, 0, 0, 63, 1, 0, 0};
    Append(frame, header);
    Append(frame, kAskerIp);
    Append(frame, shape.to_ip);
    const size_t icmp = frame.size();
    Append(frame, {shape.icmp_type, 0, 0, 0, 0xAB, 0xCD, 0x00, 0x07});
    for (size_t i = 0; i < shape.payload; ++i) frame.push_back(static_cast<uint8_t>(i * 7));
    Put16(frame, ip + 2, static_cast<uint16_t>(frame.size() - ip));
    Put16(frame, ip + 6, shape.fragment);
    Put16(frame, ip + 10, InternetChecksum(frame.data() + ip, 20));
    Put16(frame, icmp + 2, InternetChecksum(frame.data() + icmp, frame.size() - icmp));
    if (shape.break_ip_checksum) frame[ip + 10] ^= 0x01;
    if (shape.break_icmp_checksum) frame[icmp + 2] ^= 0x01;
    if (frame.size() < 60) frame.resize(60, 0);
    return frame;
}

class ResponderTest : public ::testing::Test {
protected:
    ResponderTest() {
        wire_.ConnectController([this](const Bytes& frame) { toward_controller_.push_back(frame); });
    }
    emu::Scheduler clock_;
    emu::wire::Wire wire_{clock_};
    emu::wire::Responder responder_{wire_, kUs, kOurIp};
    std::vector<Bytes> toward_controller_;
};

TEST(InternetChecksum, MatchesAKnownIpv4HeaderAndFoldsOddLengths) {
    const Bytes header = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                          0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(InternetChecksum(header.data(), header.size()), 0xb861);
    const Bytes odd = {0x01, 0x02, 0x03};  // 0x0102 + 0x0300
    EXPECT_EQ(InternetChecksum(odd.data(), odd.size()), static_cast<uint16_t>(~0x0402));
}

TEST_F(ResponderTest, AnswersOnlyArpForItsAddressAndEchoRequestsToIt) {
    enum class Reply { None, Arp, Echo };
    struct Case {
        std::string name;
        Bytes frame;
        Reply reply;
    };
    const std::vector<Case> cases = {
        {"ARP request for us, broadcast", ArpRequest(kBroadcast, Bytes(kOurIp.begin(), kOurIp.end())), Reply::Arp},
        {"ARP request for us, unicast", ArpRequest(Bytes(kUs.begin(), kUs.end()), Bytes(kOurIp.begin(), kOurIp.end())), Reply::Arp},
        {"ARP request for someone else", ArpRequest(kBroadcast, kOtherIp), Reply::None},
        {"ARP reply naming our address", ArpRequest(kBroadcast, Bytes(kOurIp.begin(), kOurIp.end()), 2), Reply::None},
        {"ARP request to another station", ArpRequest(kOtherMac, Bytes(kOurIp.begin(), kOurIp.end())), Reply::None},
        {"echo request", Echo({}), Reply::Echo},
        {"echo request, odd payload", Echo({.payload = 3}), Reply::Echo},
        {"echo request to another MAC", Echo({.to = kOtherMac}), Reply::None},
        {"echo request to another IP", Echo({.to_ip = kOtherIp}), Reply::None},
        {"echo request broadcast", Echo({.to = kBroadcast}), Reply::None},
        {"ICMP timestamp request", Echo({.icmp_type = 13}), Reply::None},
        {"ICMP echo reply", Echo({.icmp_type = 0}), Reply::None},
        {"bad IP header checksum", Echo({.break_ip_checksum = true}), Reply::None},
        {"bad ICMP checksum", Echo({.break_icmp_checksum = true}), Reply::None},
        {"first fragment of an echo", Echo({.fragment = 0x2000}), Reply::None},
        {"header cut short", Slice(Echo({}), 0, 30), Reply::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        toward_controller_.clear();
        wire_.FromController(c.frame);
        if (c.reply == Reply::None) {
            EXPECT_TRUE(toward_controller_.empty());
            continue;
        }
        ASSERT_EQ(toward_controller_.size(), 1u);
        EXPECT_EQ(Get16(toward_controller_[0], 12), c.reply == Reply::Arp ? 0x0806 : 0x0800);
    }
    EXPECT_EQ(responder_.ArpReplies(), 2u);
    EXPECT_EQ(responder_.EchoReplies(), 2u);
}

TEST_F(ResponderTest, ArpReplyTellsTheAskerOurAddress) {
    const Bytes reply = *responder_.Answer(ArpRequest(kBroadcast, Bytes(kOurIp.begin(), kOurIp.end())));
    ASSERT_EQ(reply.size(), 60u);
    EXPECT_EQ(Slice(reply, 0, 6), kAsker);
    EXPECT_EQ(Slice(reply, 6, 6), Bytes(kUs.begin(), kUs.end()));
    EXPECT_EQ(Get16(reply, 14 + 6), 2);                                 // a reply
    EXPECT_EQ(Slice(reply, 14 + 8, 6), Bytes(kUs.begin(), kUs.end()));  // sender: us
    EXPECT_EQ(Slice(reply, 14 + 14, 4), Bytes(kOurIp.begin(), kOurIp.end()));
    EXPECT_EQ(Slice(reply, 14 + 18, 6), kAsker);                        // target: the asker
    EXPECT_EQ(Slice(reply, 14 + 24, 4), kAskerIp);
}

TEST_F(ResponderTest, EchoReplyReturnsTheDataWithAddressesSwappedAndChecksumsRight) {
    for (size_t payload : {0u, 3u, 56u, 1472u}) {
        SCOPED_TRACE(payload);
        const Bytes request = Echo({.payload = payload});
        const Bytes reply = *responder_.Answer(request);
        const size_t ip = 14, icmp = 34, length = 28 + payload;
        ASSERT_EQ(reply.size(), std::max<size_t>(60, ip + length));
        EXPECT_EQ(Slice(reply, 0, 6), kAsker);
        EXPECT_EQ(Slice(reply, 6, 6), Bytes(kUs.begin(), kUs.end()));
        EXPECT_EQ(Slice(reply, ip + 12, 4), Bytes(kOurIp.begin(), kOurIp.end()));
        EXPECT_EQ(Slice(reply, ip + 16, 4), kAskerIp);
        EXPECT_EQ(Get16(reply, ip + 2), length);
        EXPECT_EQ(InternetChecksum(reply.data() + ip, 20), 0);
        EXPECT_EQ(reply[icmp], 0);  // echo reply
        EXPECT_EQ(InternetChecksum(reply.data() + icmp, length - 20), 0);
        // Identifier, sequence number and data come back unchanged.
        EXPECT_EQ(Slice(reply, icmp + 4, length - 24), Slice(request, icmp + 4, length - 24));
    }
}

}  // namespace
