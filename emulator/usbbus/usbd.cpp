// The USBD configuration routines of platform/usb.h. Parsing walks the set to wTotalLength and
// stops at a descriptor shorter than 2 bytes. The real routine trusts wTotalLength and reads on
// past whatever holds the set; here the walk stops at the end of the pool block the set lies in
// and reports USBD_PARSE, so a client that read only part of a longer set and left
// wTotalLength as the device gave it is caught rather than handed whatever lies beyond.
#include <algorithm>
#include <cstring>
#include <string>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "emulator/verifier/verifier.h"
#include "emulator/kernel/platform_lock.h"
#include "platform/kernel.h"
#include "platform/usb.h"

namespace {

// What a select-configuration request offers each pipe until the client says otherwise.
constexpr ULONG kDefaultMaximumTransferSize = 4096;
constexpr ULONG kRequestTag = 'U' | ('S' << 8) | ('B' << 16) | ('D' << 24);

// Where the walk over a set may go: `total` is one past the set as wTotalLength gives it, and
// `readable` one past the memory that holds it (the same when that memory is not pool).
struct SetBounds {
    const uint8_t* total;
    const uint8_t* readable;
};

SetBounds BoundsOf(const USB_CONFIGURATION_DESCRIPTOR* config) {
    const auto* first = reinterpret_cast<const uint8_t*>(config);
    const uint8_t* total = first + config->wTotalLength;
    const uint8_t* readable = total;
    const emu::Pool& pool = emu::Kernel::Current().Memory();
    if (const emu::Pool::Block* block = pool.Containing(config))
        readable = std::min(total, pool.BlockStart(config) + block->size);
    return {total, readable};
}

// The walk to wTotalLength reached a descriptor that runs past the memory holding the set.
void ReportReadPastTheSet(const USB_CONFIGURATION_DESCRIPTOR* config, const uint8_t* at,
                          const SetBounds& bounds, uintptr_t site) {
    const auto* first = reinterpret_cast<const uint8_t*>(config);
    emu::Kernel::Current().Check().Report(
        emu::Rule::UsbdParse, "USBD_ParseConfigurationDescriptorEx",
        "wTotalLength " + std::to_string(config->wTotalLength) + " takes the walk to offset " +
            std::to_string(at - first) + ", past the end of the " +
            std::to_string(bounds.readable - first) + "-byte block that holds the set",
        site);
}

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; }

}  // namespace

USB_INTERFACE_DESCRIPTOR* USBD_ParseConfigurationDescriptorEx(
    USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    EMU_PLATFORM_ENTRY();
    emu::Kernel::Current().Cpu().CheckIrql("USBD_ParseConfigurationDescriptorEx", DISPATCH_LEVEL,
                                            PASSIVE_LEVEL, EMU_CALLER());
    if (ConfigurationDescriptor == nullptr) return nullptr;
    const auto* first = reinterpret_cast<const uint8_t*>(ConfigurationDescriptor);
    const SetBounds bounds = BoundsOf(ConfigurationDescriptor);
    auto* at = static_cast<uint8_t*>(StartPosition);
    if (at < first) return nullptr;
    while (at + 2 <= bounds.total) {
        if (at + 2 > bounds.readable) {
            ReportReadPastTheSet(ConfigurationDescriptor, at, bounds, EMU_CALLER());
            return nullptr;
        }
        const UCHAR length = at[0];
        if (length < 2 || at + length > bounds.total) return nullptr;
        if (at + length > bounds.readable) {
            ReportReadPastTheSet(ConfigurationDescriptor, at, bounds, EMU_CALLER());
            return nullptr;
        }
        if (at[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* candidate = reinterpret_cast<USB_INTERFACE_DESCRIPTOR*>(at);
            if (Matches(InterfaceNumber, candidate->bInterfaceNumber) &&
                Matches(AlternateSetting, candidate->bAlternateSetting) &&
                Matches(InterfaceClass, candidate->bInterfaceClass) &&
                Matches(InterfaceSubClass, candidate->bInterfaceSubClass) &&
                Matches(InterfaceProtocol, candidate->bInterfaceProtocol))
                return candidate;
        }
        at += length;
    }
    return nullptr;
}

URB* USBD_CreateConfigurationRequestEx(USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor,
                                       USBD_INTERFACE_LIST_ENTRY* InterfaceList) {
    EMU_PLATFORM_ENTRY();
    emu::Kernel& kernel = emu::Kernel::Current();
    kernel.Cpu().CheckIrql("USBD_CreateConfigurationRequestEx", DISPATCH_LEVEL, PASSIVE_LEVEL,
                            EMU_CALLER());
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
    size_t interfaces = 0;
    size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    for (USBD_INTERFACE_LIST_ENTRY* entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
    }
    if (interfaces == 0) return nullptr;
    if (interfaces == 1)
        size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, InterfaceList->InterfaceDescriptor->bNumEndpoints);

    // Charged to the client's call site, so allocation faults can pick this request out.
    void* memory = kernel.Memory().Allocate(size, kRequestTag, "USBD_CreateConfigurationRequestEx",
                                             EMU_CALLER());
    if (memory == nullptr) return nullptr;
    std::memset(memory, 0, size);
    auto* urb = static_cast<URB*>(memory);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (USBD_INTERFACE_LIST_ENTRY* entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        const USB_INTERFACE_DESCRIPTOR* descriptor = entry->InterfaceDescriptor;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
            info->Pipes[p].MaximumTransferSize = kDefaultMaximumTransferSize;
            info->Pipes[p].PipeFlags = 0;
        }
        entry->Interface = info;
        info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(reinterpret_cast<uint8_t*>(info) +
                                                             info->Length);
    }
    return urb;
}
