// A Linux TAP interface: an Ethernet interface of the host's network stack whose frames this
// process reads and writes through one descriptor. Each read returns one whole frame
// (destination first, no FCS), each write sends one. The interface goes when the descriptor
// closes; the descriptor keeps working after the interface moves to another network
// namespace.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu::wire {

class TapDevice {
public:
    // Largest frame the interface hands over: 1514 bytes at the default MTU, with room for a
    // VLAN tag and an MTU raised a little.
    static constexpr size_t kMaxFrame = 1536;

    // Creates the interface `name` (non-blocking descriptor). nullopt with `error` set when
    // it cannot: /dev/net/tun missing, no CAP_NET_ADMIN, the name taken or invalid.
    static std::optional<TapDevice> Create(const std::string& name, std::string* error);

    TapDevice(TapDevice&& other) noexcept;
    TapDevice& operator=(TapDevice&& other) noexcept;
    TapDevice(const TapDevice&) = delete;
    TapDevice& operator=(const TapDevice&) = delete;
    ~TapDevice();

    const std::string& Name() const { return name_; }
    // For poll(); -1 once closed.
    int Descriptor() const { return fd_; }
    // Gives the interface this hardware address; false (with `error`) when refused.
    bool SetAddress(const std::array<uint8_t, 6>& address, std::string* error);
    // One frame if one is waiting, else nullopt (also when the interface is down or gone).
    std::optional<std::vector<uint8_t>> ReadFrame();
    // Sends one frame into the host's stack; false when it was not taken (interface down,
    // its queue full).
    bool WriteFrame(const std::vector<uint8_t>& frame);
    // Closes the descriptor, which removes the interface.
    void Close();

private:
    TapDevice(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}

    int fd_ = -1;
    std::string name_;
};

}  // namespace emu::wire
