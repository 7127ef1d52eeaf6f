// The configuration keywords as the bring-up reads them: ReadConfiguration runs inside
// MiniportInitialize over an adapter whose defaults and EEPROM address are already in place,
// and the tests look at the Adapter's fields and the driver-wide flag it leaves.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "controller/configuration.h"
#include "core/adapter.h"
#include "driver/driver_entry.h"
#include "emulator/ndis/config.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "tests/support/machine_fixture.h"
#include "tests/usb/usb_fixture.h"

namespace {

using Address = std::array<UCHAR, 6>;
constexpr Address kEepromAddress{0x02, 0x51, 0x56, 0x00, 0x00, 0x01};

// What ReadConfiguration left, field by field.
struct Settings {
    ULONG tx = 20, rx = 20, media_type = 0, media_sel = 0, magic = 0, link_wakeup = 0;
    ULONG flow = 0, flow_tx = 0, flow_rx = 0;
    BOOLEAN platform = FALSE;
    Address current = kEepromAddress;
};

class Configuration : public qvtest::UsbFixture {
protected:
    emu::ndis::ConfigStore& Store() { return M().Ndis().Configuration(); }

    // Starts the device; its MiniportInitialize sets what the bring-up sets before the
    // configuration is read, then calls ReadConfiguration.
    void Start() {
        on_initialize_ = [this](Adapter* adapter) {
            adapter->TxDescCount = 20;
            adapter->RxDescCount = 20;
            std::memcpy(adapter->PermanentAddress, kEepromAddress.data(), 6);
            std::memcpy(adapter->CurrentAddress, kEepromAddress.data(), 6);
            result_ = ReadConfiguration(adapter);
        };
        UsbFixture::Start();
    }

    Settings Read() const {
        Settings s;
        s.tx = adapter_->TxDescCount;
        s.rx = adapter_->RxDescCount;
        s.media_type = adapter_->MediaType;
        s.media_sel = adapter_->MediaSel;
        s.magic = adapter_->MagicPkt;
        s.link_wakeup = adapter_->LinkWakeup;
        s.flow = adapter_->FlowControl;
        s.flow_tx = adapter_->FlowControlTx;
        s.flow_rx = adapter_->FlowControlRx;
        s.platform = PlatformPresent;
        std::memcpy(s.current.data(), adapter_->CurrentAddress, 6);
        return s;
    }

    void ExpectSettings(const Settings& want) {
        Settings got = Read();
        EXPECT_EQ(got.tx, want.tx);
        EXPECT_EQ(got.rx, want.rx);
        EXPECT_EQ(got.media_type, want.media_type);
        EXPECT_EQ(got.media_sel, want.media_sel);
        EXPECT_EQ(got.magic, want.magic);
        EXPECT_EQ(got.link_wakeup, want.link_wakeup);
        EXPECT_EQ(got.flow, want.flow);
        EXPECT_EQ(got.flow_tx, want.flow_tx);
        EXPECT_EQ(got.flow_rx, want.flow_rx);
        EXPECT_EQ(got.platform, want.platform);
        EXPECT_EQ(got.current, want.current);
        EXPECT_EQ(0, std::memcmp(adapter_->PermanentAddress, kEepromAddress.data(), 6))
            << "the EEPROM address is never replaced";
    }

    ULONG result_ = 0;
};

struct Case {
    const char* name;
    std::function<void(emu::ndis::ConfigStore&)> set;
    std::function<void(Settings&)> expect;  // changes from the defaults
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class Keywords : public Configuration, public ::testing::WithParamInterface<Case> {};

TEST_P(Keywords, LeaveTheAdapterFields) {
    GetParam().set(Store());
    Start();
    EXPECT_EQ(result_, ResultSuccess);
    Settings want;
    GetParam().expect(want);
    ExpectSettings(want);
}

void Nothing(emu::ndis::ConfigStore&) {}
void Defaults(Settings&) {}

const Case kCases[] = {
    {"NothingSet", Nothing, Defaults},
    {"DescriptorCounts",
     [](auto& c) { c.SetInteger("TxPacketDesc", 5); c.SetInteger("RxPacketDesc", 64); },
     [](Settings& s) { s.tx = 5; s.rx = 64; }},
    {"TxPacketDesc0And_RxPacketDesc0_RaisedToTheirLeast",
     [](auto& c) { c.SetInteger("TxPacketDesc", 0); c.SetInteger("RxPacketDesc", 0); },
     [](Settings& s) { s.tx = 2; s.rx = 3; }},
    {"TxPacketDesc1And_RxPacketDesc2_Raised",
     [](auto& c) { c.SetInteger("TxPacketDesc", 1); c.SetInteger("RxPacketDesc", 2); },
     [](Settings& s) { s.tx = 2; s.rx = 3; }},
    {"LeastCountsUsedUnchanged",
     [](auto& c) { c.SetInteger("TxPacketDesc", 2); c.SetInteger("RxPacketDesc", 3); },
     [](Settings& s) { s.tx = 2; s.rx = 3; }},
    {"HugeCountsKeptForTheCarvingToRefuse",
     [](auto& c) { c.SetInteger("TxPacketDesc", 0xFFFFFFFF); },
     [](Settings& s) { s.tx = 0xFFFFFFFF; }},
    {"FlowControl3_Tx3_Rx0",
     [](auto& c) {
         c.SetInteger("FlowControl", 3);
         c.SetInteger("FlowControl_Tx", 3);
         c.SetInteger("FlowControl_Rx", 0);
     },
     [](Settings& s) { s.flow = 3; s.flow_tx = 3; }},
    {"FlowControl0_Tx8_Rx33",
     [](auto& c) {
         c.SetInteger("FlowControl", 0);
         c.SetInteger("FlowControl_Tx", 8);
         c.SetInteger("FlowControl_Rx", 33);
     },
     [](Settings& s) { s.flow_tx = 8; s.flow_rx = 33; }},
    {"MagicPktAndLinkWakeup",
     [](auto& c) { c.SetInteger("MagicPkt", 1); c.SetInteger("LinkWakeup", 0xFFFFFFFF); },
     [](Settings& s) { s.magic = 1; s.link_wakeup = 0xFFFFFFFF; }},
    {"MediaSel1", [](auto& c) { c.SetInteger("MediaSel", 1); },
     [](Settings& s) { s.media_sel = 1; }},
    {"MediaSel2", [](auto& c) { c.SetInteger("MediaSel", 2); },
     [](Settings& s) { s.media_sel = 2; }},
    {"MediaSelOtherKept", [](auto& c) { c.SetInteger("MediaSel", 7); },
     [](Settings& s) { s.media_sel = 7; }},
    {"MediaType1", [](auto& c) { c.SetInteger("MediaType", 1); },
     [](Settings& s) { s.media_type = 1; }},
    {"MediaType2", [](auto& c) { c.SetInteger("MediaType", 2); },
     [](Settings& s) { s.media_type = 2; }},
    {"MediaType3", [](auto& c) { c.SetInteger("MediaType", 3); },
     [](Settings& s) { s.media_type = 3; }},
    {"MediaType4", [](auto& c) { c.SetInteger("MediaType", 4); },
     [](Settings& s) { s.media_type = 4; }},
    {"MediaType5IsAutomatic", [](auto& c) { c.SetInteger("MediaType", 5); }, Defaults},
    {"MediaTypeHugeIsAutomatic", [](auto& c) { c.SetInteger("MediaType", 0xFFFFFFFF); },
     Defaults},
    {"TextThatSpellsANumber", [](auto& c) { c.SetText("MediaType", u"3"); },
     [](Settings& s) { s.media_type = 3; }},
    {"TextThatIsNoNumberLeavesTheDefault",
     [](auto& c) { c.SetText("TxPacketDesc", u"many"); c.SetText("MagicPkt", u"on"); },
     Defaults},
    {"Platform0", [](auto& c) { c.SetInteger("Platform", 0); },
     [](Settings& s) { s.platform = TRUE; }},
    {"Platform1", [](auto& c) { c.SetInteger("Platform", 1); },
     [](Settings& s) { s.platform = TRUE; }},
    {"PlatformUnreadableAsANumber", [](auto& c) { c.SetText("Platform", u"yes"); }, Defaults},
    {"NetworkAddress",
     [](auto& c) { c.SetNetworkAddress({0x02, 0x11, 0x22, 0x33, 0x44, 0x55}); },
     [](Settings& s) { s.current = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}; }},
    {"NetworkAddressOfTenDigits", [](auto& c) { c.SetText("NetworkAddress", u"0211223344"); },
     Defaults},
    {"NetworkAddressNotHex", [](auto& c) { c.SetText("NetworkAddress", u"02112233445G"); },
     Defaults},
    {"NetworkAddressOfAGroupIsNotRefused",
     [](auto& c) { c.SetNetworkAddress({0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}); },
     [](Settings& s) { s.current = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01}; }},
    {"EveryKeyword",
     [](auto& c) {
         c.SetInteger("Platform", 5);
         c.SetInteger("TxPacketDesc", 8);
         c.SetInteger("RxPacketDesc", 9);
         c.SetInteger("MediaType", 4);
         c.SetInteger("MediaSel", 2);
         c.SetInteger("MagicPkt", 1);
         c.SetInteger("LinkWakeup", 1);
         c.SetInteger("FlowControl", 1);
         c.SetInteger("FlowControl_Tx", 2);
         c.SetInteger("FlowControl_Rx", 6);
         c.SetNetworkAddress({0x0A, 0, 0, 0, 0, 0x0B});
     },
     [](Settings& s) {
         s = Settings{8, 9, 4, 2, 1, 1, 1, 2, 6, TRUE, {0x0A, 0, 0, 0, 0, 0x0B}};
     }},
};

INSTANTIATE_TEST_SUITE_P(Configuration, Keywords, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Configuration, ReadsPlatformFirstThenTheKeywordsInOrderAndClosesWhatItOpened) {
    Start();  // a configuration handle left open would be reported as a leak
    EXPECT_EQ(M().Ndis().Adapter().ConfigurationReads(),
              (std::vector<std::string>{"Platform", "TxPacketDesc", "RxPacketDesc",
                                        "MediaType", "MediaSel", "MagicPkt", "LinkWakeup",
                                        "FlowControl", "FlowControl_Tx", "FlowControl_Rx",
                                        "NetworkAddress"}));
}

TEST_F(Configuration, AConfigurationThatCannotBeOpenedFailsAndChangesNothing) {
    Store().SetInteger("Platform", 1);
    Store().SetInteger("TxPacketDesc", 1);
    Store().SetInteger("RxPacketDesc", 0);
    Store().SetInteger("MediaType", 3);
    Store().SetNetworkAddress({0x02, 0x11, 0x22, 0x33, 0x44, 0x55});
    M().Ndis().FailOpenConfiguration(true);
    Start();
    EXPECT_EQ(result_, ResultFailure);
    ExpectSettings(Settings{});
    EXPECT_TRUE(M().Ndis().Adapter().ConfigurationReads().empty());
}

TEST(FlowControlRegisterValue, IsBitNMod32KeptToABytePlusBit0ForEveryValue) {
    struct { ULONG configured; UCHAR value; } cases[] = {
        {0, 0x00}, {1, 0x03}, {3, 0x09}, {7, 0x81}, {8, 0x01}, {12, 0x01}, {31, 0x01},
        {32, 0x01}, {33, 0x03}, {39, 0x81}, {0x80000003, 0x09}, {0xFFFFFFFF, 0x01},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FlowControlRegisterValue(c.configured), c.value) << c.configured;
    }
}

}  // namespace
