// A started adapter over the emulated controller, for the USB transport's tests: the driver
// is loaded, the device plugged and started through PnP, and NDIS's initialization makes an
// Adapter only as far as these tests need (allocated, tracked, attributes set). Halting at
// the end releases it, and NDIS then checks that nothing leaked and no request is left.
#pragma once

#include <cstring>
#include <functional>
#include <ostream>
#include <memory>
#include <vector>

#include "core/adapter.h"
#include "driver/driver_entry.h"
#include "core/pool_tags.h"
#include "core/tracker.h"
#include "emulator/device/controller.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/pnp.h"
#include "emulator/usbbus/bus.h"
#include "tests/support/harness/driver_load.h"
#include "tests/support/machine_fixture.h"
#include "usb/device_config.h"

namespace qvtest {

// A standard request as the device saw it.
struct Request {
    uint8_t request_type;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
    bool operator==(const Request&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Request& r) {
    return out << std::hex << "{0x" << int(r.request_type) << ", 0x" << int(r.request)
               << ", 0x" << r.value << ", 0x" << r.index << ", " << std::dec << r.length << "}";
}

class UsbFixture : public MachineFixture {
protected:
    UsbFixture() { ResetDriverWideValues(); }

    ~UsbFixture() override {
        if (adapter_ != nullptr) M().Ndis().Adapter().Halt();
    }

    // Plugs a controller with this identity and starts it; the Adapter is then in adapter_.
    void Start(emu::device::Identity identity = emu::device::Identity::Standard()) {
        controller_ = &M().Bus().Plug(std::make_unique<emu::device::Controller>(M(), identity));
        DRIVER_OBJECT* driver = M().Io().CreateDriver("qvnet");
        ASSERT_EQ(DriverEntry(driver, nullptr), STATUS_SUCCESS);
        DEVICE_OBJECT* pdo = M().Bus().PhysicalDeviceObject();
        ASSERT_EQ(M().Ndis().PnpManager().AddDevice(driver, pdo), STATUS_SUCCESS);

        M().Ndis().EnableHangCheck(false);
        M().Ndis().OverrideInitialize([this](NDIS_STATUS*, UINT* selected, NDIS_MEDIUM* media,
                                             UINT count, NDIS_HANDLE handle,
                                             NDIS_HANDLE configuration) {
            *selected = qvtest::Index802_3(media, count);
            adapter_ = NewAdapter(handle, configuration);
            if (adapter_ == nullptr) return NDIS_STATUS_FAILURE;
            if (on_initialize_) on_initialize_(adapter_);
            return NDIS_STATUS_SUCCESS;
        });
        M().Ndis().OverrideHalt(
            [](NDIS_HANDLE context) { ReleaseAllResources(static_cast<Adapter*>(context)); });
        M().Ndis().PnpManager().Send(pdo, IRP_MN_START_DEVICE);
        ASSERT_NE(adapter_, nullptr);
        controller_->ClearControlLog();
    }

    // Started and configured; the device's log starts empty after it.
    void StartConfigured() {
        Start();
        ASSERT_EQ(ConfigureUsbDevice(adapter_), ResultSuccess);
        controller_->ClearControlLog();
    }

    // The requests the device received on its default pipe, in order.
    std::vector<Request> DeviceRequests() const {
        std::vector<Request> requests;
        for (const auto& r : controller_->ControlLog()) {
            requests.push_back({r.request_type, r.request, r.value, r.index, r.length});
        }
        return requests;
    }

    // Every request handed to the bus from now on, as the bus classified it.
    std::vector<emu::usb::Submission>& WatchSubmissions() {
        M().Bus().Faults().Add(emu::usb::Fault{
            [this](const emu::usb::Submission& s) {
                submissions_.push_back(s);
                return false;
            }});
        return submissions_;
    }

    // The next request matching `when` is handled by the bus as `action` says.
    void Fault(std::function<bool(const emu::usb::Submission&)> when,
               emu::usb::FaultAction action,
               USBD_STATUS status = USBD_STATUS_REQUEST_FAILED) {
        emu::usb::Fault fault;
        fault.when = std::move(when);
        fault.action = action;
        fault.status = status;
        M().Bus().Faults().Add(std::move(fault));
    }

    uint64_t Now() { return M().Clock().Now(); }

    Adapter* adapter_ = nullptr;
    emu::device::Controller* controller_ = nullptr;
    // Runs inside MiniportInitialize once the Adapter is allocated and tracked, as the
    // bring-up's later steps would.
    std::function<void(Adapter*)> on_initialize_;

private:
    static Adapter* NewAdapter(NDIS_HANDLE handle, NDIS_HANDLE configuration) {
        PVOID memory = nullptr;
        if (NdisAllocateMemoryWithTag(&memory, sizeof(Adapter), AdapterPoolTag) !=
            NDIS_STATUS_SUCCESS) {
            return nullptr;
        }
        memset(memory, 0, sizeof(Adapter));
        auto* adapter = static_cast<Adapter*>(memory);
        ResourceRecord* record = TrackResource(adapter);
        record->Kind = ResourceMemory;
        record->Data.Memory.Length = sizeof(Adapter);
        record->Data.Memory.Address = adapter;
        adapter->MiniportAdapterHandle = handle;
        adapter->WrapperConfigurationContext = configuration;
        NdisMSetAttributesEx(handle, adapter, 0, NDIS_ATTRIBUTE_DESERIALIZE,
                             NdisInterfaceInternal);
        return adapter;
    }

    std::vector<emu::usb::Submission> submissions_;
};

}  // namespace qvtest
