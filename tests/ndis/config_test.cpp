// Configuration reads through NDIS, from the store a test fills before the start.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
