// The USB verifier rules, each broken on purpose: the report, and the URB refused with the
// status a bus driver gives, without anything reaching the device.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "tests/usbbus/usb_client.h"

namespace qvtest {
namespace {

using emu::Rule;
constexpr ULONG kTag = 'T' | ('e' << 8) | ('s' << 16) | ('t' << 24);

class UrbRules : public UsbFixture {
protected:
    void SetUp() override {
        Plug();
        Configure();
        Device().ClearControlLog();
    }
};

TEST_F(UrbRules, MalformedUrbsBreakUrbForm) {
    UCHAR byte = 0;
    struct Case {
        const char* name;
        std::function<void(URB&)> spoil;
        USBD_STATUS status;
    } cases[] = {
        {"unknown function", [](URB& u) { u.UrbHeader.Function = 0x0099; },
         USBD_STATUS_INVALID_URB_FUNCTION},
        {"header shorter than the form",
         [](URB& u) { u.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) - 1; },
         USBD_STATUS_INVALID_PARAMETER},
        {"wLength overflow", [](URB& u) { u.UrbControlVendorClassRequest.TransferBufferLength = 0x10000; },
         USBD_STATUS_INVALID_PARAMETER},
    };
    Expect(Rule::UrbForm);
    size_t reports = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        URB urb = VendorUrb(true, 0xF0, 0, 0, &byte, 1);
        c.spoil(urb);
        EXPECT_EQ(SubmitSync(&urb), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(urb.UrbHeader.Status, c.status);
        EXPECT_EQ(Check().Of(Rule::UrbForm).size(), ++reports);
    }
    EXPECT_TRUE(Device().ControlLog().empty());
}

TEST_F(UrbRules, ASelectConfigurationWithoutRoomForThePipesBreaksUrbForm) {
    Expect(Rule::UrbForm);
    UCHAR set[255];
    URB read = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, set, sizeof set);
    ASSERT_EQ(SubmitSync(&read), STATUS_SUCCESS);
    auto* config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(set);
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1), nullptr}, {}};
    URB* select = USBD_CreateConfigurationRequestEx(config, list);
    list[0].Interface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(2));  // 3 needed
    EXPECT_EQ(SubmitSync(select), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Check().Of(Rule::UrbForm).size(), 1u);
    ExFreePool(select);
}

TEST_F(UrbRules, TransfersThatDoNotFitTheirPipeBreakUrbPipe) {
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 100, kTag));
    UCHAR buffer[2048];
    struct Case {
        const char* name;
        std::function<URB()> make;
        USBD_STATUS status;
    } cases[] = {
        {"handle from no configuration",
         [&] { return BulkUrb(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), 0, buffer, 64); },
         USBD_STATUS_INVALID_PIPE_HANDLE},
        {"IN flag on the OUT pipe",
         [&] { return BulkUrb(BulkOut(), USBD_TRANSFER_DIRECTION_IN, buffer, 64); },
         USBD_STATUS_INVALID_PARAMETER},
        {"OUT on the IN pipe", [&] { return BulkUrb(BulkIn(), 0, buffer, 64); },
         USBD_STATUS_INVALID_PARAMETER},
        {"short transfers allowed on OUT",
         [&] { return BulkUrb(BulkOut(), USBD_SHORT_TRANSFER_OK, buffer, 64); },
         USBD_STATUS_INVALID_PARAMETER},
        {"above MaximumTransferSize",
         [&] { return BulkUrb(BulkOut(), 0, buffer, 1537); },
         USBD_STATUS_INVALID_PARAMETER},
        {"past the end of its pool block",
         [&] { return BulkUrb(BulkOut(), 0, block + 50, 51); },
         USBD_STATUS_INVALID_PARAMETER},
        {"no buffer", [&] { return BulkUrb(BulkOut(), 0, nullptr, 10); },
         USBD_STATUS_INVALID_PARAMETER},
        {"vendor read past its pool block",
         [&] { return VendorUrb(true, 0xF0, 0, 0, block + 96, 8); },
         USBD_STATUS_INVALID_PARAMETER},
    };
    Expect(Rule::UrbPipe);
    size_t reports = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        URB urb = c.make();
        EXPECT_EQ(SubmitSync(&urb), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(urb.UrbHeader.Status, c.status);
        EXPECT_EQ(Check().Of(Rule::UrbPipe).size(), ++reports);
    }
    EXPECT_TRUE(Device().Wire().Sent().empty());
    EXPECT_TRUE(Device().ControlLog().empty());
    // The same buffer used within its block is fine.
    URB fits = BulkUrb(BulkOut(), 0, block + 50, 50);
    EXPECT_EQ(SubmitSync(&fits), STATUS_SUCCESS);
    ExFreePool(block);
}

// A URB built over stack garbage, field by field as a builder that sets only what it names.
URB Garbage() {
    URB urb;
    std::memset(&urb, 0xFE, sizeof urb);
    return urb;
}

TEST_F(UrbRules, AUrbNotZeroedBeforeItIsBuiltBreaksUrbFormOrUrbPipe) {
    UCHAR byte = 0;
    UCHAR buffer[64];
    URB other = VendorUrb(true, 0xF0, 0, 0, &byte, 1);
    struct Case {
        const char* name;
        std::function<URB()> make;
        Rule rule;
    } cases[] = {
        {"vendor request over garbage",
         [&] {
             URB u = Garbage();
             auto& r = u.UrbControlVendorClassRequest;
             r.Hdr.Length = sizeof r;
             r.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
             r.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
             r.TransferBufferLength = 1;
             r.TransferBuffer = &byte;
             r.TransferBufferMDL = nullptr;
             r.UrbLink = nullptr;
             r.Request = 0xF0;
             r.Value = 0;
             r.Index = 0;
             return u;
         },
         Rule::UrbForm},
        {"descriptor request, Reserved0",
         [&] {
             URB u = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer, 18);
             u.UrbControlDescriptorRequest.Reserved0 = 0xFEFEFEFE;
             return u;
         },
         Rule::UrbForm},
        {"feature request, Reserved1",
         [] {
             URB u = FeatureUrb(true, USB_FEATURE_REMOTE_WAKEUP);
             u.UrbControlFeatureRequest.Reserved1 = 1;
             return u;
         },
         Rule::UrbForm},
        {"status request, one reserved byte",
         [&] {
             URB u = StatusUrb(buffer);
             u.UrbControlGetStatusRequest.Reserved1[2] = 0x80;
             return u;
         },
         Rule::UrbForm},
        {"vendor request, recipient bits",
         [&] {
             URB u = VendorUrb(true, 0xF0, 0, 0, &byte, 1);
             u.UrbControlVendorClassRequest.RequestTypeReservedBits = 0x02;
             return u;
         },
         Rule::UrbForm},
        {"abort, Reserved",
         [&] {
             URB u = PipeUrb(URB_FUNCTION_ABORT_PIPE, BulkIn());
             u.UrbPipeRequest.Reserved = 0xFEFEFEFE;
             return u;
         },
         Rule::UrbForm},
        {"vendor request, a link",
         [&] {
             URB u = VendorUrb(true, 0xF0, 0, 0, &byte, 1);
             u.UrbControlVendorClassRequest.UrbLink = &other;
             return u;
         },
         Rule::UrbForm},
        {"bulk transfer, a link",
         [&] {
             URB u = BulkUrb(BulkOut(), 0, buffer, 60);
             u.UrbBulkOrInterruptTransfer.UrbLink = &other;
             return u;
         },
         Rule::UrbForm},
        {"bulk transfer, a flag for the default pipe",
         [&] { return BulkUrb(BulkOut(), 0x08, buffer, 60); }, Rule::UrbPipe},
        {"vendor request, a flag for isochronous transfers",
         [&] {
             URB u = VendorUrb(true, 0xF0, 0, 0, &byte, 1);
             u.UrbControlVendorClassRequest.TransferFlags |= 0x04;
             return u;
         },
         Rule::UrbPipe},
    };
    Expect(Rule::UrbForm);
    Expect(Rule::UrbPipe);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = Check().Of(c.rule).size();
        URB urb = c.make();
        EXPECT_EQ(SubmitSync(&urb), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Check().Of(c.rule).size(), before + 1);
    }
    EXPECT_TRUE(Device().ControlLog().empty());
    EXPECT_TRUE(Device().Wire().Sent().empty());

    // What belongs to the bus driver may hold anything: it writes those fields itself.
    URB fine = VendorUrb(true, 0xF0, 0, 0, &byte, 1);
    fine.UrbHeader.Status = 0x12345678;
    fine.UrbHeader.UsbdDeviceHandle = &other;
    fine.UrbHeader.UsbdFlags = 0xFEFEFEFE;
    std::memset(&fine.UrbControlVendorClassRequest.hca, 0xFE,
                sizeof fine.UrbControlVendorClassRequest.hca);
    EXPECT_EQ(SubmitSync(&fine), STATUS_SUCCESS);
    EXPECT_EQ(Device().ControlLog().size(), 1u);
}

TEST_F(UrbRules, ASelectConfigurationWithPipeFlagsSetBreaksUrbForm) {
    UCHAR set[255];
    URB read = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, set, sizeof set);
    ASSERT_EQ(SubmitSync(&read), STATUS_SUCCESS);
    Device().ClearControlLog();
    auto* config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(set);
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1), nullptr}, {}};
    URB* select = USBD_CreateConfigurationRequestEx(config, list);
    list[0].Interface->Pipes[1].PipeFlags = 0xFEFEFEFE;
    Expect(Rule::UrbForm);
    EXPECT_EQ(SubmitSync(select), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Check().Of(Rule::UrbForm).size(), 1u);
    EXPECT_TRUE(Device().ControlLog().empty());
    ExFreePool(select);
}

// The bus serves these only at PASSIVE_LEVEL: each waits inside the bus driver (for the port,
// for the device's pipes, for the control transfer that clears an endpoint's halt).
TEST_F(UrbRules, RequestsThatWaitInTheBusBreakIrqlCallAbovePassiveLevel) {
    UCHAR byte = 0;
    URB read = VendorUrb(true, 0xF0, 0, 0, &byte, 1);
    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, BulkIn());
    SubmitAsync(&read);  // transfers and aborts are fine at DISPATCH_LEVEL
    SubmitAsync(&abort);
    Settle();
    EXPECT_FALSE(Check().Saw(Rule::IrqlCall));

    Expect(Rule::IrqlCall);
    UCHAR set[255];
    URB config = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, set, sizeof set);
    ASSERT_EQ(SubmitSync(&config), STATUS_SUCCESS);
    auto* descriptor = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(set);
    USBD_INTERFACE_LIST_ENTRY list[2] = {
        {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, -1, -1, -1, -1),
         nullptr},
        {}};
    URB* select = USBD_CreateConfigurationRequestEx(descriptor, list);
    URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, BulkIn());
    SubmitAsync(&reset);
    SubmitAsync(select);
    SubmitAsync(nullptr, nullptr, nullptr, IOCTL_INTERNAL_USB_CYCLE_PORT);
    Settle();
    const auto reports = Check().Of(Rule::IrqlCall);
    ASSERT_EQ(reports.size(), 3u);
    const char* names[] = {"URB_FUNCTION_RESET_PIPE", "URB_FUNCTION_SELECT_CONFIGURATION",
                           "IOCTL_INTERNAL_USB_CYCLE_PORT"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(reports[i].call, "IoCallDriver");
        EXPECT_NE(reports[i].detail.find(names[i]), std::string::npos) << reports[i].detail;
    }
    ExFreePool(select);
}

TEST_F(UrbRules, APendingUrbResubmittedBreaksUrbActiveAndTheFirstStillCompletes) {
    UCHAR buffer[1536];
    URB urb = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                      sizeof buffer);
    Completion& first = SubmitAsync(&urb);
    Expect(Rule::UrbActive);
    NTSTATUS second_call = STATUS_SUCCESS;
    Completion& second = SubmitAsync(&urb, &second_call);
    EXPECT_EQ(second_call, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(second.done);
    EXPECT_EQ(Check().Of(Rule::UrbActive).size(), 1u);

    const UCHAR frame[60] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    Device().QueueFrame(frame);
    Settle();
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 68u);
}

TEST_F(UrbRules, FreeingMemoryThatHoldsAPendingUrbBreaksUrbActive) {
    auto* urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), kTag));
    UCHAR buffer[1536];
    *urb = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                   sizeof buffer);
    IRP* irp = nullptr;
    Completion& pending = SubmitAsync(urb, nullptr, &irp);
    Expect(Rule::UrbActive);
    Expect(Rule::PoolBadFree);
    ExFreePool(urb);  // refused: the bus still uses it
    EXPECT_EQ(Check().Of(Rule::UrbActive).size(), 1u);
    EXPECT_EQ(Check().Of(Rule::PoolBadFree).size(), 1u);

    IoCancelIrp(irp);
    Settle();
    EXPECT_EQ(pending.status, STATUS_CANCELLED);
    ExFreePool(urb);
    EXPECT_EQ(Check().Of(Rule::PoolBadFree).size(), 1u);
}

TEST_F(UrbRules, ResettingAPipeWithPendingTransfersBreaksPipeReset) {
    // Read as the abort completes: its transfers must be back by then.
    Bus().SetAbortOrder(emu::usb::Bus::AbortOrder::TransfersFirst);
    UCHAR buffer[1536];
    URB read = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                       sizeof buffer);
    Completion& pending = SubmitAsync(&read);
    Expect(Rule::PipeReset);
    URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, BulkIn());
    EXPECT_EQ(SubmitSync(&reset), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_ERROR_BUSY);
    EXPECT_EQ(Check().Of(Rule::PipeReset).size(), 1u);
    EXPECT_TRUE(Device().ControlLog().empty());
    EXPECT_FALSE(pending.done);

    // Aborted first, the pipe resets cleanly.
    URB abort = PipeUrb(URB_FUNCTION_ABORT_PIPE, BulkIn());
    EXPECT_EQ(SubmitSync(&abort), STATUS_SUCCESS);
    EXPECT_EQ(pending.status, STATUS_CANCELLED);
    EXPECT_EQ(SubmitSync(&reset), STATUS_SUCCESS);
}

// A receive path that resubmits from its own completion: whatever the status, or only until
// the bus says the device is gone.
struct LoopingClient {
    DEVICE_OBJECT* pdo;
    URB urb;
    UCHAR buffer[1536];
    int completions = 0;
    int limit = 0;
    NTSTATUS last = STATUS_SUCCESS;
    bool stops_when_gone = false;

    void Send() {
        IRP* irp = IoAllocateIrp(static_cast<CCHAR>(pdo->StackSize + 1), FALSE);
        IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, &LoopingClient::Completed, this, TRUE, TRUE, TRUE);
        IoCallDriver(pdo, irp);
    }
    static NTSTATUS Completed(DEVICE_OBJECT*, IRP* irp, PVOID context) {
        auto* self = static_cast<LoopingClient*>(context);
        self->last = irp->IoStatus.Status;
        IoFreeIrp(irp);
        const bool gone = self->last == STATUS_DEVICE_NOT_CONNECTED &&
                          self->urb.UrbHeader.Status == USBD_STATUS_DEVICE_GONE;
        if (self->stops_when_gone && gone) return STATUS_MORE_PROCESSING_REQUIRED;
        if (++self->completions < self->limit) self->Send();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

TEST_F(UrbRules, AClientThatKeepsResubmittingAfterRemovalBreaksRemoval) {
    LoopingClient client{Pdo(), {}, {}};
    client.urb = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                         client.buffer, sizeof client.buffer);
    client.limit = 40;
    Bus().SetRemovalResubmitLimit(8);
    AtIrql(DISPATCH_LEVEL, [&] { client.Send(); });
    Expect(Rule::Removal);
    Bus().Unplug();
    Settle();
    EXPECT_EQ(client.completions, 40);
    EXPECT_EQ(client.last, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(client.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    const auto reports = Check().Of(Rule::Removal);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].call, "IoCallDriver");
    EXPECT_EQ(Bus().PendingRequests(), 0u);
}

TEST_F(UrbRules, AClientThatStopsOnceTheDeviceIsGoneIsClean) {
    LoopingClient client{Pdo(), {}, {}};
    client.urb = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                         client.buffer, sizeof client.buffer);
    client.limit = 40;
    client.stops_when_gone = true;
    Bus().SetRemovalResubmitLimit(8);
    const UCHAR frame[60] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    for (int i = 0; i < 3; ++i) Device().QueueFrame(frame);
    AtIrql(DISPATCH_LEVEL, [&] { client.Send(); });
    Settle();
    EXPECT_EQ(client.completions, 3);  // three frames, and the fourth transfer waits
    Bus().Unplug();
    Settle();
    EXPECT_EQ(client.last, STATUS_DEVICE_NOT_CONNECTED);  // the one in flight
    EXPECT_EQ(client.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(client.completions, 3);
    EXPECT_FALSE(Check().Saw(Rule::Removal));
    EXPECT_EQ(Bus().PendingRequests(), 0u);
}

}  // namespace
}  // namespace qvtest
