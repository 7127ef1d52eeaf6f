// A running adapter on a hosted machine, with no test framework attached, for the tests and
// the qvnet command: the driver loaded, an emulated controller plugged in and started through
// PnP, which brings the adapter up through the driver's own MiniportInitialize. It then acts
// as the protocol above NDIS and as the network on the wire, and halts the adapter at the end,
// when NDIS checks that nothing was left behind.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emulator/device/eeprom.h"
#include "emulator/device/identity.h"
#include "emulator/ndis/protocol.h"
#include "emulator/usbbus/trace.h"
#include "emulator/wire/wire.h"
#include "platform/ndis.h"
#include "tests/support/harness/bus_watch.h"
#include "tests/support/harness/frames.h"

struct Adapter;

namespace emu {
class Machine;
namespace device {
class Controller;
}
namespace ndis {
class ConfigStore;
class Miniport;
}
}  // namespace emu

namespace qvtest {

struct AdapterOptions {
    // The controller, with its PHYs and the link partners plugged in at power-on.
    emu::device::Identity identity = emu::device::Identity::Standard();
    // Written into the controller's EEPROM (words 0 to 2) before the device is plugged in.
    MacAddress station_address = emu::device::Eeprom::kDefaultAddress;
    // The adapter's key starts with what a fresh install of the driver's INF writes there
    // (every keyword's default); off, it starts empty and the driver's own defaults stand.
    // The options below are applied on top either way.
    bool inf_defaults = true;
    // "TxPacketDesc" and "RxPacketDesc"; unset, the key keeps what it started with.
    std::optional<ULONG> tx_descriptors;
    std::optional<ULONG> rx_descriptors;
    // Further integer keywords of the adapter's configuration ("MediaType", "MediaSel", ...).
    std::vector<std::pair<std::string, ULONG>> keywords;
    // "NetworkAddress", as the text of these bytes in hex digits.
    std::optional<std::vector<uint8_t>> network_address;
    // The bus completes every request it can inside IoCallDriver instead of later.
    bool complete_at_once = false;
    // NDIS's periodic MiniportCheckForHang, which drives the link monitor.
    bool hang_check = true;
    // Once the adapter runs, the protocol above it binds as Windows TCP/IP does (the current
    // address queried, `multicast` and then a directed | multicast | broadcast filter set),
    // and from then on it sees only the frames that filter admits. Off, nothing binds: the
    // edge records every indication, for tests that watch the bare adapter.
    bool bind_as_tcpip = true;
    std::vector<MacAddress> multicast = emu::ndis::AllHostsGroups();
    // Called once the controller is plugged in, before the driver is loaded: changes to the
    // hardware no descriptor or topology expresses (a PHY taken off the bus, say).
    std::function<void(emu::device::Controller&)> prepare_device;
};

class RunningAdapter {
public:
    using Receive = emu::ndis::Protocol::Receive;
    using SendCompletion = emu::ndis::Protocol::SendCompletion;
    using SendCall = emu::ndis::Protocol::SendCall;

    static constexpr uint8_t kBulkIn = 0x81;
    static constexpr uint8_t kBulkOut = 0x02;

    RunningAdapter(emu::Machine& machine, AdapterOptions options = {});
    ~RunningAdapter();  // halts the adapter if it still runs
    RunningAdapter(const RunningAdapter&) = delete;
    RunningAdapter& operator=(const RunningAdapter&) = delete;

    // Loads the driver, plugs the controller in and starts it, then binds the protocol unless
    // told not to. The initialization's status: NDIS_STATUS_SUCCESS when the adapter runs
    // (and is bound); NDIS_STATUS_FAILURE when it runs but refused the binding's requests.
    NDIS_STATUS Start();
    bool Running() const;
    // Halts the adapter as a stop does; NDIS then checks for leaks, timers and requests.
    void Halt();
    // Removes the device as unplugging it does (NDIS halts the adapter and deletes its device
    // object), then unloads the driver, which must have no device object left. Whether the
    // driver could be unloaded.
    bool RemoveAndUnload();
    // ---- Unplug, replug, system sleep ----
    // Surprise removal: the controller leaves the port and the PnP manager removes its
    // device (NDIS halts the adapter). False when none was plugged in.
    bool Unplug();
    // Plugs a controller built as the first one was (same EEPROM, same hardware) into the
    // port again: the driver, unloaded with its last device, loaded again, then a new device
    // object and adapter, started through PnP. The start's status.
    NDIS_STATUS Replug();
    // The system sleeps (NDIS halts an adapter it does not power-manage) and wakes (the
    // device comes back reset and the adapter is initialized again). Sleep: false when the
    // system already sleeps; Wake: the adapter's initialization status.
    bool Sleep();
    NDIS_STATUS Wake();
    // Frames every controller plugged in so far dropped for a full receive FIFO.
    uint64_t ReceiveDrops() const;

    // Off, frames still move but nothing keeps a record per frame (the protocol edge's sends,
    // completions and receives, the wire's recorder, the bulk events), so a long run's memory
    // stays flat; the streaming sinks (Edge().OnReceive, a wire Station) still see each one.
    // Call it once the adapter has started.
    void KeepRecords(bool on);

    // ---- As the protocol above NDIS ----
    // Hands one frame to the miniport as a packet of one buffer, or of one per segment; the
    // packet's id.
    uint64_t Send(const std::vector<uint8_t>& frame);
    uint64_t Send(const std::vector<std::vector<uint8_t>>& segments);
    const std::vector<SendCall>& SendCalls() const;
    const std::vector<SendCompletion>& Completions() const;
    // Frames indicated to NDIS, in order.
    const std::vector<Receive>& Received() const;
    std::vector<std::vector<uint8_t>> ReceivedFrames() const;

    // ---- As the network ----
    void Inject(std::vector<uint8_t> frame);
    const std::vector<emu::wire::Frame>& OnWire() const;
    std::vector<std::vector<uint8_t>> WireFrames() const;
    // The address the adapter answers to: the configured one, else the EEPROM's.
    MacAddress StationAddress() const;

    // ---- Time ----
    void Run(uint64_t microseconds);
    // Runs until nothing but background work is queued (at most a minute of virtual time).
    void RunUntilIdle();
    // Runs queued work one item at a time until `done` holds or `limit_us` of virtual time
    // have passed; whether `done` held.
    bool RunUntil(const std::function<bool()>& done, uint64_t limit_us = 1'000'000);
    uint64_t Now() const;
    // When the last start, replug or wake had MiniportInitialize return (before any binding).
    uint64_t InitializedAt() const { return initialized_at_us_; }

    // ---- Looking inside ----
    emu::Machine& Host() { return machine_; }
    emu::device::Controller& Device() { return *controller_; }
    emu::ndis::Miniport& Block();
    emu::ndis::Protocol& Edge();
    // The driver's record, for what nothing outside the driver shows; null when not running.
    Adapter* Record() { return adapter_; }
    BusWatch& Bulk() { return bulk_; }
    // Also hands every bus trace record to `sink` (a capture file, for instance).
    void AddTraceSink(emu::usb::TraceHook sink) { sinks_.push_back(std::move(sink)); }
    // Hands every frame that crosses the wire, both ways, to `sink` from the start on.
    void AddWireSink(emu::wire::Wire::Watcher sink) { wire_sinks_.push_back(std::move(sink)); }

private:
    // False when the INF cannot be read (the reason goes to stderr).
    bool Configure(emu::ndis::ConfigStore& store) const;
    // A new controller in the port, built from the options, its wire watched.
    void PlugController();
    // The adapter over `pdo` once its start request has returned.
    NDIS_STATUS AfterStart(DEVICE_OBJECT* pdo);
    NDIS_STATUS Bind(emu::ndis::Miniport& block);

    emu::Machine& machine_;
    uint64_t initialized_at_us_ = 0;
    AdapterOptions options_;
    DRIVER_OBJECT* driver_ = nullptr;
    emu::device::Controller* controller_ = nullptr;
    Adapter* adapter_ = nullptr;
    bool started_ = false;
    bool keep_records_ = true;
    uint64_t earlier_drops_ = 0;  // of the controllers unplugged before this one
    BusWatch bulk_;
    std::vector<emu::usb::TraceHook> sinks_;
    std::vector<emu::wire::Wire::Watcher> wire_sinks_;
};

}  // namespace qvtest
