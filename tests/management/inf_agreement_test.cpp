// The driver's INF against the driver: the keywords the properties page offers are the ones
// the bring-up reads, their defaults lie in their ranges, and an adapter installed from the
// INF behaves as one with an empty key, where the driver's own defaults stand.
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "controller/configuration.h"
#include "datapath/descriptors.h"
#include "emulator/device/controller.h"
#include "emulator/machine.h"
#include "emulator/ndis/inf.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/requests.h"
#include "emulator/verifier/verifier.h"
#include "tests/support/device_ops.h"
#include "tests/support/harness/running_adapter.h"

namespace qvtest {
namespace {

emu::ndis::InfModel QvnetInf() {
    emu::ndis::InfReadResult inf =
        emu::ndis::ReadInf(emu::ndis::QvnetInfText(), emu::ndis::kQvnetHardwareId);
    EXPECT_TRUE(inf.ok) << inf.error;
    return inf.model;
}

std::string Fold(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// What one bring-up shows from outside the driver.
struct BringUp {
    std::vector<std::string> keywords_read;
    std::vector<std::string> device_ops;
    std::vector<std::vector<uint8_t>> answers;
};

// On a machine of its own, so that two bring-ups can be compared in one test.
BringUp BringUpWith(bool inf_defaults) {
    emu::Machine machine;
    machine.Check().OnReport(
        [](const emu::Violation& violation) { ADD_FAILURE() << emu::Describe(violation); });
    AdapterOptions options;
    options.inf_defaults = inf_defaults;
    RunningAdapter nic(machine, options);
    BringUp seen;
    if (nic.Start() != NDIS_STATUS_SUCCESS) {
        ADD_FAILURE() << "the adapter did not start";
        return seen;
    }
    seen.keywords_read = nic.Block().ConfigurationReads();
    seen.device_ops = DeviceOpTexts(nic.Device().ControlLog());
    for (NDIS_OID oid : {OID_GEN_MAXIMUM_SEND_PACKETS, OID_GEN_TRANSMIT_BUFFER_SPACE,
                         OID_GEN_RECEIVE_BUFFER_SPACE, OID_GEN_LINK_SPEED,
                         OID_802_3_CURRENT_ADDRESS}) {
        const auto r = nic.Block().Request().Query(oid, 64);
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS) << std::hex << oid;
        seen.answers.emplace_back(r.buffer.begin(), r.buffer.begin() + r.bytes_done);
    }
    nic.Halt();
    return seen;
}

TEST(DriverInf, OffersExactlyTheKeywordsTheBringUpReads) {
    const emu::ndis::InfModel inf = QvnetInf();
    std::set<std::string> declared;
    for (const emu::ndis::InfParam& param : inf.params) declared.insert(Fold(param.keyword));

    std::set<std::string> read;
    for (const std::string& keyword : BringUpWith(true).keywords_read) read.insert(Fold(keyword));
    ASSERT_TRUE(read.count("networkaddress")) << "the address override is read too";
    // Its mere presence changes how PnP requests are routed: not a setting to offer.
    ASSERT_TRUE(read.erase("platform"));
    EXPECT_EQ(declared, read);
}

TEST(DriverInf, InstallsEveryRequiredKeywordAtItsDefaultAndNoOther) {
    const emu::ndis::InfModel inf = QvnetInf();
    std::set<std::string> required;
    for (const emu::ndis::InfParam& param : inf.params) {
        if (!param.optional) required.insert(Fold(param.keyword));
    }
    std::set<std::string> installed;
    for (const auto& [keyword, data] : inf.install_values) {
        const emu::ndis::InfParam* param = inf.Param(keyword);
        ASSERT_NE(param, nullptr) << keyword << " is installed but not offered";
        EXPECT_EQ(data, param->default_value) << keyword;
        EXPECT_TRUE(installed.insert(Fold(keyword)).second) << keyword << " twice";
    }
    EXPECT_EQ(installed, required);
    const emu::ndis::InfParam* address = inf.Param("NetworkAddress");
    ASSERT_NE(address, nullptr);
    EXPECT_TRUE(address->optional) << "absent, the EEPROM's address stands";
    EXPECT_EQ(address->default_value, "");
}

TEST(DriverInf, EachDefaultIsOneTheRangeOrChoicesAllow) {
    for (const emu::ndis::InfParam& param : QvnetInf().params) {
        SCOPED_TRACE(param.keyword);
        if (param.type == "enum") {
            bool offered = false;
            for (const auto& choice : param.choices) offered |= choice.value == param.default_value;
            EXPECT_TRUE(offered) << "default " << param.default_value << " is no choice";
            for (const auto& choice : param.choices) EXPECT_FALSE(choice.text.empty());
            continue;
        }
        if (!param.IsNumber()) {
            EXPECT_EQ(param.type, "edit");
            continue;
        }
        ASSERT_TRUE(param.min && param.max && param.step);
        ASSERT_GT(*param.step, 0);
        const int64_t value = std::stoll(param.default_value);
        EXPECT_LE(*param.min, value);
        EXPECT_LE(value, *param.max);
        EXPECT_EQ((value - *param.min) % *param.step, 0);
    }
}

TEST(DriverInf, DescriptorRangesStartWhereTheDriverWouldRaiseThemAndStayModest) {
    const emu::ndis::InfModel inf = QvnetInf();
    const emu::ndis::InfParam* tx = inf.Param("TxPacketDesc");
    const emu::ndis::InfParam* rx = inf.Param("RxPacketDesc");
    ASSERT_TRUE(tx && rx && tx->min && rx->min && tx->max && rx->max);
    // Below these the driver raises the count: the page would show what is not in use.
    EXPECT_GE(*tx->min, static_cast<int64_t>(MinTxDescCount));
    EXPECT_GE(*rx->min, static_cast<int64_t>(MinRxDescCount));
    EXPECT_LE((*tx->max + *rx->max) * DescriptorFootprint32Bit, 256 * 1024)
        << "the descriptor block is non-paged memory";
}

TEST(DriverInf, AnAdapterInstalledFromItBehavesAsOneWithAnEmptyKey) {
    const BringUp installed = BringUpWith(true);
    const BringUp empty = BringUpWith(false);
    EXPECT_EQ(installed.keywords_read, empty.keywords_read);
    EXPECT_EQ(installed.device_ops, empty.device_ops);
    EXPECT_EQ(installed.answers, empty.answers);
    EXPECT_FALSE(installed.device_ops.empty());
}

}  // namespace
}  // namespace qvtest
