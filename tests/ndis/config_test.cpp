// Configuration reads through NDIS, from the store a test fills before the start.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/ndis/fake_miniport.h"

namespace {

using Configuration = qvtest::NdisFixture;

struct Read {
    NDIS_STATUS status;
    NDIS_CONFIGURATION_PARAMETER* parameter;
};

Read ReadKeyword(NDIS_HANDLE configuration, const std::u16string& text,
                 NDIS_PARAMETER_TYPE type = NdisParameterInteger) {
    NDIS_STRING keyword;
    NdisInitUnicodeString(&keyword, text.c_str());
    Read read{};
    NdisReadConfiguration(&read.status, &read.parameter, configuration, &keyword, type);
    return read;
}

TEST_F(Configuration, KeywordsMatchWithoutCaseAndStayValidUntilClose) {
    N().Configuration().SetInteger("TxPacketDesc", 7);
    N().Configuration().SetInteger("Platform", 0);
    N().Configuration().SetText("MediaType", u"3");
    N().Configuration().SetText("FlowControl", u"on");
    N().Configuration().SetNetworkAddress({0x02, 0x11, 0x22, 0x33, 0x44, 0x55});
    N().Configuration(bus.pdo).SetInteger("RxPacketDesc", 9);  // this device only
    N().Configuration(bus.pdo).SetNetworkAddress({0x02, 0, 0, 0, 0, 1});

    fake.on_initialize = [this](NDIS_HANDLE) {
        NDIS_STATUS status;
        NDIS_HANDLE configuration = nullptr;
        NdisOpenConfiguration(&status, &configuration, Adapter().ConfigurationContext());
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);

        Read tx = ReadKeyword(configuration, u"txpacketdesc");
        ASSERT_EQ(tx.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(tx.parameter->ParameterType, NdisParameterInteger);
        Read rx = ReadKeyword(configuration, u"RXPACKETDESC");
        EXPECT_EQ(rx.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(rx.parameter->ParameterData.IntegerData, 9u);
        Read platform = ReadKeyword(configuration, u"Platform");
        EXPECT_EQ(platform.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(platform.parameter->ParameterData.IntegerData, 0u);
        Read media = ReadKeyword(configuration, u"MediaType");
        EXPECT_EQ(media.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(media.parameter->ParameterData.IntegerData, 3u);
        EXPECT_EQ(ReadKeyword(configuration, u"FlowControl").status, NDIS_STATUS_FAILURE)
            << "text that is not a number cannot be read as an integer";
        EXPECT_EQ(ReadKeyword(configuration, u"LinkWakeup").status, NDIS_STATUS_FAILURE);

        PVOID address = nullptr;
        UINT length = 0;
        NdisReadNetworkAddress(&status, &address, &length, configuration);
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        ASSERT_EQ(length, 6u);
        EXPECT_EQ(static_cast<UCHAR*>(address)[5], 1);

        EXPECT_EQ(tx.parameter->ParameterData.IntegerData, 7u) << "still valid before close";
        NdisCloseConfiguration(configuration);
    };
    StartAdapter();
    EXPECT_EQ(Adapter().ConfigurationReads(),
              (std::vector<std::string>{"txpacketdesc", "RXPACKETDESC", "Platform", "MediaType",
                                        "FlowControl", "LinkWakeup", "NetworkAddress"}));
}

TEST_F(Configuration, OpenCanBeFailedAndNoAddressMeansFailure) {
    fake.on_initialize = [this](NDIS_HANDLE) {
        NDIS_STATUS status;
        NDIS_HANDLE configuration = nullptr;
        NdisOpenConfiguration(&status, &configuration, Adapter().ConfigurationContext());
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        PVOID address = &status;
        UINT length = 99;
        NdisReadNetworkAddress(&status, &address, &length, configuration);
        EXPECT_EQ(status, NDIS_STATUS_FAILURE);
        EXPECT_EQ(length, 0u);
        NdisCloseConfiguration(configuration);

        N().FailOpenConfiguration(true);
        NdisOpenConfiguration(&status, &configuration, Adapter().ConfigurationContext());
        EXPECT_NE(status, NDIS_STATUS_SUCCESS);
    };
    StartAdapter();
}

TEST_F(Configuration, AHandleLeftOpenByInitializeIsALeak) {
    Expect(emu::Rule::PoolLeak);
    fake.on_initialize = [this](NDIS_HANDLE) {
        NDIS_STATUS status;
        NDIS_HANDLE configuration = nullptr;
        NdisOpenConfiguration(&status, &configuration, Adapter().ConfigurationContext());
    };
    StartAdapter();
    EXPECT_EQ(Check().Of(emu::Rule::PoolLeak).size(), 1u);
}

std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }

// Opens the running adapter's configuration for the test's own reads; closes it at the end.
class OpenConfiguration : public qvtest::NdisFixture {
protected:
    void SetUp() override {
        StartAdapter();
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        NdisOpenConfiguration(&status, &configuration, Adapter().ConfigurationContext());
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    }
    void TearDown() override { NdisCloseConfiguration(configuration); }

    NDIS_HANDLE configuration = nullptr;
};

TEST_F(OpenConfiguration, IntegersFollowTheAskedBaseAndAFailureLeavesTheParameter) {
    emu::ndis::ConfigStore& store = N().Configuration(bus.pdo);
    store.SetInteger("Number", 7);
    store.SetText("Decimal", u"12");
    store.SetText("Hex", u"1F");
    store.SetText("Word", u"on");
    struct Case {
        const char16_t* keyword;
        NDIS_PARAMETER_TYPE asked;
        NDIS_STATUS status;
        NDIS_PARAMETER_TYPE type;  // when read
        ULONG value;
    };
    const Case cases[] = {
        {u"Number", NdisParameterInteger, NDIS_STATUS_SUCCESS, NdisParameterInteger, 7},
        {u"Number", NdisParameterHexInteger, NDIS_STATUS_SUCCESS, NdisParameterInteger, 7},
        {u"Number", NdisParameterString, NDIS_STATUS_SUCCESS, NdisParameterInteger, 7},
        {u"Decimal", NdisParameterInteger, NDIS_STATUS_SUCCESS, NdisParameterInteger, 12},
        {u"Decimal", NdisParameterHexInteger, NDIS_STATUS_SUCCESS, NdisParameterHexInteger, 18},
        {u"Hex", NdisParameterHexInteger, NDIS_STATUS_SUCCESS, NdisParameterHexInteger, 31},
        {u"Hex", NdisParameterInteger, NDIS_STATUS_FAILURE, {}, 0},
        {u"Word", NdisParameterHexInteger, NDIS_STATUS_FAILURE, {}, 0},
        {u"Missing", NdisParameterInteger, NDIS_STATUS_FAILURE, {}, 0},
    };
    NDIS_CONFIGURATION_PARAMETER untouched{};
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.keyword));
        NDIS_STRING keyword;
        NdisInitUnicodeString(&keyword, c.keyword);
        NDIS_STATUS status = NDIS_STATUS_PENDING;
        NDIS_CONFIGURATION_PARAMETER* parameter = &untouched;
        NdisReadConfiguration(&status, &parameter, configuration, &keyword, c.asked);
        EXPECT_EQ(status, c.status);
        if (c.status != NDIS_STATUS_SUCCESS) {
            EXPECT_EQ(parameter, &untouched);
            continue;
        }
        ASSERT_NE(parameter, &untouched);
        EXPECT_EQ(parameter->ParameterType, c.type);
        EXPECT_EQ(parameter->ParameterData.IntegerData, c.value);
    }

    // Text comes back as the counted string, in bytes.
    NDIS_STRING hex = NDIS_STRING_CONST("Hex");
    EXPECT_EQ(hex.Length, 6u);
    EXPECT_EQ(hex.MaximumLength, 8u);
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_CONFIGURATION_PARAMETER* parameter = nullptr;
    NdisReadConfiguration(&status, &parameter, configuration, &hex, NdisParameterString);
    ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(parameter->ParameterType, NdisParameterString);
    const NDIS_STRING& text = parameter->ParameterData.StringData;
    EXPECT_EQ(std::u16string(text.Buffer, text.Length / sizeof(WCHAR)), u"1F");
}

TEST_F(OpenConfiguration, NetworkAddressIsTwelveHexDigitsUnderItsKeyword) {
    struct Case {
        const char16_t* text;
        std::vector<UCHAR> address;  // empty: the read fails
    };
    const Case cases[] = {
        {u"02AbCd0000F1", {0x02, 0xAB, 0xCD, 0x00, 0x00, 0xF1}},
        {u"02AbCd0000F", {}},
        {u"02AbCd0000F10", {}},
        {u"02-AB-CD-00-00-F1", {}},
        {u"02AbCd0000G1", {}},
        {u"", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.text));
        N().Configuration(bus.pdo).SetText("NetworkAddress", c.text);
        NDIS_STATUS status = NDIS_STATUS_PENDING;
        PVOID address = nullptr;
        UINT length = 0;
        NdisReadNetworkAddress(&status, &address, &length, configuration);
        if (c.address.empty()) {
            EXPECT_EQ(status, NDIS_STATUS_FAILURE);
            continue;
        }
        ASSERT_EQ(status, NDIS_STATUS_SUCCESS);
        auto* bytes = static_cast<UCHAR*>(address);
        EXPECT_EQ(std::vector<UCHAR>(bytes, bytes + length), c.address);
    }
    // A number under the keyword is not an address.
    N().Configuration(bus.pdo).SetInteger("NetworkAddress", 0x1234);
    NDIS_STATUS status = NDIS_STATUS_PENDING;
    PVOID address = nullptr;
    UINT length = 0;
    NdisReadNetworkAddress(&status, &address, &length, configuration);
    EXPECT_EQ(status, NDIS_STATUS_FAILURE);
}

}  // namespace
