// Register access as the controller received it, and what the synchronous and asynchronous
// paths report for each way a request can end.
#include "usb/register_access.h"

#include <algorithm>

#include "controller/link_monitor.h"  // the completions the asynchronous requests continue with
#include "tests/usb/usb_fixture.h"
#include "usb/registers.h"
#include "usb/urb_submit.h"

namespace {

using emu::usb::FaultAction;
namespace match = emu::usb::match;

constexpr uint64_t FiveSeconds = 5'000'000;

class RegisterAccessTest : public qvtest::UsbFixture {
protected:
    const emu::device::ControlRecord& OnlyRequest() {
        EXPECT_EQ(controller_->ControlLog().size(), 1u);
        return controller_->ControlLog().front();
    }
};

// ---- What reaches the controller ------------------------------------------------------------

struct WriteCase {
    const char* name;
    std::vector<UCHAR> bytes;
    USHORT first;
    uint16_t value;  // wValue of the request
};

class RegisterWriteTest : public RegisterAccessTest,
                          public ::testing::WithParamInterface<WriteCase> {};

TEST_P(RegisterWriteTest, SendsTheRunInOneVendorRequest) {
    const WriteCase& c = GetParam();
    StartConfigured();
    std::copy(c.bytes.begin(), c.bytes.end(), adapter_->RegWriteBuffer);
    const auto count = static_cast<USHORT>(c.bytes.size());

    EXPECT_EQ(WriteRegisters(adapter_, count, c.first), ResultSuccess);

    const emu::device::ControlRecord& r = OnlyRequest();
    EXPECT_EQ(r.request_type, RegisterWriteRequestType);
    EXPECT_EQ(r.request, RegisterWrite);
    EXPECT_EQ(r.value, c.value);
    EXPECT_EQ(r.index, c.first);
    EXPECT_EQ(r.length, count);
    EXPECT_EQ(r.data, std::vector<uint8_t>(c.bytes.begin(), c.bytes.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, RegisterWriteTest,
    ::testing::Values(
        // A one-byte write carries its byte in wValue as well as in the data stage.
        WriteCase{"OneByte", {0x19}, MacControl0, 0x19},
        WriteCase{"MiiCommand", {0x01, 0x00, 0x12, 0x40 | 0x01}, MiiAddress, 0},
        WriteCase{"Reg7EAndPhySelect", {0x24, 0x00}, Reg7E, 0},
        WriteCase{"WakeSlot", std::vector<UCHAR>(19, 0x5A), WakeSlot1, 0}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return std::string(info.param.name); });

TEST_F(RegisterAccessTest, TwoByteWriteSetsTheRegisterAfterTheFirst) {
    StartConfigured();
    controller_->SetRegister(PhySelect, 0x34);
    adapter_->RegWriteBuffer[0] = 0x24;
    adapter_->RegWriteBuffer[1] = 0x00;

    ASSERT_EQ(WriteRegisters(adapter_, 2, Reg7E), ResultSuccess);

    EXPECT_EQ(controller_->Register(Reg7E), 0x24);
    EXPECT_EQ(controller_->Register(PhySelect), 0x00);
}

TEST_F(RegisterAccessTest, ReadFillsOnlyTheBytesAskedFor) {
    StartConfigured();
    const uint8_t address[] = {0x00, 0x50, 0x43, 0x11, 0x22, 0x33};
    for (int i = 0; i < 6; ++i) controller_->SetRegister(StationAddress + i, address[i]);
    memset(adapter_->RegReadBuffer, 0xEE, sizeof(adapter_->RegReadBuffer));

    ASSERT_EQ(ReadRegisters(adapter_, StationAddressLength, StationAddress), ResultSuccess);

    const emu::device::ControlRecord& r = OnlyRequest();
    EXPECT_EQ(r.request_type, RegisterReadRequestType);
    EXPECT_EQ(r.request, RegisterRead);
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.index, StationAddress);
    EXPECT_EQ(r.length, StationAddressLength);
    EXPECT_TRUE(std::equal(address, address + 6, adapter_->RegReadBuffer));
    for (size_t i = 6; i < sizeof(adapter_->RegReadBuffer); ++i) {
        EXPECT_EQ(adapter_->RegReadBuffer[i], 0xEE) << "byte " << i;
    }
}

// The staging buffers hold 20 bytes; a longer run is refused before anything is sent.
TEST_F(RegisterAccessTest, RunLongerThanTheStagingBufferIsRefused) {
    StartConfigured();
    const uint64_t before = M().Bus().Submissions();

    EXPECT_EQ(ReadRegisters(adapter_, RegisterStagingSize + 1, 0), ResultFailure);
    EXPECT_EQ(WriteRegisters(adapter_, RegisterStagingSize + 1, 0), ResultFailure);
    EXPECT_EQ(ReadRegistersAsync(adapter_, RegisterStagingSize + 1, 0, AsyncReadComplete),
              ResultFailure);
    EXPECT_EQ(M().Bus().Submissions(), before);
}

TEST_F(RegisterAccessTest, AsynchronousWriteSendsNoByteInValue) {
    StartConfigured();
    const UCHAR data[] = {0x08};

    EXPECT_EQ(WriteRegistersAsync(adapter_, 1, MacControl1, data, AsyncWriteComplete),
              STATUS_PENDING);
    Advance(10'000);

    const emu::device::ControlRecord& r = OnlyRequest();
    EXPECT_EQ(r.request_type, RegisterWriteRequestType);
    EXPECT_EQ(r.request, RegisterWrite);
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.index, MacControl1);
    EXPECT_EQ(r.data, std::vector<uint8_t>{0x08});
    EXPECT_EQ(adapter_->AsyncWriteUrb, nullptr);
}

TEST_F(RegisterAccessTest, AsynchronousReadLandsInTheReadBuffer) {
    StartConfigured();
    controller_->SetRegister(MiiData, 0x2D);
    controller_->SetRegister(MiiData + 1, 0x78);

    EXPECT_EQ(ReadRegistersAsync(adapter_, 2, MiiData, AsyncReadComplete), STATUS_PENDING);
    Advance(10'000);

    const emu::device::ControlRecord& r = OnlyRequest();
    EXPECT_EQ(r.request_type, RegisterReadRequestType);
    EXPECT_EQ(r.index, MiiData);
    EXPECT_EQ(r.length, 2);
    EXPECT_EQ(adapter_->RegReadBuffer[0], 0x2D);
    EXPECT_EQ(adapter_->RegReadBuffer[1], 0x78);
    EXPECT_EQ(adapter_->AsyncReadUrb, nullptr);
}

// ---- Results ------------------------------------------------------------------------------

struct Outcome {
    const char* name;
    FaultAction action;
};

class RegisterOutcomeTest : public RegisterAccessTest,
                            public ::testing::WithParamInterface<Outcome> {};

// The transfer's own status is not looked at: however the bus or the device ends the
// request, once it was handed down and came back in time the access has been done.
TEST_P(RegisterOutcomeTest, SynchronousAccessThatCameBackIsDone) {
    StartConfigured();
    Fault(match::Request(RegisterReadRequestType, RegisterRead), GetParam().action);
    Fault(match::Request(RegisterWriteRequestType, RegisterWrite), GetParam().action);

    EXPECT_EQ(ReadRegisters(adapter_, 1, MacControl0), ResultSuccess);
    EXPECT_EQ(WriteRegisters(adapter_, 1, MacControl0), ResultSuccess);
}

// The asynchronous path gives the request to its completion routine whatever happens, and
// reports what the call returned.
TEST_P(RegisterOutcomeTest, AsynchronousRequestIsReleasedByItsCompletion) {
    StartConfigured();
    Fault(match::Request(RegisterReadRequestType, RegisterRead), GetParam().action);

    const NTSTATUS status = ReadRegistersAsync(adapter_, 1, MacControl0, AsyncReadComplete);
    Advance(10'000);

    EXPECT_NE(status, static_cast<NTSTATUS>(ResultFailure));
    EXPECT_EQ(adapter_->AsyncReadUrb, nullptr);
    EXPECT_EQ(M().Bus().PendingRequests(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, RegisterOutcomeTest,
    ::testing::Values(Outcome{"ErrorLater", FaultAction::Fail},
                      Outcome{"ErrorAtOnce", FaultAction::FailAtOnce},
                      Outcome{"Stalled", FaultAction::Stall},
                      Outcome{"DoneAtOnce", FaultAction::SucceedAtOnce}),
    [](const ::testing::TestParamInfo<Outcome>& info) { return std::string(info.param.name); });

TEST_F(RegisterAccessTest, RequestStillPendingAfterFiveSecondsIsCancelled) {
    StartConfigured();
    Fault(match::Request(RegisterReadRequestType, RegisterRead), FaultAction::PendForever);
    const uint64_t start = Now();

    EXPECT_EQ(ReadRegisters(adapter_, 1, MacControl0), ResultFailure);

    EXPECT_GE(Now() - start, FiveSeconds);
    EXPECT_EQ(M().Bus().PendingRequests(), 0u);
}

// A synchronous request that cannot be built is a failure at once: nothing reaches the bus,
// and the port cycle does not wait its second first.
TEST_F(RegisterAccessTest, SynchronousRequestThatCannotBeBuiltFailsWithNothingSent) {
    StartConfigured();
    const uint64_t before = M().Bus().Submissions();
    const uint64_t start = Now();
    URB urb;
    memset(&urb, 0, sizeof(urb));
    urb.UrbControlGetStatusRequest.Hdr.Length = sizeof(_URB_CONTROL_GET_STATUS_REQUEST);
    urb.UrbControlGetStatusRequest.Hdr.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
    urb.UrbControlGetStatusRequest.TransferBuffer = adapter_->RegReadBuffer;
    urb.UrbControlGetStatusRequest.TransferBufferLength = 2;
    Check().Allocations().FailTag(emu::IoManager::kRequestTag, 2);

    EXPECT_EQ(SubmitUrbSync(adapter_, &urb), ResultFailure);
    EXPECT_EQ(CyclePort(adapter_, IOCTL_INTERNAL_USB_CYCLE_PORT), ResultFailure);

    EXPECT_EQ(M().Bus().Submissions(), before);
    EXPECT_TRUE(M().Bus().PortCycles().empty());
    EXPECT_EQ(Now(), start);
}

TEST_F(RegisterAccessTest, SynchronousTimeOutIsItsOwnResult) {
    StartConfigured();
    Fault(match::Any(), FaultAction::PendForever);
    URB urb;
    memset(&urb, 0, sizeof(urb));
    urb.UrbControlVendorClassRequest.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    urb.UrbControlVendorClassRequest.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    urb.UrbControlVendorClassRequest.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    urb.UrbControlVendorClassRequest.TransferBuffer = adapter_->RegReadBuffer;
    urb.UrbControlVendorClassRequest.TransferBufferLength = 1;
    urb.UrbControlVendorClassRequest.Request = RegisterRead;

    EXPECT_EQ(SubmitUrbSync(adapter_, &urb), ResultTimeout);
    EXPECT_EQ(ResultTimeout, static_cast<ULONG>(STATUS_IO_TIMEOUT));
}

TEST_F(RegisterAccessTest, AsynchronousAccessWithoutARequestSendsNothingAndKeepsNothing) {
    StartConfigured();
    const uint64_t before = M().Bus().Submissions();
    const UCHAR data[] = {0x00};

    M().Io().FailAllocations(2);
    EXPECT_EQ(ReadRegistersAsync(adapter_, 1, MacControl0, AsyncReadComplete), ResultFailure);
    EXPECT_EQ(WriteRegistersAsync(adapter_, 1, MacControl0, data, AsyncWriteComplete),
              ResultFailure);

    EXPECT_EQ(M().Bus().Submissions(), before);
    EXPECT_EQ(adapter_->AsyncReadUrb, nullptr);
    EXPECT_EQ(adapter_->AsyncWriteUrb, nullptr);
}

TEST_F(RegisterAccessTest, AsynchronousAccessWithoutAUrbSendsNothing) {
    StartConfigured();
    const uint64_t before = M().Bus().Submissions();
    Check().Allocations().FailTag(RequestPoolTag, 1);

    EXPECT_EQ(ReadRegistersAsync(adapter_, 1, MacControl0, AsyncReadComplete), ResultFailure);
    EXPECT_EQ(M().Bus().Submissions(), before);
}

}  // namespace
