// The protocol edge's receive side: indicated packets read through NDIS's accessors and
// copied, the ones lent kept unchanged until they are returned.
#include "emulator/ndis/protocol.h"

#include <algorithm>
#include <cstring>

#include "emulator/kernel/kernel.h"
#include "emulator/kernel/platform_lock.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/processor.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/packets.h"
#include "emulator/ndis/protocol_names.h"
#include "emulator/verifier/verifier.h"

namespace emu::ndis {

namespace {

// A chain longer than this is taken to be a loop.
constexpr size_t kLongestChain = 4096;

}  // namespace

bool Protocol::IsLent(const NDIS_PACKET* packet) const {
    return std::any_of(lent_.begin(), lent_.end(),
                       [packet](const LentPacket& lent) { return lent.packet == packet; });
}

bool Protocol::ReadChain(NDIS_PACKET* packet, std::vector<Piece>* chain, UINT* buffers,
                         UINT* total) {
    NDIS_BUFFER* buffer = nullptr;
    NdisQueryPacket(packet, nullptr, buffers, &buffer, total);
    chain->clear();
    for (; buffer != nullptr; NdisGetNextBuffer(buffer, &buffer)) {
        if (chain->size() == kLongestChain) return false;
        PVOID address = nullptr;
        UINT length = 0;
        NdisQueryBuffer(buffer, &address, &length);
        chain->push_back({buffer, static_cast<const uint8_t*>(address), length});
    }
    return true;
}

uint64_t Protocol::Sum(const std::vector<Piece>& chain) {
    uint64_t sum = 0xCBF29CE484222325ull;  // FNV-1a
    for (const Piece& piece : chain) {
        for (UINT i = 0; i < piece.length; ++i) sum = (sum ^ piece.address[i]) * 0x100000001B3ull;
    }
    return sum;
}

void Protocol::IndicateReceive(NDIS_PACKET** packets, UINT count, uintptr_t site) {
    Kernel& kernel = adapter_.Owner().Host();
    Verifier& check = kernel.Check();
    const char* call = "NdisMIndicateReceivePacket";
    for (UINT i = 0; i < count; ++i) {
        NDIS_PACKET* packet = packets[i];
        if (packet == nullptr) {
            check.Report(Rule::Platform, call, "a null entry in the packet array", site);
            continue;
        }
        if (IsLent(packet)) {
            check.Report(Rule::RecvOwnership, call,
                         "the packet is indicated again while the protocol still holds it",
                         site);
            continue;
        }
        if (!Ndis::Current().PoolTable().IsAllocatedPacket(packet)) {
            check.Report(Rule::RecvOwnership, call,
                         "not a packet drawn from a live packet pool", site);
            continue;
        }
        RunWorkDuringIndication();
        Receive receive{{}, NDIS_GET_PACKET_HEADER_SIZE(packet), NDIS_GET_PACKET_STATUS(packet),
                        kernel.Clock().Now()};
        std::vector<Piece> chain;
        UINT buffers = 0;
        UINT total = 0;
        if (!ReadChain(packet, &chain, &buffers, &total)) {
            check.Report(Rule::Platform, call, "the buffer chain does not end", site);
        }
        // The frame is as long as the packet says; its bytes are taken along the chain.
        receive.bytes.reserve(total);
        for (const Piece& piece : chain) {
            size_t take = std::min<size_t>(piece.length, total - receive.bytes.size());
            receive.bytes.insert(receive.bytes.end(), piece.address, piece.address + take);
        }
        if (receive.bytes.size() < total) {
            check.Report(Rule::RecvOwnership, call,
                         "NdisQueryPacket gives a total length of " + std::to_string(total) +
                             " bytes in " + std::to_string(buffers) +
                             " buffer(s), but the chain describes only " +
                             std::to_string(receive.bytes.size()) + " in " +
                             std::to_string(chain.size()) +
                             ": the packet's cached counts are stale",
                         site);
        }
        // NDIS_STATUS_RESOURCES: copied now, the miniport's again when the call returns.
        // Any other status lends the packet until the protocol returns it.
        if (receive.status != NDIS_STATUS_RESOURCES) {
            if (adapter_.Handlers().ReturnPacketHandler == nullptr) {
                check.Report(Rule::Platform, call,
                             "a packet lent by a miniport without a ReturnPacketHandler", site);
            } else {
                uint64_t sum = Sum(chain);
                lent_.push_back({packet, site, std::move(chain), sum});
                NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_PENDING);
                if (return_mode_ == ReturnMode::AfterCall) {
                    kernel.Clock().After(0, "protocol returns a lent packet",
                                          [this, packet] { ReturnOne(packet); });
                }
            }
        }
        // The binding's filter decides whether the protocol sees the packet at all.
        if (!binding_.Admit(receive.bytes)) continue;
        if (receive_sink_) receive_sink_(receive);
        if (keep_records_) received_.push_back(std::move(receive));
    }
}

void Protocol::RunWorkDuringIndication() {
    if (!indication_window_us_ || in_indication_work_) return;
    in_indication_work_ = true;
    Scheduler& clock = adapter_.Owner().Host().Clock();
    clock.RunUntil(clock.Now() + *indication_window_us_);
    in_indication_work_ = false;
}

void Protocol::ReturnOne(NDIS_PACKET* packet) {
    auto it = std::find_if(lent_.begin(), lent_.end(),
                           [packet](const LentPacket& lent) { return lent.packet == packet; });
    if (it == lent_.end()) return;  // already returned (a halt came first)
    LentPacket lent = std::move(*it);
    lent_.erase(it);
    if (adapter_.Ended()) return;
    CheckUnchanged(lent);
    const NDIS50_MINIPORT_CHARACTERISTICS& handlers = adapter_.Handlers();
    NDIS_HANDLE context = adapter_.Context();
    adapter_.Owner().Host().Cpu().CallDriver(DISPATCH_LEVEL, "MiniportReturnPacket", [&] {
        handlers.ReturnPacketHandler(context, packet);
    });
}

// While the protocol holds a packet, the miniport must leave its buffers and their bytes
// alone. The report names the place that indicated it.
void Protocol::CheckUnchanged(const LentPacket& lent) {
    std::vector<Piece> chain;
    UINT buffers = 0;
    UINT total = 0;
    const bool ends = ReadChain(lent.packet, &chain, &buffers, &total);
    std::string changed;
    if (!ends || chain != lent.chain) {
        auto bytes = [](const std::vector<Piece>& pieces) {
            size_t sum = 0;
            for (const Piece& piece : pieces) sum += piece.length;
            return sum;
        };
        changed = "its buffer chain (" + std::to_string(lent.chain.size()) + " buffer(s), " +
                  std::to_string(bytes(lent.chain)) + " bytes when indicated; now " +
                  (ends ? std::to_string(chain.size()) : std::string("endless")) +
                  " buffer(s), " + std::to_string(bytes(chain)) + " bytes)";
    } else if (Sum(chain) != lent.sum) {
        changed = "the bytes of its buffers";
    }
    if (changed.empty()) return;
    adapter_.Owner().Host().Check().Report(
        Rule::RecvOwnership, "MiniportReturnPacket",
        "the packet was lent to the protocol, and " + changed +
            " changed before it came back; the place is where it was indicated",
        lent.site);
}

void Protocol::ReturnLent() {
    std::vector<NDIS_PACKET*> lent;
    for (const LentPacket& entry : lent_) lent.push_back(entry.packet);
    for (NDIS_PACKET* packet : lent) ReturnOne(packet);
}

}  // namespace emu::ndis

// ---- Platform routines --------------------------------------------------------------------

using emu::Kernel;
using emu::ndis::Miniport;

void NdisMIndicateReceivePacket(NDIS_HANDLE MiniportAdapterHandle, NDIS_PACKET** ReceivePackets,
                                UINT NumberOfPackets) {
    EMU_PLATFORM_ENTRY();
    uintptr_t site = EMU_CALLER();
    Kernel& kernel = Kernel::Current();
    // Reported; above DISPATCH_LEVEL not even NDIS may read the packets (its buffer
    // accessors are not allowed there), so the indication goes no further.
    if (!kernel.Cpu().CheckIrql("NdisMIndicateReceivePacket", DISPATCH_LEVEL, PASSIVE_LEVEL,
                                 site)) {
        return;
    }
    // The protocols above run now: platform code until they call the miniport.
    emu::Processor::PlatformScope platform(kernel.Cpu());
    Miniport* adapter = emu::ndis::Ndis::Current().Use(MiniportAdapterHandle, "NdisMIndicateReceivePacket", site);
    if (adapter == nullptr) return;
    adapter->Edge().IndicateReceive(ReceivePackets, NumberOfPackets, site);
    adapter->Edge().CallBack();
}
