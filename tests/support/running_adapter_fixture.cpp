#include "tests/support/running_adapter_fixture.h"

#include "emulator/usbbus/bus.h"

namespace qvtest {

void RunningAdapterFixture::Start(AdapterOptions options) {
    nic_ = std::make_unique<RunningAdapter>(M(), std::move(options));
    ASSERT_EQ(nic_->Start(), NDIS_STATUS_SUCCESS);
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
