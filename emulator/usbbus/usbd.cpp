// The USBD configuration routines of platform/usb.h. Parsing never reads past wTotalLength,
// past a descriptor shorter than 2 bytes, or past the end of the pool block the set lies in
// (a client that read only part of a longer set gets only that part parsed).
#include <algorithm>
#include <cstring>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "emulator/verifier/verifier.h"
#include "platform/kernel.h"
#include "platform/usb.h"

namespace {

// What a select-configuration request offers each pipe until the client says otherwise.
constexpr ULONG kDefaultMaximumTransferSize = 4096;
constexpr ULONG kRequestTag = 'U' | ('S' << 8) | ('B' << 16) | ('D' << 24);

// One past the last byte of the set that may be read.
const uint8_t* SetEnd(const USB_CONFIGURATION_DESCRIPTOR* config) {
    const auto* first = reinterpret_cast<const uint8_t*>(config);
    const uint8_t* end = first + config->wTotalLength;
    const emu::Pool& pool = emu::Machine::Current().Memory();
    if (const emu::Pool::Block* block = pool.Containing(config))
        end = std::min(end, pool.BlockStart(config) + block->size);
    return end;
}

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; }

}  // namespace

USB_INTERFACE_DESCRIPTOR* USBD_ParseConfigurationDescriptorEx(
    USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    emu::Machine::Current().Cpu().CheckIrql("USBD_ParseConfigurationDescriptorEx", DISPATCH_LEVEL,
                                            PASSIVE_LEVEL, EMU_CALLER());
    if (ConfigurationDescriptor == nullptr) return nullptr;
    const auto* first = reinterpret_cast<const uint8_t*>(ConfigurationDescriptor);
    const uint8_t* end = SetEnd(ConfigurationDescriptor);
    auto* at = static_cast<uint8_t*>(StartPosition);
    if (at < first) return nullptr;
    while (at + 2 <= end) {
        const UCHAR length = at[0];
        if (length < 2 || at + length > end) return nullptr;
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
    emu::Machine& machine = emu::Machine::Current();
    machine.Cpu().CheckIrql("USBD_CreateConfigurationRequestEx", DISPATCH_LEVEL, PASSIVE_LEVEL,
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
    void* memory = machine.Memory().Allocate(size, kRequestTag, "USBD_CreateConfigurationRequestEx",
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
