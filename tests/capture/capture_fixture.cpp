#include "tests/capture/capture_fixture.h"

#include <stdlib.h>

#include <filesystem>

namespace qvtest {

CaptureFixture::CaptureFixture() {
    std::string pattern = ::testing::TempDir() + "qvnet-capture-XXXXXX";
    directory_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
}

CaptureFixture::~CaptureFixture() {
    if (nic_) nic_->Halt();
    nic_.reset();
    usb_.reset();
    wire_.reset();
    std::error_code ignored;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
}

void CaptureFixture::StartCapturing() {
    ASSERT_FALSE(directory_.empty()) << "no temporary directory";
    std::string error;
    usb_ = qvnet::capture::UsbmonCapture::Open(UsbFile(), error);
    ASSERT_TRUE(usb_) << error;
    wire_ = qvnet::capture::EthernetCapture::Open(EthernetFile(), error);
    ASSERT_TRUE(wire_) << error;
    nic_ = std::make_unique<RunningAdapter>(M());
    nic_->AddTraceSink(usb_->Sink());
    nic_->AddTraceSink([this](const emu::usb::TraceRecord& record) { records_.push_back(record); });
    nic_->AddWireSink(wire_->Sink());
    ASSERT_EQ(nic_->Start(), NDIS_STATUS_SUCCESS);
}

void CaptureFixture::Finish() {
    nic_->Halt();
    std::string error;
    EXPECT_TRUE(usb_->Commit(error)) << error;
    EXPECT_TRUE(wire_->Commit(error)) << error;
}

std::vector<uint8_t> CaptureFixture::FrameIn(size_t length, uint32_t seed) const {
    return MakeFrame(nic_->StationAddress(), kPeerAddress, length, seed);
}

std::vector<uint8_t> CaptureFixture::FrameOut(size_t length, uint32_t seed) const {
    return MakeFrame(kPeerAddress, nic_->StationAddress(), length, seed);
}

}  // namespace qvtest
