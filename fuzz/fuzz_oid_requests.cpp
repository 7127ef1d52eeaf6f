// OID queries and sets as NDIS hands them to a running adapter: any OID (the ones the driver
// knows and raw values), any buffer length, any bytes, and wake-up patterns whose MaskSize
// and PatternOffset point anywhere, on one adapter kept running.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "emulator/ndis/miniport.h"
#include "emulator/ndis/requests.h"
#include "fuzz/fuzz_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using emu::ndis::Requests;

constexpr NDIS_OID kOids[] = {
    OID_GEN_SUPPORTED_LIST,         OID_GEN_HARDWARE_STATUS,       OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,           OID_GEN_MAXIMUM_LOOKAHEAD,     OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_LINK_SPEED,             OID_GEN_TRANSMIT_BUFFER_SPACE, OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,    OID_GEN_RECEIVE_BLOCK_SIZE,    OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,     OID_GEN_CURRENT_PACKET_FILTER, OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_DRIVER_VERSION,         OID_GEN_MAXIMUM_TOTAL_SIZE,    OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_MAC_OPTIONS,            OID_GEN_MEDIA_CONNECT_STATUS,  OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_GEN_VENDOR_DRIVER_VERSION,  OID_GEN_SUPPORTED_GUIDS,       OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,                 OID_GEN_XMIT_ERROR,            OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,          OID_GEN_RCV_CRC_ERROR,         OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS,      OID_802_3_MULTICAST_LIST,      OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_RCV_ERROR_ALIGNMENT,  OID_802_3_XMIT_ONE_COLLISION,  OID_802_3_XMIT_MORE_COLLISIONS,
    OID_802_3_XMIT_DEFERRED,        OID_802_3_XMIT_MAX_COLLISIONS, OID_802_3_RCV_OVERRUN,
    OID_802_3_XMIT_UNDERRUN,        OID_TCP_TASK_OFFLOAD,          OID_PNP_CAPABILITIES,
    OID_PNP_SET_POWER,              OID_PNP_QUERY_POWER,           OID_PNP_ADD_WAKE_UP_PATTERN,
    OID_PNP_REMOVE_WAKE_UP_PATTERN, OID_PNP_WAKE_UP_PATTERN_LIST,  OID_PNP_ENABLE_WAKE_UP,
};

constexpr size_t kMaxBuffer = 600;  // past the driver's largest answer and pattern buffer
constexpr int kMaxRequests = 8;

NDIS_OID PickOid(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) return in.ConsumeIntegral<uint32_t>();
    return in.PickValueInArray(kOids);
}

// An NDIS_PM_PACKET_PATTERN whose header fields are the fuzzer's, then mask and pattern
// bytes; the whole may be cut short anywhere.
Bytes WakePattern(FuzzedDataProvider& in) {
    NDIS_PM_PACKET_PATTERN header{};
    header.Priority = in.ConsumeIntegral<uint32_t>();
    header.MaskSize = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 20)
                                       : in.ConsumeIntegral<uint32_t>();
    header.PatternOffset = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 200)
                                            : in.ConsumeIntegral<uint32_t>();
    header.PatternSize = in.ConsumeIntegral<uint32_t>();
    header.PatternFlags = in.ConsumeIntegral<uint32_t>();
    Bytes request(sizeof header);
    std::memcpy(request.data(), &header, sizeof header);
    const Bytes rest = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, kMaxBuffer));
    request.insert(request.end(), rest.begin(), rest.end());
    request.resize(in.ConsumeIntegralInRange<size_t>(0, request.size()));
    return request;
}

void CheckEnded(const Requests::Record& record) {
    if (!record.completed) qvfuzz::Fail("a request never ended");
    if (record.status == NDIS_STATUS_PENDING) qvfuzz::Fail("a request ended as pending");
}

void OneRequest(Requests& requests, FuzzedDataProvider& in) {
    const int kind = in.ConsumeIntegralInRange<int>(0, 2);
    if (kind == 0) {
        const NDIS_OID oid = PickOid(in);
        CheckEnded(requests.Query(oid, in.ConsumeIntegralInRange<ULONG>(0, kMaxBuffer)));
        return;
    }
    if (kind == 1) {
        const NDIS_OID oid = in.ConsumeBool() ? OID_PNP_ADD_WAKE_UP_PATTERN
                                              : OID_PNP_REMOVE_WAKE_UP_PATTERN;
        CheckEnded(requests.Set(oid, WakePattern(in)));
        return;
    }
    const NDIS_OID oid = PickOid(in);
    const Bytes bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, kMaxBuffer));
    CheckEnded(requests.Set(oid, bytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvtest::RunningAdapter& nic = qvfuzz::SharedAdapter();
    Requests& requests = nic.Block().Request();
    FuzzedDataProvider in(data, size);
    for (int n = 0; n < kMaxRequests && in.remaining_bytes() > 0; ++n) OneRequest(requests, in);
    nic.RunUntilIdle();
    qvfuzz::CheckStillListening(nic);
    return 0;
}
