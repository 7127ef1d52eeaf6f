#include "emulator/wire/tap_device.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace emu::wire {

namespace {

constexpr const char* kCloneDevice = "/dev/net/tun";

std::string OpenError(int error) {
    if (error == ENOENT || error == ENODEV || error == ENXIO) {
        return std::string(kCloneDevice) +
               " is missing: this kernel or container has no TUN/TAP support";
    }
    if (error == EACCES || error == EPERM) {
        return std::string("cannot open ") + kCloneDevice +
               ": creating a TAP interface needs CAP_NET_ADMIN (run as root)";
    }
    return std::string("cannot open ") + kCloneDevice + ": " + std::strerror(error);
}

std::string AttachError(const std::string& name, int error) {
    if (error == EPERM || error == EACCES) {
        return "cannot create TAP interface " + name + ": it needs CAP_NET_ADMIN (run as root)";
    }
    if (error == EBUSY || error == EINVAL || error == EEXIST) {
        return "cannot create TAP interface " + name + ": the name is taken by another interface";
    }
    return "cannot create TAP interface " + name + ": " + std::strerror(error);
}

}  // namespace

std::optional<TapDevice> TapDevice::Create(const std::string& name, std::string* error) {
    if (name.empty() || name.size() >= IFNAMSIZ) {
        *error = "TAP interface name \"" + name + "\" must have 1 to " +
                 std::to_string(IFNAMSIZ - 1) + " characters";
        return std::nullopt;
    }
    const int fd = ::open(kCloneDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = OpenError(errno);
        return std::nullopt;
    }
    ifreq request{};
    request.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::memcpy(request.ifr_name, name.data(), name.size());
    if (::ioctl(fd, TUNSETIFF, &request) < 0) {
        *error = AttachError(name, errno);
        ::close(fd);
        return std::nullopt;
    }
    return TapDevice(fd, request.ifr_name);
}

TapDevice::TapDevice(TapDevice&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), name_(std::move(other.name_)) {}

TapDevice& TapDevice::operator=(TapDevice&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        name_ = std::move(other.name_);
    }
    return *this;
}

TapDevice::~TapDevice() { Close(); }

bool TapDevice::SetAddress(const std::array<uint8_t, 6>& address, std::string* error) {
    ifreq request{};
    std::memcpy(request.ifr_name, name_.data(), name_.size());
    request.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    std::memcpy(request.ifr_hwaddr.sa_data, address.data(), address.size());
    if (::ioctl(fd_, SIOCSIFHWADDR, &request) < 0) {
        *error = "cannot set the address of " + name_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::optional<std::vector<uint8_t>> TapDevice::ReadFrame() {
    if (fd_ < 0) return std::nullopt;
    std::vector<uint8_t> frame(kMaxFrame);
    const ssize_t got = ::read(fd_, frame.data(), frame.size());
    if (got <= 0) return std::nullopt;
    frame.resize(static_cast<size_t>(got));
    return frame;
}

bool TapDevice::WriteFrame(const std::vector<uint8_t>& frame) {
    if (fd_ < 0) return false;
    const ssize_t put = ::write(fd_, frame.data(), frame.size());
    return put == static_cast<ssize_t>(frame.size());
}

void TapDevice::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace emu::wire
