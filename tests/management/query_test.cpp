// Queries as NDIS makes them of a running adapter: every OID of the supported list and the
// refused ones, each with a buffer of the answer's size, one byte short and eight bytes long,
// and the counters as traffic and a reset move them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "emulator/device/controller.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/requests.h"
#include "tests/support/running_adapter_fixture.h"

namespace qvtest {
namespace {

using Bytes = std::vector<uint8_t>;
using emu::ndis::Requests;

Bytes Le32(ULONG value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

Bytes Le16(USHORT value) { return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)}; }

const Bytes kAddress = {0x02, 0x51, 0x56, 0x00, 0x00, 0x01};  // the EEPROM's

const std::vector<NDIS_OID> kSupported = {
    OID_GEN_SUPPORTED_LIST,         OID_GEN_HARDWARE_STATUS,        OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,           OID_GEN_MAXIMUM_LOOKAHEAD,      OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_MAXIMUM_TOTAL_SIZE,     OID_GEN_MAC_OPTIONS,            OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_LINK_SPEED,             OID_GEN_TRANSMIT_BUFFER_SPACE,  OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,    OID_GEN_RECEIVE_BLOCK_SIZE,     OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,     OID_GEN_DRIVER_VERSION,         OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,      OID_GEN_XMIT_OK,                OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,             OID_GEN_RCV_ERROR,              OID_GEN_RCV_NO_BUFFER,
    OID_GEN_RCV_CRC_ERROR,          OID_GEN_MEDIA_CONNECT_STATUS,   OID_GEN_VENDOR_DRIVER_VERSION,
    OID_GEN_MAXIMUM_SEND_PACKETS,   OID_802_3_PERMANENT_ADDRESS,    OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,       OID_802_3_MAXIMUM_LIST_SIZE,    OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,   OID_802_3_XMIT_MORE_COLLISIONS, OID_802_3_XMIT_DEFERRED,
    OID_802_3_XMIT_MAX_COLLISIONS,  OID_802_3_RCV_OVERRUN,          OID_802_3_XMIT_UNDERRUN,
    OID_PNP_SET_POWER,              OID_PNP_QUERY_POWER,            OID_PNP_ADD_WAKE_UP_PATTERN,
    OID_PNP_REMOVE_WAKE_UP_PATTERN, OID_PNP_ENABLE_WAKE_UP,
};

Bytes SupportedListBytes() {
    Bytes bytes;
    for (NDIS_OID oid : kSupported) {
        const Bytes le = Le32(oid);
        bytes.insert(bytes.end(), le.begin(), le.end());
    }
    return bytes;
}

Bytes Text(const char* text) { return Bytes(text, text + std::strlen(text) + 1); }

struct QueryCase {
    const char* name;
    NDIS_OID oid;
    NDIS_STATUS status;
    Bytes answer;  // empty for a refused OID
};

void PrintTo(const QueryCase& c, std::ostream* out) { *out << c.name; }

// What a freshly started adapter answers, with the default partner (100 Mb/s full duplex),
// 20 descriptors each way and no traffic yet.
std::vector<QueryCase> FreshAnswers() {
    const NDIS_STATUS ok = NDIS_STATUS_SUCCESS;
    const NDIS_STATUS invalid = NDIS_STATUS_INVALID_OID;
    const NDIS_STATUS unsupported = NDIS_STATUS_NOT_SUPPORTED;
    return {
        {"SupportedList", OID_GEN_SUPPORTED_LIST, ok, SupportedListBytes()},
        {"HardwareStatus", OID_GEN_HARDWARE_STATUS, ok, Le32(0)},
        {"MediaSupported", OID_GEN_MEDIA_SUPPORTED, ok, Le32(0)},
        {"MediaInUse", OID_GEN_MEDIA_IN_USE, ok, Le32(0)},
        {"MaximumLookahead", OID_GEN_MAXIMUM_LOOKAHEAD, ok, Le32(1500)},
        {"MaximumFrameSize", OID_GEN_MAXIMUM_FRAME_SIZE, ok, Le32(1500)},
        {"MaximumTotalSize", OID_GEN_MAXIMUM_TOTAL_SIZE, ok, Le32(1514)},
        {"MacOptions", OID_GEN_MAC_OPTIONS, ok, Le32(0x1F)},
        {"ProtocolOptions", OID_GEN_PROTOCOL_OPTIONS, ok, Le32(0)},
        {"LinkSpeed", OID_GEN_LINK_SPEED, ok, Le32(1'000'000)},
        {"TransmitBufferSpace", OID_GEN_TRANSMIT_BUFFER_SPACE, ok, Le32(20 * 1514)},
        {"ReceiveBufferSpace", OID_GEN_RECEIVE_BUFFER_SPACE, ok, Le32(20 * 1514)},
        {"TransmitBlockSize", OID_GEN_TRANSMIT_BLOCK_SIZE, ok, Le32(1514)},
        {"ReceiveBlockSize", OID_GEN_RECEIVE_BLOCK_SIZE, ok, Le32(1514)},
        {"VendorId", OID_GEN_VENDOR_ID, ok, Bytes(kAddress.begin(), kAddress.begin() + 4)},
        {"VendorDescription", OID_GEN_VENDOR_DESCRIPTION, ok,
         Text("QuorvelinNDIS 5.0 Miniport Driver")},
        {"DriverVersion", OID_GEN_DRIVER_VERSION, ok, Le16(0x0500)},
        {"CurrentPacketFilter", OID_GEN_CURRENT_PACKET_FILTER, ok, Le32(0x0B)},  // as bound
        {"CurrentLookahead", OID_GEN_CURRENT_LOOKAHEAD, ok, Le32(1500)},
        {"XmitOk", OID_GEN_XMIT_OK, ok, Le32(0)},
        {"RcvOk", OID_GEN_RCV_OK, ok, Le32(0)},
        {"XmitError", OID_GEN_XMIT_ERROR, ok, Le32(0)},
        {"RcvError", OID_GEN_RCV_ERROR, ok, Le32(0)},
        {"RcvNoBuffer", OID_GEN_RCV_NO_BUFFER, ok, Le32(0)},
        {"RcvCrcError", OID_GEN_RCV_CRC_ERROR, ok, Le32(0)},
        {"MediaConnectStatus", OID_GEN_MEDIA_CONNECT_STATUS, ok, Le32(0)},
        {"VendorDriverVersion", OID_GEN_VENDOR_DRIVER_VERSION, ok, Le16(0x010D)},
        {"MaximumSendPackets", OID_GEN_MAXIMUM_SEND_PACKETS, ok, Le32(20)},
        {"PermanentAddress", OID_802_3_PERMANENT_ADDRESS, ok, kAddress},
        {"CurrentAddress", OID_802_3_CURRENT_ADDRESS, ok, kAddress},
        {"MulticastList", OID_802_3_MULTICAST_LIST, invalid, {}},
        {"MaximumListSize", OID_802_3_MAXIMUM_LIST_SIZE, ok, Le32(32)},
        {"RcvErrorAlignment", OID_802_3_RCV_ERROR_ALIGNMENT, ok, Le32(0)},
        {"XmitOneCollision", OID_802_3_XMIT_ONE_COLLISION, ok, Le32(0)},
        {"XmitMoreCollisions", OID_802_3_XMIT_MORE_COLLISIONS, ok, Le32(0)},
        {"XmitDeferred", OID_802_3_XMIT_DEFERRED, ok, Le32(0)},
        {"XmitMaxCollisions", OID_802_3_XMIT_MAX_COLLISIONS, ok, Le32(0)},
        {"RcvOverrun", OID_802_3_RCV_OVERRUN, ok, Le32(0)},
        {"XmitUnderrun", OID_802_3_XMIT_UNDERRUN, ok, Le32(0)},
        {"PnpSetPower", OID_PNP_SET_POWER, invalid, {}},
        {"PnpQueryPower", OID_PNP_QUERY_POWER, ok, Le32(1)},
        {"PnpAddWakeUpPattern", OID_PNP_ADD_WAKE_UP_PATTERN, invalid, {}},
        {"PnpRemoveWakeUpPattern", OID_PNP_REMOVE_WAKE_UP_PATTERN, invalid, {}},
        {"PnpEnableWakeUp", OID_PNP_ENABLE_WAKE_UP, invalid, {}},
        {"SupportedGuids", OID_GEN_SUPPORTED_GUIDS, unsupported, {}},
        {"TcpTaskOffload", OID_TCP_TASK_OFFLOAD, unsupported, {}},
        {"IpsecAddSa", OID_TCP_TASK_IPSEC_ADD_SA, unsupported, {}},
        {"IpsecDeleteSa", OID_TCP_TASK_IPSEC_DELETE_SA, unsupported, {}},
        {"PnpCapabilities", OID_PNP_CAPABILITIES, unsupported, {}},
        {"Unknown", 0x00010199, invalid, {}},
        {"WakeUpPatternList", OID_PNP_WAKE_UP_PATTERN_LIST, invalid, {}},
    };
}

class Query : public RunningAdapterFixture, public testing::WithParamInterface<QueryCase> {
protected:
    Requests::Record Ask(NDIS_OID oid, ULONG length) {
        return Nic().Block().Request().Query(oid, length);
    }
};

// Exactly the answer's size, one byte short and eight bytes long. A refused OID writes
// neither count whatever the buffer; a short buffer gets the shortfall and no byte; a long one
// gets the answer and keeps its other bytes.
TEST_P(Query, AnswersWithExactlyItsBytesAndReportsAShortfall) {
    const QueryCase& c = GetParam();
    AdapterOptions options;
    options.hang_check = false;
    Start(options);
    const ULONG size = static_cast<ULONG>(c.answer.size());

    const Requests::Record exact = Ask(c.oid, c.answer.empty() ? 16 : size);
    EXPECT_FALSE(exact.pended) << "every answer is complete when the handler returns";
    EXPECT_EQ(exact.status, c.status);
    if (c.answer.empty()) {
        EXPECT_EQ(exact.bytes_done, Requests::kNotWritten);
        EXPECT_EQ(exact.bytes_needed, Requests::kNotWritten);
        EXPECT_EQ(exact.buffer, Bytes(16, Requests::kQueryFill)) << "nothing written";
        return;
    }
    EXPECT_EQ(exact.bytes_done, size);
    EXPECT_EQ(exact.buffer, c.answer);

    const Requests::Record shortBuffer = Ask(c.oid, size - 1);
    EXPECT_EQ(shortBuffer.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(shortBuffer.bytes_needed, 1u);
    EXPECT_EQ(shortBuffer.bytes_done, Requests::kNotWritten);
    EXPECT_EQ(shortBuffer.buffer, Bytes(size - 1, Requests::kQueryFill));

    const Requests::Record longBuffer = Ask(c.oid, size + 8);
    EXPECT_EQ(longBuffer.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(longBuffer.bytes_done, size);
    Bytes expected = c.answer;
    expected.resize(size + 8, Requests::kQueryFill);
    EXPECT_EQ(longBuffer.buffer, expected);
}

INSTANTIATE_TEST_SUITE_P(Oids, Query, testing::ValuesIn(FreshAnswers()),
                         [](const auto& info) { return std::string(info.param.name); });

class QueryState : public RunningAdapterFixture {
protected:
    ULONG Value(NDIS_OID oid) {
        const Requests::Record r = Nic().Block().Request().Query(oid, 4);
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS) << std::hex << oid;
        ULONG value = 0;
        std::memcpy(&value, r.buffer.data(), 4);
        return value;
    }
};

TEST_F(QueryState, TheSupportedListNeedsAllOfItsBytes) {
    Start();
    for (const auto& [length, needed] : {std::pair<ULONG, ULONG>{100, 76}, {0, 176}}) {
        const Requests::Record r = Nic().Block().Request().Query(OID_GEN_SUPPORTED_LIST, length);
        EXPECT_EQ(r.status, NDIS_STATUS_INVALID_LENGTH);
        EXPECT_EQ(r.bytes_needed, needed);
    }
}

// The counters follow the traffic, the two receive-error OIDs agree, and a reset through NDIS
// takes every counter back to 0 while the addresses and the filter stay.
TEST_F(QueryState, CountersFollowTrafficAndAResetClearsThem) {
    Start();
    for (uint32_t i = 0; i < 3; ++i) Nic().Send(FrameOut(100 + i, i));
    for (uint32_t i = 0; i < 2; ++i) Nic().Inject(FrameIn(200 + i, i));
    Nic().Device().InjectReceiveStatus(0x08);  // a CRC error on the next frame
    Nic().Inject(FrameIn(300, 9));
    Nic().Run(100'000);
    EXPECT_EQ(Value(OID_GEN_XMIT_OK), 3u);
    EXPECT_EQ(Value(OID_GEN_RCV_OK), 2u);
    EXPECT_EQ(Value(OID_GEN_RCV_ERROR), 1u);
    EXPECT_EQ(Value(OID_GEN_RCV_CRC_ERROR), 1u);

    ASSERT_TRUE(Nic().Block().RequestReset());
    Nic().Run(10'000);
    for (NDIS_OID oid : {OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_RCV_ERROR, OID_GEN_RCV_CRC_ERROR,
                         OID_GEN_XMIT_ERROR, OID_802_3_RCV_ERROR_ALIGNMENT}) {
        EXPECT_EQ(Value(oid), 0u) << std::hex << oid;
    }
    const Requests::Record address = Nic().Block().Request().Query(OID_802_3_CURRENT_ADDRESS, 6);
    EXPECT_EQ(address.buffer, kAddress);
}

// The link as the monitor last saw it: a pulled cable shows as disconnected and, once the
// partner is back at 10 Mb/s, as connected at that speed.
TEST_F(QueryState, MediaStateAndSpeedFollowTheLink) {
    Start();
    EXPECT_EQ(Value(OID_GEN_MEDIA_CONNECT_STATUS), NdisMediaStateConnected);
    EXPECT_EQ(Value(OID_GEN_LINK_SPEED), 1'000'000u);

    Nic().Device().Partner(1).Detach();
    Nic().Run(2'100'000);
    EXPECT_EQ(Value(OID_GEN_MEDIA_CONNECT_STATUS), NdisMediaStateDisconnected);

    Nic().Device().Partner(1).Attach(0x0061);  // 10 Mb/s only
    Nic().Run(4'600'000);  // negotiation, the pass that connects, the pass that applies
    EXPECT_EQ(Value(OID_GEN_MEDIA_CONNECT_STATUS), NdisMediaStateConnected);
    EXPECT_EQ(Value(OID_GEN_LINK_SPEED), 100'000u);
}

// A configured address is the current one; the permanent one stays the EEPROM's, and the
// descriptor counts show in the buffer spaces and the send packets.
TEST_F(QueryState, ConfigurationShowsInTheAnswers) {
    AdapterOptions options;
    options.network_address = std::vector<uint8_t>{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    options.tx_descriptors = 7;
    options.rx_descriptors = 1;  // raised to 3
    Start(options);
    EXPECT_EQ(Nic().Block().Request().Query(OID_802_3_CURRENT_ADDRESS, 6).buffer,
              *options.network_address);
    EXPECT_EQ(Nic().Block().Request().Query(OID_802_3_PERMANENT_ADDRESS, 6).buffer, kAddress);
    EXPECT_EQ(Value(OID_GEN_TRANSMIT_BUFFER_SPACE), 7u * 1514);
    EXPECT_EQ(Value(OID_GEN_RECEIVE_BUFFER_SPACE), 3u * 1514);
    EXPECT_EQ(Value(OID_GEN_MAXIMUM_SEND_PACKETS), 7u);
}

}  // namespace
}  // namespace qvtest
