// Release calls for resources this kind of miniport could hold (shared memory, I/O ports, an
// interrupt, map registers). NDIS logs each call so that a test can see which one a release
// walk made and with what.
#include "emulator/kernel/kernel.h"
#include "emulator/kernel/processor.h"
#include "emulator/ndis/ndis.h"
#include "emulator/verifier/verifier.h"
#include "emulator/kernel/platform_lock.h"
#include "platform/ndis.h"

using emu::Kernel;
using emu::ndis::ReleaseCall;

namespace {

uintptr_t Word(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

// The adapter handle must be live; the call is logged either way so a test sees it.
void Log(const char* call, NDIS_HANDLE adapter, std::vector<uintptr_t> args, uintptr_t site) {
    Kernel& kernel = Kernel::Current();
    kernel.Cpu().CheckIrql(call, PASSIVE_LEVEL, PASSIVE_LEVEL, site);
    if (adapter != nullptr) emu::ndis::Ndis::Current().Use(adapter, call, site);
    emu::ndis::Ndis::Current().RecordRelease(ReleaseCall{call, std::move(args)});
}

}  // namespace

void NdisMFreeSharedMemory(NDIS_HANDLE MiniportAdapterHandle, ULONG Length, BOOLEAN Cached,
                           PVOID VirtualAddress, PHYSICAL_ADDRESS PhysicalAddress) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Log("NdisMFreeSharedMemory", MiniportAdapterHandle,
        {Word(MiniportAdapterHandle), Length, Cached, Word(VirtualAddress),
         static_cast<uintptr_t>(PhysicalAddress.QuadPart)},
        site);
}

void NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                UINT NumberOfPorts, PVOID PortOffset) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Log("NdisMDeregisterIoPortRange", MiniportAdapterHandle,
        {Word(MiniportAdapterHandle), InitialPort, NumberOfPorts, Word(PortOffset)}, site);
}

void NdisMDeregisterInterrupt(NDIS_MINIPORT_INTERRUPT* Interrupt) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Log("NdisMDeregisterInterrupt", nullptr, {Word(Interrupt)}, site);
}

void NdisMFreeMapRegisters(NDIS_HANDLE MiniportAdapterHandle) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Log("NdisMFreeMapRegisters", MiniportAdapterHandle, {Word(MiniportAdapterHandle)}, site);
}
