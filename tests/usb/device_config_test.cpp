// Configuring and stopping the device, as the device and the bus saw it.
#include "usb/device_config.h"

#include "controller/device_stop.h"
#include "tests/usb/usb_fixture.h"
#include "usb/urb_submit.h"

namespace {

using emu::usb::FaultAction;
using emu::usb::Submission;
namespace match = emu::usb::match;
using qvtest::Request;

constexpr Request GetDeviceDescriptor{0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, 18};
constexpr Request GetConfigurationSet{0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0200, 0, 255};
constexpr Request SetConfiguration{0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0};
constexpr Request ClearRemoteWakeup{0x00, USB_REQUEST_CLEAR_FEATURE, 1, 0, 0};
constexpr Request GetDeviceStatus{0x80, USB_REQUEST_GET_STATUS, 0, 0, 2};
constexpr Request SetRemoteWakeup{0x00, USB_REQUEST_SET_FEATURE, 1, 0, 0};
// What the bus sends the device for a reset pipe: clear the endpoint's halt.
constexpr Request ClearHalt(uint16_t endpoint) {
    return {0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, endpoint, 0};
}

constexpr uint64_t OneSecond = 1'000'000;
constexpr uint64_t FiveSeconds = 5'000'000;

class DeviceConfigTest : public qvtest::UsbFixture {
protected:
    // One request as it reached the bus: what it was, when, and the adapter's state then.
    struct Arrival {
        Submission submission;
        uint64_t time;
        ULONG deviceState;
    };

    // Every request handed to the bus from now on.
    std::vector<Arrival>& WatchArrivals() {
        M().Bus().Faults().Add(emu::usb::Fault{[this](const Submission& s) {
            arrivals_.push_back({s, Now(), adapter_->DeviceState});
            return false;
        }});
        return arrivals_;
    }

private:
    std::vector<Arrival> arrivals_;
};

TEST_F(DeviceConfigTest, ConfigurationSendsTheStandardRequestsInOrder) {
    Start();
    controller_->SetRemoteWakeup(true);

    ASSERT_EQ(ConfigureUsbDevice(adapter_), ResultSuccess);

    EXPECT_EQ(DeviceRequests(),
              (std::vector<Request>{GetDeviceDescriptor, GetConfigurationSet, SetConfiguration,
                                    ClearRemoteWakeup, GetDeviceStatus}));
    EXPECT_EQ(controller_->Configuration(), emu::device::kConfigurationValue);
    EXPECT_FALSE(controller_->RemoteWakeup());
}

TEST_F(DeviceConfigTest, ConfigurationKeepsWhatTheDataPathNeeds) {
    Start();
    ASSERT_EQ(ConfigureUsbDevice(adapter_), ResultSuccess);

    EXPECT_EQ(adapter_->NextDeviceObject, M().Bus().PhysicalDeviceObject());
    EXPECT_EQ(adapter_->IrpStackSize, adapter_->NextDeviceObject->StackSize + 1);
    EXPECT_EQ(adapter_->VendorId, emu::device::kVendorId);
    EXPECT_EQ(adapter_->ProductId, emu::device::kProductId);
    EXPECT_NE(adapter_->ConfigurationHandle, nullptr);

    const USBD_INTERFACE_INFORMATION* info = adapter_->InterfaceInfo;
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->NumberOfPipes, 3u);
    EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(3));
    EXPECT_EQ(info->Pipes[ReceivePipe].EndpointAddress, emu::device::kBulkIn);
    EXPECT_EQ(info->Pipes[TransmitPipe].EndpointAddress, emu::device::kBulkOut);
    EXPECT_EQ(info->Pipes[InterruptPipe].PipeType, UsbdPipeTypeInterrupt);
    for (ULONG pipe : {ReceivePipe, TransmitPipe}) {
        EXPECT_EQ(info->Pipes[pipe].PipeType, UsbdPipeTypeBulk);
        EXPECT_NE(info->Pipes[pipe].PipeHandle, nullptr);
        EXPECT_EQ(info->Pipes[pipe].MaximumTransferSize, 1536u);
        EXPECT_EQ(info->Pipes[pipe].PipeFlags, 0u);
    }
}

TEST_F(DeviceConfigTest, StopArmsWakeupResetsTransmitThenReceiveAndWaitsASecond) {
    StartConfigured();
    std::vector<Submission>& seen = WatchSubmissions();
    const uint64_t start = Now();

    EXPECT_EQ(StopDevice(adapter_), ResultSuccess);

    EXPECT_EQ(adapter_->DeviceState, DeviceStopped);
    EXPECT_TRUE(controller_->RemoteWakeup());
    EXPECT_EQ(DeviceRequests(),
              (std::vector<Request>{SetRemoteWakeup, ClearHalt(emu::device::kBulkOut),
                                    ClearHalt(emu::device::kBulkIn)}));
    ASSERT_EQ(seen.size(), 5u);
    const std::pair<USHORT, uint8_t> pipeRequests[] = {
        {URB_FUNCTION_ABORT_PIPE, emu::device::kBulkOut},
        {URB_FUNCTION_RESET_PIPE, emu::device::kBulkOut},
        {URB_FUNCTION_ABORT_PIPE, emu::device::kBulkIn},
        {URB_FUNCTION_RESET_PIPE, emu::device::kBulkIn}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(seen[i + 1].function, pipeRequests[i].first) << "request " << i + 1;
        EXPECT_EQ(seen[i + 1].endpoint, pipeRequests[i].second) << "request " << i + 1;
    }
    EXPECT_GE(Now() - start, OneSecond + 20'000);
}

// The data path and the link monitor look at DeviceState before starting work, so the stop
// must be visible before its first request goes out.
TEST_F(DeviceConfigTest, StopMarksTheDeviceStoppedBeforeItSendsAnything) {
    StartConfigured();
    adapter_->DeviceState = DeviceRunning;
    const std::vector<Arrival>& arrivals = WatchArrivals();

    StopDevice(adapter_);

    ASSERT_FALSE(arrivals.empty());
    EXPECT_EQ(arrivals[0].submission.function, URB_FUNCTION_SET_FEATURE_TO_DEVICE);
    for (const Arrival& arrival : arrivals) EXPECT_EQ(arrival.deviceState, DeviceStopped);
}

// Each pipe settles 10 ms between its abort and its reset, and the second's wait follows the
// last reset, so what the resets set off has finished before the stop returns.
TEST_F(DeviceConfigTest, StopSettlesEachPipeBeforeItsResetAndWaitsASecondAfterTheLast) {
    StartConfigured();
    const std::vector<Arrival>& arrivals = WatchArrivals();

    StopDevice(adapter_);
    const uint64_t returned = Now();

    ASSERT_EQ(arrivals.size(), 5u);  // the set-feature request, then abort and reset per pipe
    for (size_t abort : {1u, 3u}) {
        ASSERT_EQ(arrivals[abort].submission.function, URB_FUNCTION_ABORT_PIPE);
        ASSERT_EQ(arrivals[abort + 1].submission.function, URB_FUNCTION_RESET_PIPE);
        EXPECT_GE(arrivals[abort + 1].time - arrivals[abort].time, 10'000u)
            << "pipe of endpoint 0x" << std::hex << int(arrivals[abort].submission.endpoint);
    }
    EXPECT_GE(returned - arrivals[4].time, OneSecond);
}

// ---- Failures ------------------------------------------------------------------------------

TEST_F(DeviceConfigTest, AllZeroDeviceDescriptorCyclesThePortAfterASecondAndFails) {
    Start(emu::device::Identity::ZeroDeviceDescriptor());
    const uint64_t start = Now();

    EXPECT_EQ(ConfigureUsbDevice(adapter_), ResultFailure);

    ASSERT_EQ(M().Bus().PortCycles().size(), 1u);
    EXPECT_GE(M().Bus().PortCycles()[0] - start, OneSecond);
    ASSERT_FALSE(DeviceRequests().empty());
    EXPECT_EQ(DeviceRequests().front(), GetDeviceDescriptor);
    for (const Request& r : DeviceRequests()) EXPECT_NE(r, GetConfigurationSet);
    EXPECT_EQ(adapter_->ConfigDescriptor, nullptr);
}

// Only all three fields at zero mean a device that did not answer.
TEST_F(DeviceConfigTest, DescriptorWithOnlyItsLengthZeroIsAccepted) {
    emu::device::Identity identity = emu::device::Identity::Standard();
    identity.device_descriptor[0] = 0;
    Start(identity);

    EXPECT_EQ(ConfigureUsbDevice(adapter_), ResultSuccess);
    EXPECT_TRUE(M().Bus().PortCycles().empty());
}

// Odd interfaces, each built from the controller's own endpoint list.
emu::device::Identity TwoPipes() {
    auto endpoints = emu::device::StandardEndpoints();
    endpoints.pop_back();
    return emu::device::Identity::WithEndpoints(endpoints);
}
emu::device::Identity FourPipes() {
    auto endpoints = emu::device::StandardEndpoints();
    endpoints.push_back(endpoints[TransmitPipe]);
    endpoints.back().address = 0x04;
    return emu::device::Identity::WithEndpoints(endpoints);
}
emu::device::Identity BulkThirdPipe() {
    auto endpoints = emu::device::StandardEndpoints();
    endpoints[InterruptPipe].attributes = USB_ENDPOINT_TYPE_BULK;
    return emu::device::Identity::WithEndpoints(endpoints);
}

// The bulk pipes the wrong way round: the receive path would read from an OUT endpoint.
emu::device::Identity SwappedBulkPipes() {
    auto endpoints = emu::device::StandardEndpoints();
    std::swap(endpoints[ReceivePipe], endpoints[TransmitPipe]);
    return emu::device::Identity::WithEndpoints(endpoints);
}

struct PipeLayout {
    const char* name;
    emu::device::Identity (*identity)();
    bool selected;  // the configuration was set on the device before the failure
};

class PipeLayoutTest : public DeviceConfigTest,
                       public ::testing::WithParamInterface<PipeLayout> {};

TEST_P(PipeLayoutTest, InterfaceWithoutBulkBulkInterruptIsRefused) {
    Start(GetParam().identity());

    EXPECT_EQ(ConfigureUsbDevice(adapter_), ResultFailure);

    std::vector<Request> expected{GetDeviceDescriptor, GetConfigurationSet};
    if (GetParam().selected) expected.push_back(SetConfiguration);
    EXPECT_EQ(DeviceRequests(), expected);
    EXPECT_EQ(adapter_->ConfigurationHandle, nullptr);
    EXPECT_EQ(adapter_->InterfaceInfo, nullptr);
    // Kept by the tracker, released at halt with everything else.
    EXPECT_NE(adapter_->ConfigDescriptor, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PipeLayoutTest,
    ::testing::Values(PipeLayout{"TwoPipes", TwoPipes, false},
                      PipeLayout{"FourPipes", FourPipes, false},
                      PipeLayout{"BulkThirdPipe", BulkThirdPipe, true},
                      PipeLayout{"SwappedBulkPipes", SwappedBulkPipes, true}),
    [](const ::testing::TestParamInfo<PipeLayout>& info) { return std::string(info.param.name); });

// The select-configuration request carries the one interface the driver uses; the bus reads
// an entry for every interface the configuration declares, so any other count is refused
// before anything is selected.
class InterfaceCountTest : public DeviceConfigTest,
                           public ::testing::WithParamInterface<int> {};

TEST_P(InterfaceCountTest, ConfigurationDeclaringOtherThanOneInterfaceIsRefused) {
    emu::device::Identity identity = emu::device::Identity::Standard();
    identity.configuration_set[4] = static_cast<uint8_t>(GetParam());  // bNumInterfaces
    Start(identity);

    EXPECT_EQ(ConfigureUsbDevice(adapter_), ResultFailure);

    EXPECT_EQ(DeviceRequests(), (std::vector<Request>{GetDeviceDescriptor, GetConfigurationSet}));
    EXPECT_EQ(adapter_->InterfaceInfo, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Counts, InterfaceCountTest, ::testing::Values(0, 2, 255));

// The set is read only as far as 255 bytes; an interface lying beyond them is not looked for
// in memory that was never read.
TEST_F(DeviceConfigTest, InterfaceBeyondTheBytesReadIsNoInterface) {
    Start(emu::device::Identity::WithPadding(300, 0));

    EXPECT_EQ(ConfigureUsbDevice(adapter_), ResultFailure);

    EXPECT_EQ(DeviceRequests(),
              (std::vector<Request>{GetDeviceDescriptor, GetConfigurationSet}));
}

TEST_F(DeviceConfigTest, LongSetWithTheInterfaceWithinTheBytesReadIsConfigured) {
    Start(emu::device::Identity::WithPadding(0, 300));

    EXPECT_EQ(ConfigureUsbDevice(adapter_), ResultSuccess);
    EXPECT_EQ(adapter_->ConfigDescriptor->wTotalLength, 255);
}

// A device that sends less than the wTotalLength it claims: the set is cut to the bytes sent,
// so an interface descriptor running past them into the zeroed buffer is no interface (the bus
// would refuse one it cannot find in the device's own set).
struct ShortSet {
    const char* name;
    uint8_t interfaceLength;
    ULONG result;
};

class ShortSetTest : public DeviceConfigTest, public ::testing::WithParamInterface<ShortSet> {};

TEST_P(ShortSetTest, SetSentShortOfItsTotalLengthIsCutToTheBytesSent) {
    emu::device::Identity identity = emu::device::Identity::Standard();
    const auto sent = static_cast<USHORT>(identity.configuration_set.size());
    identity.configuration_set[2] = 200;  // wTotalLength, low byte
    identity.configuration_set[9] = GetParam().interfaceLength;
    Start(identity);

    EXPECT_EQ(ConfigureUsbDevice(adapter_), GetParam().result);
    EXPECT_EQ(adapter_->ConfigDescriptor->wTotalLength, sent);
}

INSTANTIATE_TEST_SUITE_P(
    Sets, ShortSetTest,
    ::testing::Values(ShortSet{"Intact", 9, ResultSuccess},
                      ShortSet{"InterfacePastTheBytesSent", 60, ResultFailure}),
    [](const ::testing::TestParamInfo<ShortSet>& info) { return std::string(info.param.name); });

// An endpoint descriptor past the interface's bNumEndpoints is no pipe of it: the bus opens the
// three declared, as the select request sized for three asks.
TEST_F(DeviceConfigTest, EndpointBeyondTheDeclaredCountIsNoPipe) {
    emu::device::Identity identity = emu::device::Identity::Standard();
    std::vector<uint8_t>& set = identity.configuration_set;
    set.insert(set.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x84, USB_ENDPOINT_TYPE_BULK, 64, 0, 0});
    set[2] = static_cast<uint8_t>(set.size());  // wTotalLength
    Start(identity);

    ASSERT_EQ(ConfigureUsbDevice(adapter_), ResultSuccess);
    EXPECT_EQ(adapter_->InterfaceInfo->NumberOfPipes, 3u);
    EXPECT_EQ(adapter_->InterfaceInfo->Pipes[2].EndpointAddress, 0x83);
}

TEST_F(DeviceConfigTest, TimedOutStatusReadFailsWithTheInterfaceAlreadyKept) {
    Start();
    Fault(match::Request(0x80, USB_REQUEST_GET_STATUS), FaultAction::PendForever);
    const uint64_t start = Now();

    EXPECT_EQ(ConfigureUsbDevice(adapter_), ResultFailure);

    EXPECT_NE(adapter_->InterfaceInfo, nullptr);
    EXPECT_GE(Now() - start, FiveSeconds);
    EXPECT_EQ(M().Bus().PendingRequests(), 0u);
}

// A transmit pipe that could not be aborted ends the reset there. One that was aborted is
// empty whatever its reset did, and the receive pipe is still aborted and reset: at halt its
// transfer sits in memory about to be freed. Either way the caller learns of the failure.
TEST_F(DeviceConfigTest, ResetGoesOnToTheReceivePipeOnlyOnceTheTransmitPipeIsAborted) {
    struct Case {
        const char* what;
        USHORT failing;
        std::vector<std::pair<USHORT, uint8_t>> sent;
    };
    const Case cases[] = {
        {"transmit abort times out", URB_FUNCTION_ABORT_PIPE,
         {{URB_FUNCTION_ABORT_PIPE, emu::device::kBulkOut}}},
        {"transmit reset times out", URB_FUNCTION_RESET_PIPE,
         {{URB_FUNCTION_ABORT_PIPE, emu::device::kBulkOut},
          {URB_FUNCTION_RESET_PIPE, emu::device::kBulkOut},
          {URB_FUNCTION_ABORT_PIPE, emu::device::kBulkIn},
          {URB_FUNCTION_RESET_PIPE, emu::device::kBulkIn}}},
    };
    StartConfigured();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Submission>& seen = WatchSubmissions();
        seen.clear();
        const USHORT failing = c.failing;
        Fault(
            [failing](const Submission& s) {
                return s.function == failing && s.endpoint == emu::device::kBulkOut;
            },
            FaultAction::PendForever);

        EXPECT_EQ(ResetBulkPipes(adapter_), ResultFailure);

        ASSERT_EQ(seen.size(), c.sent.size());
        for (size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].function, c.sent[i].first) << "request " << i + 1;
            EXPECT_EQ(seen[i].endpoint, c.sent[i].second) << "request " << i + 1;
        }
        M().Bus().Faults().Clear();
    }
}

TEST_F(DeviceConfigTest, ResetWithoutItsPipeRequestSendsNothing) {
    StartConfigured();
    const uint64_t before = M().Bus().Submissions();
    Check().Allocations().FailTag(RequestPoolTag, 1);

    EXPECT_EQ(ResetBulkPipes(adapter_), ResultFailure);
    EXPECT_EQ(M().Bus().Submissions(), before);
}

TEST_F(DeviceConfigTest, StopGoesOnPastATimedOutWakeupRequest) {
    StartConfigured();
    Fault(match::Request(0x00, USB_REQUEST_SET_FEATURE), FaultAction::PendForever);
    const uint64_t start = Now();

    EXPECT_EQ(StopDevice(adapter_), ResultSuccess);

    EXPECT_EQ(adapter_->DeviceState, DeviceStopped);
    EXPECT_EQ(DeviceRequests(),
              (std::vector<Request>{ClearHalt(emu::device::kBulkOut),
                                    ClearHalt(emu::device::kBulkIn)}));
    EXPECT_GE(Now() - start, FiveSeconds + OneSecond);
}

}  // namespace
