// A host at the far end of the cable that answers the two things a ping needs: ARP requests
// for its IPv4 address, and ICMP echo requests sent to it. Everything else it ignores, as it
// ignores frames for other hardware addresses and IPv4 headers whose checksum is wrong.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "emulator/wire/wire.h"

namespace emu::wire {

using HardwareAddress = std::array<uint8_t, 6>;
using Ipv4Address = std::array<uint8_t, 4>;

// The Internet checksum (ones' complement of the ones' complement sum of 16-bit words).
uint16_t InternetChecksum(const uint8_t* bytes, size_t length);

class Responder : public Station {
public:
    Responder(Wire& wire, HardwareAddress address, Ipv4Address ip);
    ~Responder() override;
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    // The reply this host sends to `frame`, if any.
    std::optional<std::vector<uint8_t>> Answer(const std::vector<uint8_t>& frame) const;

    // Answers what it hears by putting the reply on the wire toward the controller.
    void Hear(const Frame& frame) override;

    uint64_t ArpReplies() const { return arp_replies_; }
    uint64_t EchoReplies() const { return echo_replies_; }
    uint64_t ReplyBytes() const { return reply_bytes_; }

private:
    std::optional<std::vector<uint8_t>> AnswerArp(const std::vector<uint8_t>& frame) const;
    std::optional<std::vector<uint8_t>> AnswerIpv4(const std::vector<uint8_t>& frame) const;

    Wire& wire_;
    HardwareAddress address_;
    Ipv4Address ip_;
    uint64_t arp_replies_ = 0;
    uint64_t echo_replies_ = 0;
    uint64_t reply_bytes_ = 0;
};

}  // namespace emu::wire
