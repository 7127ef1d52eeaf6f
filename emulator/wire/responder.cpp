#include "emulator/wire/responder.h"

#include <algorithm>

namespace emu::wire {

namespace {

constexpr size_t kEthernetHeader = 14;
constexpr uint16_t kTypeIpv4 = 0x0800;
constexpr uint16_t kTypeArp = 0x0806;
constexpr size_t kArpLength = 28;
constexpr uint16_t kArpRequest = 1;
constexpr uint16_t kArpReply = 2;
constexpr uint8_t kProtocolIcmp = 1;
constexpr uint8_t kIcmpEchoReply = 0;
constexpr uint8_t kIcmpEchoRequest = 8;
constexpr size_t kMinimumFrame = 60;  // without the FCS; a sender pads shorter ones
constexpr HardwareAddress kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

uint16_t Get16(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

void Put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<uint8_t>(value);
}

bool Matches(const std::vector<uint8_t>& bytes, size_t at, const uint8_t* value, size_t length) {
    return std::equal(value, value + length, bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

// A reply frame's Ethernet header: back to the sender, from us.
void Readdress(std::vector<uint8_t>& reply, const HardwareAddress& from) {
    std::copy(reply.begin() + 6, reply.begin() + 12, reply.begin());
    std::copy(from.begin(), from.end(), reply.begin() + 6);
}

}  // namespace

uint16_t InternetChecksum(const uint8_t* bytes, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2) {
        sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    }
    if (length % 2 != 0) sum += static_cast<uint32_t>(bytes[length - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

Responder::Responder(Wire& wire, HardwareAddress address, Ipv4Address ip)
    : wire_(wire), address_(address), ip_(ip) {
    wire_.Attach(this);
}

Responder::~Responder() { wire_.Detach(this); }

std::optional<std::vector<uint8_t>> Responder::Answer(const std::vector<uint8_t>& frame) const {
    if (frame.size() < kEthernetHeader) return std::nullopt;
    const bool for_us = Matches(frame, 0, address_.data(), 6);
    const bool broadcast = Matches(frame, 0, kBroadcast.data(), 6);
    const uint16_t type = Get16(frame, 12);
    std::optional<std::vector<uint8_t>> reply;
    if (type == kTypeArp && (for_us || broadcast)) reply = AnswerArp(frame);
    if (type == kTypeIpv4 && for_us) reply = AnswerIpv4(frame);
    if (reply && reply->size() < kMinimumFrame) reply->resize(kMinimumFrame, 0);
    return reply;
}

std::optional<std::vector<uint8_t>> Responder::AnswerArp(const std::vector<uint8_t>& frame) const {
    constexpr size_t arp = kEthernetHeader;
    if (frame.size() < arp + kArpLength) return std::nullopt;
    // Ethernet and IPv4, 6- and 4-byte addresses, a request for our address.
    if (Get16(frame, arp) != 1 || Get16(frame, arp + 2) != kTypeIpv4 || frame[arp + 4] != 6 ||
        frame[arp + 5] != 4 || Get16(frame, arp + 6) != kArpRequest ||
        !Matches(frame, arp + 24, ip_.data(), 4)) {
        return std::nullopt;
    }
    std::vector<uint8_t> reply(frame.begin(), frame.begin() + arp + kArpLength);
    Readdress(reply, address_);
    Put16(reply, arp + 6, kArpReply);
    // Target: the asker's addresses; sender: ours.
    std::copy(frame.begin() + arp + 8, frame.begin() + arp + 18, reply.begin() + arp + 18);
    std::copy(address_.begin(), address_.end(), reply.begin() + arp + 8);
    std::copy(ip_.begin(), ip_.end(), reply.begin() + arp + 14);
    return reply;
}

std::optional<std::vector<uint8_t>> Responder::AnswerIpv4(const std::vector<uint8_t>& frame) const {
    constexpr size_t ip = kEthernetHeader;
    if (frame.size() < ip + 20 || frame[ip] >> 4 != 4) return std::nullopt;
    const size_t header = static_cast<size_t>(frame[ip] & 0x0F) * 4;
    const size_t total = Get16(frame, ip + 2);
    if (header < 20 || total < header || frame.size() < ip + total) return std::nullopt;
    if (InternetChecksum(frame.data() + ip, header) != 0) return std::nullopt;
    // Not a fragment, ICMP, to our address.
    if ((Get16(frame, ip + 6) & 0x3FFF) != 0 || frame[ip + 9] != kProtocolIcmp ||
        !Matches(frame, ip + 16, ip_.data(), 4)) {
        return std::nullopt;
    }
    const size_t icmp = ip + header;
    const size_t icmp_length = total - header;
    if (icmp_length < 8 || frame[icmp] != kIcmpEchoRequest || frame[icmp + 1] != 0 ||
        InternetChecksum(frame.data() + icmp, icmp_length) != 0) {
        return std::nullopt;
    }
    // The echo comes back as it came, minus any Ethernet padding, with addresses swapped.
    std::vector<uint8_t> reply(frame.begin(),
                               frame.begin() + static_cast<std::ptrdiff_t>(ip + total));
    Readdress(reply, address_);
    std::copy(frame.begin() + ip + 12, frame.begin() + ip + 16, reply.begin() + ip + 16);
    std::copy(ip_.begin(), ip_.end(), reply.begin() + ip + 12);
    reply[ip + 8] = 64;  // a fresh time to live
    Put16(reply, ip + 10, 0);
    Put16(reply, ip + 10, InternetChecksum(reply.data() + ip, header));
    reply[icmp] = kIcmpEchoReply;
    Put16(reply, icmp + 2, 0);
    Put16(reply, icmp + 2, InternetChecksum(reply.data() + icmp, icmp_length));
    return reply;
}

void Responder::Hear(const Frame& frame) {
    std::optional<std::vector<uint8_t>> reply = Answer(frame.bytes);
    if (!reply) return;
    if (Get16(*reply, 12) == kTypeArp) {
        ++arp_replies_;
    } else {
        ++echo_replies_;
    }
    reply_bytes_ += reply->size();
    wire_.Inject(std::move(*reply));
}

}  // namespace emu::wire
