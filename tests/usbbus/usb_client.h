// A test playing the client above the bus: it builds URBs, sends them to the physical device
// object as a function driver would (thread requests it waits for, or its own requests with a
// completion routine), and configures the device.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "emulator/device/controller.h"
#include "emulator/machine.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/usbbus/bus.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "platform/usb.h"
#include "tests/support/machine_fixture.h"

namespace qvtest {

// ---- URB builders ---------------------------------------------------------------------------

inline URB DescriptorUrb(UCHAR type, void* buffer, ULONG length) {
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbControlDescriptorRequest.DescriptorType = type;
    urb.UrbControlDescriptorRequest.TransferBuffer = buffer;
    urb.UrbControlDescriptorRequest.TransferBufferLength = length;
    return urb;
}

inline URB FeatureUrb(bool set, USHORT selector) {
    URB urb{};
    urb.UrbHeader.Function = set ? URB_FUNCTION_SET_FEATURE_TO_DEVICE
                                 : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE;
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_FEATURE_REQUEST);
    urb.UrbControlFeatureRequest.FeatureSelector = selector;
    return urb;
}

inline URB StatusUrb(void* buffer) {
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_GET_STATUS_REQUEST);
    urb.UrbControlGetStatusRequest.TransferBuffer = buffer;
    urb.UrbControlGetStatusRequest.TransferBufferLength = 2;
    return urb;
}

inline URB VendorUrb(bool in, UCHAR request, USHORT value, USHORT index, void* buffer,
                     ULONG length) {
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    auto& r = urb.UrbControlVendorClassRequest;
    r.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    r.Request = request;
    r.Value = value;
    r.Index = index;
    r.TransferBuffer = buffer;
    r.TransferBufferLength = length;
    return urb;
}

inline URB BulkUrb(USBD_PIPE_HANDLE pipe, ULONG flags, void* buffer, ULONG length) {
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb.UrbBulkOrInterruptTransfer.TransferFlags = flags;
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    return urb;
}

inline URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
    URB urb{};
    urb.UrbHeader.Function = function;
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

// ---- The fixture ----------------------------------------------------------------------------

// What the client's completion routine saw of one of its own requests.
struct Completion {
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    BOOLEAN pending_returned = FALSE;
    uint64_t time_us = 0;
};

class UsbFixture : public MachineFixture {
protected:
    void Plug(emu::device::Identity identity = emu::device::Identity::Standard()) {
        device_ = &M().Bus().Plug(std::make_unique<emu::device::Controller>(M(), std::move(identity)));
    }
    emu::usb::Bus& Bus() { return M().Bus(); }
    emu::device::Controller& Device() { return *device_; }
    DEVICE_OBJECT* Pdo() { return M().Bus().PhysicalDeviceObject(); }
    uint64_t Now() { return M().Clock().Now(); }

    // A thread request carrying the URB; waits for it without a time-out.
    NTSTATUS SubmitSync(URB* urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        IRP* irp = IoBuildDeviceIoControlRequest(code, Pdo(), nullptr, 0, nullptr, 0, TRUE,
                                                 &event, &iosb);
        if (urb != nullptr) IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        NTSTATUS status = IoCallDriver(Pdo(), irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        return status;
    }

    // One of the client's own requests, sent from DISPATCH_LEVEL as a data path would; its
    // completion routine records the outcome, frees the request and keeps it.
    Completion& SubmitAsync(URB* urb, NTSTATUS* call_status = nullptr, IRP** sent = nullptr,
                            ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
        completions_.emplace_back();
        Completion* record = &completions_.back();
        IRP* irp = IoAllocateIrp(static_cast<CCHAR>(Pdo()->StackSize + 1), FALSE);
        IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp, &UsbFixture::Completed, record, TRUE, TRUE, TRUE);
        if (sent != nullptr) *sent = irp;
        const NTSTATUS status = AtIrql(DISPATCH_LEVEL, [&] { return IoCallDriver(Pdo(), irp); });
        if (call_status != nullptr) *call_status = status;
        return *record;
    }

    // Selects the device's configuration through the USBD routines and keeps the interface
    // information the bus filled in; `select_status` is what the select request must end with.
    void Configure(ULONG bulk_maximum_transfer = 1536,
                   NTSTATUS select_status = STATUS_SUCCESS) {
        ASSERT_EQ(SubmitSync(&(config_urb_ = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                                            config_set_, sizeof config_set_))),
                  STATUS_SUCCESS);
        auto* config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(config_set_);
        USBD_INTERFACE_LIST_ENTRY list[2] = {
            {USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1), nullptr},
            {nullptr, nullptr}};
        ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
        URB* select = USBD_CreateConfigurationRequestEx(config, list);
        ASSERT_NE(select, nullptr);
        for (ULONG p = 0; p < list[0].Interface->NumberOfPipes && p < 2; ++p)
            list[0].Interface->Pipes[p].MaximumTransferSize = bulk_maximum_transfer;
        ASSERT_EQ(SubmitSync(select), select_status);
        std::memcpy(interface_, list[0].Interface, list[0].Interface->Length);
        ExFreePool(select);
    }
    USBD_INTERFACE_INFORMATION& Interface() {
        return *reinterpret_cast<USBD_INTERFACE_INFORMATION*>(interface_);
    }
    USBD_PIPE_HANDLE BulkIn() { return Interface().Pipes[0].PipeHandle; }
    USBD_PIPE_HANDLE BulkOut() { return Interface().Pipes[1].PipeHandle; }
    USBD_PIPE_HANDLE InterruptIn() { return Interface().Pipes[2].PipeHandle; }

    // Runs the scheduler until nothing is left to do.
    void Settle() { M().Clock().RunUntilIdle(); }

    const emu::device::ControlRecord& LastRequest() { return Device().ControlLog().back(); }

private:
    static NTSTATUS Completed(DEVICE_OBJECT*, IRP* irp, PVOID context) {
        auto* record = static_cast<Completion*>(context);
        record->done = true;
        record->status = irp->IoStatus.Status;
        record->pending_returned = irp->PendingReturned;
        record->time_us = emu::Machine::Current().Clock().Now();
        IoFreeIrp(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    emu::device::Controller* device_ = nullptr;
    std::deque<Completion> completions_;
    URB config_urb_{};
    UCHAR config_set_[255]{};
    alignas(8) UCHAR interface_[256]{};
};

}  // namespace qvtest
