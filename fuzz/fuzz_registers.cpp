// Register values the device answers: EEPROM words (the station address included), PHYs at
// any MII address answering whatever values the input holds for each register, and done bits
// of EEPROM reads and MII commands that never come. A fresh machine, bring-up, a link monitor
// pass and removal per input.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "emulator/device/controller.h"
#include "emulator/device/mii.h"
#include "fuzz/fuzz_support.h"

namespace {

// A PHY whose registers read what the input says, each read of a register taking the next
// of its values (the last one repeats), so that link bits may come and go.
class ScriptedPhy : public emu::device::Phy {
public:
    explicit ScriptedPhy(FuzzedDataProvider& in) {
        const int scripted = in.ConsumeIntegralInRange<int>(0, 8);
        for (int i = 0; i < scripted; ++i) {
            auto& values = values_[in.ConsumeIntegralInRange<uint8_t>(0, 6)];
            const int count = in.ConsumeIntegralInRange<int>(1, 4);
            for (int v = 0; v < count; ++v) values.push_back(in.ConsumeIntegral<uint16_t>());
        }
    }
    uint16_t Read(uint8_t reg) override {
        auto& values = values_[reg & 0x1F];
        if (values.empty()) return 0;
        const uint16_t value = values.front();
        if (values.size() > 1) values.erase(values.begin());
        return value;
    }
    void Write(uint8_t, uint16_t) override {}
    bool CarriesFrames() const override { return true; }

private:
    std::array<std::vector<uint16_t>, 32> values_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    qvtest::AdapterOptions options;
    options.identity.topology.negotiation_time_us = 0;
    options.hang_check = true;
    options.prepare_device = [&](emu::device::Controller& device) {
        const int words = in.ConsumeIntegralInRange<int>(0, 4);
        for (int i = 0; i < words; ++i) {
            device.EepromImage().SetWord(in.ConsumeIntegralInRange<size_t>(0, 3),
                                         in.ConsumeIntegral<uint16_t>());
        }
        device.HoldEepromDone(in.ConsumeIntegralInRange<int>(0, 7) == 0);
        device.HoldMiiDone(in.ConsumeIntegralInRange<int>(0, 7) == 0);
        const int phys = in.ConsumeIntegralInRange<int>(0, 2);
        for (int i = 0; i < phys; ++i) {
            const uint8_t address = in.ConsumeIntegralInRange<uint8_t>(0, 3);
            if (in.ConsumeBool()) {
                device.Mii().Detach(address);
            } else {
                device.Mii().Attach(address, std::make_unique<ScriptedPhy>(in));
            }
        }
    };
    const auto machine = qvfuzz::NewMachine();
    {
        qvtest::RunningAdapter nic(*machine, options);
        if (nic.Start() == NDIS_STATUS_SUCCESS) nic.Run(4'100'000);  // two link monitor passes
        if (!nic.RemoveAndUnload()) qvfuzz::Fail("the driver could not be unloaded");
    }
    if (!machine->Check().Clean()) qvfuzz::Fail("verifier report");
    return 0;
}
