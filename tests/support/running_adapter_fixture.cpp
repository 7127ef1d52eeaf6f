#include "tests/support/running_adapter_fixture.h"

#include "core/adapter.h"
#include "emulator/kernel/processor.h"

#include "emulator/usbbus/bus.h"

namespace qvtest {

void RunningAdapterFixture::Start(AdapterOptions options) {
    ASSERT_EQ(TryStart(std::move(options)), NDIS_STATUS_SUCCESS);
}

NDIS_STATUS RunningAdapterFixture::TryStart(AdapterOptions options) {
    nic_ = std::make_unique<RunningAdapter>(M(), std::move(options));
    const NDIS_STATUS status = nic_->Start();
    if (nic_->Running()) GuardFieldsWithTheirLocks();
    return status;
}

void RunningAdapterFixture::GuardFieldsWithTheirLocks() {
    // Which of the record's fields each lock guards: written without it, they are reported.
    Adapter& a = Record();
    emu::Processor& cpu = M().Cpu();
    auto guard = [&](const void* lock, const auto& field, const char* name) {
        cpu.GuardWithLock(lock, &field, sizeof(field), name);
    };
    guard(&a.TxLock.SpinLock, a.TxFreeList, "TxFreeList");
    guard(&a.TxLock.SpinLock, a.TxFreeCount, "TxFreeCount");
    guard(&a.TxLock.SpinLock, a.TxWaitHead, "TxWaitHead");
    guard(&a.TxLock.SpinLock, a.TxWaitTail, "TxWaitTail");
    guard(&a.TxLock.SpinLock, a.TxPumping, "TxPumping");
    guard(&a.RxLock.SpinLock, a.RxFreeList, "RxFreeList");
    guard(&a.RxLock.SpinLock, a.RxReadyList, "RxReadyList");
    guard(&a.RxLock.SpinLock, a.RxIndicating, "RxIndicating");
    guard(&a.TxSubmitLock, a.TxInFlight, "TxInFlight");
    guard(&a.TxSubmitLock, a.TxIrpQueue, "TxIrpQueue");
    guard(&a.TxSubmitLock, a.TxCallingDown, "TxCallingDown");
    guard(&a.TxSubmitLock, a.TxNextIrp, "TxNextIrp");
}

void RunningAdapterFixture::TearDown() {
    if (nic_ == nullptr) return;
    nic_->Halt();
    EXPECT_FALSE(nic_->Running());
    EXPECT_EQ(M().Bus().PendingRequests(), 0u) << "requests left at the bus after the halt";
}

std::vector<uint8_t> RunningAdapterFixture::FrameIn(size_t length, uint32_t seed) const {
    return MakeFrame(nic_->StationAddress(), kPeerAddress, length, seed);
}

std::vector<uint8_t> RunningAdapterFixture::FrameOut(size_t length, uint32_t seed) const {
    return MakeFrame(kPeerAddress, nic_->StationAddress(), length, seed);
}

}  // namespace qvtest
