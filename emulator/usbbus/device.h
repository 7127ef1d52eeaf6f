// What the bus sees of a plugged USB device: its configuration set (learnt at enumeration),
// the default control pipe, and packets on its other endpoints. The emulated controller
// implements it; the bus never looks further inside.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace emu::usb {

// The 8-byte setup stage of a control transfer.
struct Setup {
    uint8_t request_type = 0;  // bmRequestType
    uint8_t request = 0;       // bRequest
    uint16_t value = 0;        // wValue
    uint16_t index = 0;        // wIndex
    uint16_t length = 0;       // wLength

    bool DeviceToHost() const { return (request_type & 0x80) != 0; }
    // USB wire order: the 16-bit fields little-endian.
    std::array<uint8_t, 8> Bytes() const {
        return {request_type,
                request,
                static_cast<uint8_t>(value),
                static_cast<uint8_t>(value >> 8),
                static_cast<uint8_t>(index),
                static_cast<uint8_t>(index >> 8),
                static_cast<uint8_t>(length),
                static_cast<uint8_t>(length >> 8)};
    }
};

struct ControlAnswer {
    bool stall = false;
    std::vector<uint8_t> data;  // IN data stage, at most wLength bytes
};

class Device {
public:
    virtual ~Device() = default;

    // The configuration descriptor set as the device serves it (the bus reads it once at
    // enumeration and uses it to open pipes).
    virtual std::vector<uint8_t> ConfigurationSet() const = 0;
    // A request on the default pipe. `out` is the OUT data stage.
    virtual ControlAnswer Control(const Setup& setup, std::span<const uint8_t> out) = 0;
    // Port reset (plug, port cycle): back to the default, unconfigured state.
    virtual void BusReset() = 0;
    // Power taken away and given back (the port's power across a system sleep): at least a
    // port reset; a device with state beyond its USB address loses that too.
    virtual void PowerCycle() { BusReset(); }
    // Whether the endpoint is halted: it answers every IN or OUT token with a stall.
    virtual bool EndpointHalted(uint8_t endpoint) const = 0;
    // One OUT packet (0 to max packet bytes) on a bulk or interrupt endpoint.
    virtual void OutPacket(uint8_t endpoint, std::span<const uint8_t> packet) = 0;
    // IN endpoints, packet by packet: the length of the packet the device would send now
    // (none: it answers NAK), and that packet, taken when the host accepts it. The device's
    // own transfers end at a short or zero-length packet; a host transfer that ends first
    // (its buffer full) leaves the rest waiting here for the next one. The packet taken is
    // appended to `into` (the transfer's data so far); its length is returned.
    virtual std::optional<size_t> NextInPacket(uint8_t endpoint) const = 0;
    virtual size_t TakeInPacket(uint8_t endpoint, std::vector<uint8_t>* into) = 0;
    bool InReady(uint8_t endpoint) const { return NextInPacket(endpoint).has_value(); }

    // The bus listens here for IN data becoming ready.
    void SetInReadyListener(std::function<void(uint8_t endpoint)> listener) {
        in_ready_listener_ = std::move(listener);
    }

protected:
    void NotifyInReady(uint8_t endpoint) {
        if (in_ready_listener_) in_ready_listener_(endpoint);
    }

private:
    std::function<void(uint8_t)> in_ready_listener_;
};

}  // namespace emu::usb
