// The device's descriptors: a device descriptor and a configuration set built from any
// endpoints (missing, extra, wrong types and directions, odd packet sizes), with class
// descriptors around them, then bytes patched anywhere (lengths, types, counts, wTotalLength),
// or both given raw. A fresh machine per input; the bring-up may fail, the verifier may not
// report.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "emulator/device/identity.h"
#include "fuzz/fuzz_support.h"

namespace {

using emu::device::EndpointLayout;
using emu::device::Identity;

constexpr size_t kMaxSet = 600;  // past 255, so that wTotalLength's high byte matters

EndpointLayout AnyEndpoint(FuzzedDataProvider& in) {
    EndpointLayout endpoint;
    // Mostly the standard addresses and types, so that near-misses come out often.
    static constexpr uint8_t kAddresses[] = {0x81, 0x02, 0x83, 0x01, 0x82, 0x03};
    endpoint.address = in.ConsumeBool() ? in.PickValueInArray(kAddresses)
                                        : in.ConsumeIntegral<uint8_t>();
    endpoint.attributes = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint8_t>(0, 3)
                                           : in.ConsumeIntegral<uint8_t>();
    static constexpr uint16_t kPackets[] = {64, 8, 0, 1, 63, 65, 512, 1023, 0xFFFF};
    endpoint.max_packet = in.PickValueInArray(kPackets);
    endpoint.interval = in.ConsumeIntegral<uint8_t>();
    return endpoint;
}

Identity BuiltIdentity(FuzzedDataProvider& in) {
    Identity identity = Identity::Standard();
    std::vector<EndpointLayout> endpoints = emu::device::StandardEndpoints();
    if (in.ConsumeBool()) {
        endpoints.clear();
        const int count = in.ConsumeIntegralInRange<int>(0, 6);
        for (int i = 0; i < count; ++i) endpoints.push_back(AnyEndpoint(in));
    }
    const size_t before = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 300) : 0;
    const size_t after = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 300) : 0;
    identity.configuration_set = emu::device::BuildConfigurationSet(endpoints, before, after);
    // Patches: (offset, value) pairs over the device descriptor and the set.
    const int patches = in.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < patches; ++i) {
        const bool device = in.ConsumeBool();
        const size_t size = device ? identity.device_descriptor.size()
                                   : identity.configuration_set.size();
        const size_t at = in.ConsumeIntegralInRange<size_t>(0, size - 1);
        const uint8_t value = in.ConsumeIntegral<uint8_t>();
        (device ? identity.device_descriptor[at] : identity.configuration_set[at]) = value;
    }
    if (in.ConsumeBool()) {  // cut short or grown by junk
        const size_t length = in.ConsumeIntegralInRange<size_t>(0, kMaxSet);
        identity.configuration_set.resize(length, in.ConsumeIntegral<uint8_t>());
    }
    return identity;
}

Identity RawIdentity(FuzzedDataProvider& in) {
    Identity identity;
    for (uint8_t& byte : identity.device_descriptor) byte = in.ConsumeIntegral<uint8_t>();
    identity.configuration_set =
        in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, kMaxSet));
    return identity;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    qvtest::AdapterOptions options;
    options.identity = in.ConsumeBool() ? RawIdentity(in) : BuiltIdentity(in);
    options.identity.topology.negotiation_time_us = 0;  // the descriptors are the subject here
    options.hang_check = false;
    const auto machine = qvfuzz::NewMachine();
    {
        qvtest::RunningAdapter nic(*machine, options);
        if (nic.Start() == NDIS_STATUS_SUCCESS) {
            // A device the driver accepted must move frames both ways.
            nic.Inject(qvtest::MakeFrame(qvtest::kBroadcast, qvtest::kPeerAddress, 60, 1));
            nic.Send(qvtest::MakeFrame(qvtest::kPeerAddress, nic.StationAddress(), 60, 2));
            nic.RunUntilIdle();
        }
        if (!nic.RemoveAndUnload()) qvfuzz::Fail("the driver could not be unloaded");
    }
    if (!machine->Check().Clean()) qvfuzz::Fail("verifier report");
    return 0;
}
