// Configuration keywords. A keyword that is missing or is not a number leaves the field at
// its default, silently: the adapter comes up with what it has.
#include "controller/configuration.h"

#include "core/adapter.h"
#include "core/result.h"
#include "platform/ndis.h"

BOOLEAN PlatformPresent = FALSE;

namespace {

constexpr ULONG MaxMediaType = 4;  // 100 Mb/s full duplex; above it names no medium
constexpr ULONG MediaTypeAutomatic = 0;

struct IntegerKeyword {
    NDIS_STRING Keyword;
    ULONG Adapter::*Field;
};

// In the order they are read; ends at the entry with an empty keyword.
const IntegerKeyword IntegerKeywords[] = {
    {NDIS_STRING_CONST("TxPacketDesc"), &Adapter::TxDescCount},
    {NDIS_STRING_CONST("RxPacketDesc"), &Adapter::RxDescCount},
    {NDIS_STRING_CONST("MediaType"), &Adapter::MediaType},
    {NDIS_STRING_CONST("MediaSel"), &Adapter::MediaSel},
    {NDIS_STRING_CONST("MagicPkt"), &Adapter::MagicPkt},
    {NDIS_STRING_CONST("LinkWakeup"), &Adapter::LinkWakeup},
    {NDIS_STRING_CONST("FlowControl"), &Adapter::FlowControl},
    {NDIS_STRING_CONST("FlowControl_Tx"), &Adapter::FlowControlTx},
    {NDIS_STRING_CONST("FlowControl_Rx"), &Adapter::FlowControlRx},
    {{0, 0, nullptr}, nullptr},
};

// PASSIVE_LEVEL. The keyword's value when it reads as an integer; FALSE otherwise, with
// *Value untouched.
BOOLEAN ReadIntegerKeyword(NDIS_HANDLE Configuration, const NDIS_STRING& Keyword,
                           ULONG* Value) {
    NDIS_STRING keyword = Keyword;  // the platform takes it writable; it never writes it
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_CONFIGURATION_PARAMETER* parameter = nullptr;
    NdisReadConfiguration(&status, &parameter, Configuration, &keyword, NdisParameterInteger);
    if (status != NDIS_STATUS_SUCCESS || parameter == nullptr) return FALSE;
    if (parameter->ParameterType != NdisParameterInteger &&
        parameter->ParameterType != NdisParameterHexInteger) {
        return FALSE;
    }
    *Value = parameter->ParameterData.IntegerData;
    return TRUE;
}

// PASSIVE_LEVEL. Replaces CurrentAddress with the configured network address when there is
// one of 6 bytes. A group address is taken as it stands: the administrator asked for it.
void ReadNetworkAddressOverride(Adapter* Adapter, NDIS_HANDLE Configuration) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    PVOID address = nullptr;
    UINT length = 0;
    NdisReadNetworkAddress(&status, &address, &length, Configuration);
    if (status != NDIS_STATUS_SUCCESS || length != sizeof(Adapter->CurrentAddress) ||
        address == nullptr) {
        return;
    }
    const UCHAR* bytes = static_cast<const UCHAR*>(address);
    for (ULONG i = 0; i < sizeof(Adapter->CurrentAddress); ++i) {
        Adapter->CurrentAddress[i] = bytes[i];
    }
}

}  // namespace

// PASSIVE_LEVEL. ResultSuccess, or ResultFailure when the configuration cannot be opened.
ULONG ReadConfiguration(Adapter* Adapter) {
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    NDIS_HANDLE configuration = nullptr;
    NdisOpenConfiguration(&status, &configuration, Adapter->WrapperConfigurationContext);
    if (status != NDIS_STATUS_SUCCESS) return ResultFailure;

    // Only whether "Platform" can be read matters; its value is never used.
    NDIS_STRING platform = NDIS_STRING_CONST("Platform");
    ULONG ignored = 0;
    if (ReadIntegerKeyword(configuration, platform, &ignored)) PlatformPresent = TRUE;

    for (const IntegerKeyword* entry = IntegerKeywords; entry->Field != nullptr; ++entry) {
        ULONG value = 0;
        if (ReadIntegerKeyword(configuration, entry->Keyword, &value)) {
            Adapter->*(entry->Field) = value;
        }
    }

    ReadNetworkAddressOverride(Adapter, configuration);
    NdisCloseConfiguration(configuration);

    // A value naming no medium: let the PHY negotiate.
    if (Adapter->MediaType > MaxMediaType) Adapter->MediaType = MediaTypeAutomatic;
    // With fewer transmit descriptors every send would be refused and NDIS never told to
    // resume; with fewer receive descriptors the receive path stalls.
    if (Adapter->TxDescCount < MinTxDescCount) Adapter->TxDescCount = MinTxDescCount;
    if (Adapter->RxDescCount < MinRxDescCount) Adapter->RxDescCount = MinRxDescCount;
    return ResultSuccess;
}

// Any IRQL. Register byte for a flow-control setting; defined for every 32-bit value.
UCHAR FlowControlRegisterValue(ULONG Configured) {
    if (Configured == 0) return 0x00;
    const ULONG bit = 1u << (Configured % 32u);
    return static_cast<UCHAR>((bit & 0xFFu) | 0x01u);
}
