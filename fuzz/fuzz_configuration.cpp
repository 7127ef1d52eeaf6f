// The adapter's configuration as the registry may hold it: the integer keywords with any
// value, as numbers or as text that may or may not spell one, keywords in any case, and a
// network address as any text or as bytes of any length. A fresh machine and a whole
// bring-up, run and removal per input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "emulator/ndis/config.h"
#include "emulator/ndis/ndis.h"
#include "emulator/usbbus/bus.h"
#include "fuzz/fuzz_support.h"

namespace {

using emu::ndis::ConfigStore;

const char* const kKeywords[] = {
    "Platform",  "MediaType",   "MediaSel",       "MagicPkt",       "LinkWakeup",
    "FlowControl", "FlowControl_Tx", "FlowControl_Rx", "TxPacketDesc", "RxPacketDesc",
};
constexpr int kDescriptorKeywords = 8;  // the last two: their counts size one allocation

// 0xFFFFFFFF / 1664: the largest count whose descriptor block the allocator can size.
constexpr ULONG kLargestCount = 2581110;
// Counts the driver must refuse before it allocates; counts it accepts stay small, so that
// one input does not allocate gigabytes.
constexpr ULONG kRefusedCounts[] = {kLargestCount, kLargestCount + 1, 0x7FFFFFFF, 0x80000000,
                                    0xFFFFFFFE, 0xFFFFFFFF};

std::u16string Text(FuzzedDataProvider& in, size_t most) {
    std::u16string text;
    const size_t length = in.ConsumeIntegralInRange<size_t>(0, most);
    for (size_t i = 0; i < length && in.remaining_bytes() > 0; ++i) {
        // Mostly digits and hex letters, so that numbers and addresses come out often.
        static constexpr char kCommon[] = "0123456789ABCDEFabcdef-: x";
        text += in.ConsumeBool() ? static_cast<char16_t>(in.PickValueInArray(kCommon))
                                 : static_cast<char16_t>(in.ConsumeIntegral<uint16_t>());
    }
    return text;
}

// A keyword as the registry may spell it: any case.
std::string Spelled(FuzzedDataProvider& in, std::string keyword) {
    if (!in.ConsumeBool()) return keyword;
    for (char& c : keyword) {
        if (in.ConsumeBool()) c = static_cast<char>(c ^ 0x20 * ((c | 0x20) >= 'a'));
    }
    return keyword;
}

void OneValue(ConfigStore& store, FuzzedDataProvider& in) {
    const int index = in.ConsumeIntegralInRange<int>(0, std::size(kKeywords));
    if (index == std::size(kKeywords)) {  // the network address
        if (in.ConsumeBool()) {
            store.SetText(Spelled(in, "NetworkAddress"), Text(in, 20));
        } else {
            store.SetNetworkAddressBytes(
                in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 16)));
        }
        return;
    }
    const std::string keyword = Spelled(in, kKeywords[index]);
    if (index >= kDescriptorKeywords) {
        store.SetInteger(keyword, in.ConsumeBool() ? in.ConsumeIntegralInRange<ULONG>(0, 300)
                                                   : in.PickValueInArray(kRefusedCounts));
    } else if (in.ConsumeBool()) {
        store.SetInteger(keyword, in.ConsumeIntegral<ULONG>());
    } else {
        store.SetText(keyword, Text(in, 12));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const auto machine = qvfuzz::NewMachine();
    qvtest::AdapterOptions options;
    options.inf_defaults = false;
    options.hang_check = in.ConsumeBool();
    // Negotiation is not what this target is after: at once, it spares ~400 MII polls.
    options.identity.topology.negotiation_time_us = 0;
    // The store is filled once the device is plugged in, before the driver reads it.
    options.prepare_device = [&](emu::device::Controller&) {
        ConfigStore& store = machine->Ndis().Configuration(machine->Bus().PhysicalDeviceObject());
        while (in.remaining_bytes() > 0) OneValue(store, in);
    };
    {
        qvtest::RunningAdapter nic(*machine, options);
        if (nic.Start() == NDIS_STATUS_SUCCESS) {
            // Whatever the counts and address came to, frames still move both ways.
            nic.Inject(qvtest::MakeFrame(qvtest::kBroadcast, qvtest::kPeerAddress, 60, 1));
            nic.Send(qvtest::MakeFrame(qvtest::kPeerAddress, nic.StationAddress(), 60, 2));
            nic.Run(2'100'000);  // one check-for-hang, with its link monitor pass
        }
        if (!nic.RemoveAndUnload()) qvfuzz::Fail("the driver could not be unloaded");
    }
    if (!machine->Check().Clean()) qvfuzz::Fail("verifier report");
    return 0;
}
