#include "tests/support/harness/running_adapter.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "driver/driver_entry.h"
#include "core/pool_tags.h"
#include "core/tracker.h"
#include "emulator/device/controller.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/machine.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/binding.h"
#include "emulator/ndis/config.h"
#include "emulator/ndis/inf.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/pnp.h"
#include "emulator/usbbus/bus.h"
#include "emulator/verifier/verifier.h"
#include "tests/support/harness/driver_load.h"

namespace qvtest {

namespace {

constexpr uint64_t kIdleLimitUs = 60'000'000;

}  // namespace

RunningAdapter::RunningAdapter(emu::Machine& machine, AdapterOptions options)
    : machine_(machine), options_(std::move(options)) {}

RunningAdapter::~RunningAdapter() {
    Halt();
    if (!started_) return;
    // The machine may outlive this object: nothing of it may call back here.
    machine_.Bus().SetTraceHook({});
    controller_->Wire().Watch({});
}

NDIS_STATUS RunningAdapter::Start() {
    if (started_) return Running() ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
    started_ = true;
    ResetDriverWideValues();

    PlugController();
    machine_.Bus().SetCompleteAtOnce(options_.complete_at_once);
    machine_.Bus().SetTraceHook([this](const emu::usb::TraceRecord& record) {
        bulk_.Note(record);
        for (const auto& sink : sinks_) sink(record);
    });

    DRIVER_OBJECT* driver = driver_ = machine_.Io().CreateDriver("qvnet");
    if (DriverEntry(driver, nullptr) != STATUS_SUCCESS) return NDIS_STATUS_FAILURE;
    DEVICE_OBJECT* pdo = machine_.Bus().PhysicalDeviceObject();
    emu::ndis::Ndis& ndis = machine_.Ndis();
    if (ndis.PnpManager().AddDevice(driver, pdo) != STATUS_SUCCESS) return NDIS_STATUS_FAILURE;

    ndis.EnableHangCheck(options_.hang_check);
    if (!Configure(ndis.Configuration(pdo))) return NDIS_STATUS_FAILURE;
    ndis.PnpManager().Send(pdo, IRP_MN_START_DEVICE);
    emu::ndis::Miniport* block = ndis.AdapterOver(pdo);
    if (block == nullptr) return NDIS_STATUS_FAILURE;
    if (!block->IsRunning()) {
        initialized_at_us_ = Now();
        return block->InitializeStatus();
    }
    return AfterStart(pdo);
}

void RunningAdapter::PlugController() {
    if (controller_ != nullptr) {
        // The one unplugged stays with the bus; nothing of it may call back here.
        controller_->Wire().Watch({});
        earlier_drops_ += controller_->ReceiveDrops();
    }
    auto device = std::make_unique<emu::device::Controller>(machine_, options_.identity);
    device->EepromImage().SetStationAddress(options_.station_address);
    controller_ = &machine_.Bus().Plug(std::move(device));
    if (options_.prepare_device) options_.prepare_device(*controller_);
    controller_->Wire().Watch([this](const emu::wire::Frame& frame, emu::wire::Direction way) {
        for (const auto& sink : wire_sinks_) sink(frame, way);
    });
    if (!keep_records_) {
        controller_->Wire().KeepRecords(false);
        controller_->KeepRecords(false);
    }
}

bool RunningAdapter::Unplug() {
    if (!started_ || !machine_.UnplugDevice()) return false;
    adapter_ = nullptr;
    return true;
}

NDIS_STATUS RunningAdapter::Replug() {
    if (!started_ || driver_ == nullptr || machine_.Bus().DevicePresent()) {
        return NDIS_STATUS_FAILURE;
    }
    // The I/O manager unloads a PnP driver once its last device is removed, and the next
    // device plugged in loads it again: its driver-wide values start afresh.
    if (machine_.Io().DevicesOf(driver_) != 0) return NDIS_STATUS_FAILURE;
    ResetDriverWideValues();
    driver_ = machine_.Io().CreateDriver("qvnet");
    if (DriverEntry(driver_, nullptr) != STATUS_SUCCESS) return NDIS_STATUS_FAILURE;
    PlugController();
    DEVICE_OBJECT* pdo = machine_.Bus().PhysicalDeviceObject();
    emu::ndis::Ndis& ndis = machine_.Ndis();
    if (ndis.PnpManager().AddDevice(driver_, pdo) != STATUS_SUCCESS) return NDIS_STATUS_FAILURE;
    if (!Configure(ndis.Configuration(pdo))) return NDIS_STATUS_FAILURE;
    ndis.PnpManager().Send(pdo, IRP_MN_START_DEVICE);
    return AfterStart(pdo);
}

NDIS_STATUS RunningAdapter::AfterStart(DEVICE_OBJECT* pdo) {
    initialized_at_us_ = Now();
    emu::ndis::Miniport* block = machine_.Ndis().AdapterOver(pdo);
    if (block == nullptr) return NDIS_STATUS_FAILURE;
    // A start that never reached MiniportInitialize is no adapter either.
    if (block->CurrentState() == emu::ndis::Miniport::State::Added) return NDIS_STATUS_FAILURE;
    if (!block->IsRunning()) return block->InitializeStatus();
    adapter_ = static_cast<Adapter*>(block->Context());
    if (!keep_records_) block->Edge().KeepRecords(false);
    return Bind(*block);
}

NDIS_STATUS RunningAdapter::Bind(emu::ndis::Miniport& block) {
    // A protocol binds to every adapter NDIS initializes, a new one after a replug and the
    // same one again after a wake: the driver starts each life with its filter at 0.
    if (options_.bind_as_tcpip && !emu::ndis::BindAsTcpIp(block, options_.multicast)) {
        return NDIS_STATUS_FAILURE;
    }
    return NDIS_STATUS_SUCCESS;
}

bool RunningAdapter::Sleep() {
    if (!started_ || !machine_.SleepSystem()) return false;
    if (!Running()) adapter_ = nullptr;
    return true;
}

NDIS_STATUS RunningAdapter::Wake() {
    if (!started_ || !machine_.Asleep()) return NDIS_STATUS_FAILURE;
    NDIS_STATUS result = NDIS_STATUS_SUCCESS;
    const auto woken = machine_.WakeSystem();
    initialized_at_us_ = Now();
    for (const auto& [block, status] : woken) {
        if (block->PhysicalDevice() == machine_.Bus().PhysicalDeviceObject()) result = status;
    }
    if (!Running()) return result == NDIS_STATUS_SUCCESS ? NDIS_STATUS_FAILURE : result;
    adapter_ = static_cast<Adapter*>(Block().Context());
    if (result == NDIS_STATUS_SUCCESS) result = Bind(Block());
    return result;
}

uint64_t RunningAdapter::ReceiveDrops() const {
    return earlier_drops_ + (controller_ != nullptr ? controller_->ReceiveDrops() : 0);
}

bool RunningAdapter::Configure(emu::ndis::ConfigStore& store) const {
    if (options_.inf_defaults) {
        // The INF is text built into the program: read once, not for every adapter (the
        // reading was a sixth of a fuzz input's bring-up).
        static const emu::ndis::InfReadResult inf =
            emu::ndis::ReadInf(emu::ndis::QvnetInfText(), emu::ndis::kQvnetHardwareId);
        if (!inf.ok) {
            std::fprintf(stderr, "qvnet.inf: %s\n", inf.error.c_str());
            return false;
        }
        emu::ndis::ApplyInstallDefaults(store, inf.model);
    }
    if (options_.tx_descriptors) store.SetInteger("TxPacketDesc", *options_.tx_descriptors);
    if (options_.rx_descriptors) store.SetInteger("RxPacketDesc", *options_.rx_descriptors);
    for (const auto& [keyword, value] : options_.keywords) store.SetInteger(keyword, value);
    if (options_.network_address) store.SetNetworkAddress(*options_.network_address);
    return true;
}

MacAddress RunningAdapter::StationAddress() const {
    if (!options_.network_address || options_.network_address->size() != 6) {
        return options_.station_address;
    }
    MacAddress address{};
    std::copy(options_.network_address->begin(), options_.network_address->end(), address.begin());
    return address;
}

bool RunningAdapter::Running() const {
    if (!started_) return false;
    emu::ndis::Miniport* block = machine_.Ndis().AdapterOver(machine_.Bus().PhysicalDeviceObject());
    return block != nullptr && block->IsRunning();
}

void RunningAdapter::Halt() {
    if (!Running()) return;
    Block().Halt();
    adapter_ = nullptr;
}

bool RunningAdapter::RemoveAndUnload() {
    if (!started_ || driver_ == nullptr) return false;
    DEVICE_OBJECT* pdo = machine_.Bus().PhysicalDeviceObject();
    if (machine_.Ndis().PnpManager().StateOf(pdo) != emu::ndis::Pnp::DeviceState::Removed) {
        machine_.Ndis().PnpManager().Send(pdo, IRP_MN_REMOVE_DEVICE);
    }
    adapter_ = nullptr;
    const size_t left = machine_.Io().DevicesOf(driver_);
    if (left != 0) {
        machine_.Check().Report(emu::Rule::Platform, "unload",
                                "the driver still has " + std::to_string(left) +
                                    " device object(s) after its device was removed");
        return false;
    }
    driver_ = nullptr;
    return true;
}

void RunningAdapter::KeepRecords(bool on) {
    keep_records_ = on;
    Edge().KeepRecords(on);
    controller_->Wire().KeepRecords(on);
    controller_->KeepRecords(on);
    bulk_.KeepEvents(on);
}

emu::ndis::Miniport& RunningAdapter::Block() {
    // After a replug the machine holds the removed adapter too: the one over the device now
    // in the port is this adapter's.
    if (started_) {
        if (emu::ndis::Miniport* block =
                machine_.Ndis().AdapterOver(machine_.Bus().PhysicalDeviceObject())) {
            return *block;
        }
    }
    return machine_.Ndis().Adapter();
}
emu::ndis::Protocol& RunningAdapter::Edge() { return Block().Edge(); }

uint64_t RunningAdapter::Send(const std::vector<uint8_t>& frame) { return Edge().Send(frame); }

uint64_t RunningAdapter::Send(const std::vector<std::vector<uint8_t>>& segments) {
    return Edge().Send(segments);
}

const std::vector<RunningAdapter::SendCall>& RunningAdapter::SendCalls() const {
    return const_cast<RunningAdapter*>(this)->Edge().SendCalls();
}

const std::vector<RunningAdapter::SendCompletion>& RunningAdapter::Completions() const {
    return const_cast<RunningAdapter*>(this)->Edge().Completions();
}

const std::vector<RunningAdapter::Receive>& RunningAdapter::Received() const {
    return const_cast<RunningAdapter*>(this)->Edge().Received();
}

std::vector<std::vector<uint8_t>> RunningAdapter::ReceivedFrames() const {
    std::vector<std::vector<uint8_t>> frames;
    for (const Receive& receive : Received()) frames.push_back(receive.bytes);
    return frames;
}

void RunningAdapter::Inject(std::vector<uint8_t> frame) {
    controller_->Wire().Inject(std::move(frame));
}

const std::vector<emu::wire::Frame>& RunningAdapter::OnWire() const {
    return controller_->Wire().Sent();
}

std::vector<std::vector<uint8_t>> RunningAdapter::WireFrames() const {
    std::vector<std::vector<uint8_t>> frames;
    for (const emu::wire::Frame& frame : OnWire()) frames.push_back(frame.bytes);
    return frames;
}

void RunningAdapter::Run(uint64_t microseconds) { machine_.Clock().Advance(microseconds); }

void RunningAdapter::RunUntilIdle() { machine_.Clock().RunUntilIdle(kIdleLimitUs); }

bool RunningAdapter::RunUntil(const std::function<bool()>& done, uint64_t limit_us) {
    const uint64_t deadline = Now() + limit_us;
    while (!done()) {
        if (!machine_.Clock().RunNext(deadline)) return done();
    }
    return true;
}

uint64_t RunningAdapter::Now() const { return machine_.Clock().Now(); }

}  // namespace qvtest
