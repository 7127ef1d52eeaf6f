#include "tools/qvnet/capture/ethernet_capture.h"

namespace qvnet::capture {

std::unique_ptr<EthernetCapture> EthernetCapture::Open(const std::string& path,
                                                       std::string& error) {
    auto file = PcapFile::Open(path, kLinkTypeEthernet, Precision::Micro, error);
    if (!file) return nullptr;
    return std::unique_ptr<EthernetCapture>(new EthernetCapture(std::move(file)));
}

void EthernetCapture::Write(const emu::wire::Frame& frame) {
    file_->Write(frame.time_us, frame.bytes.data(), frame.bytes.size());
}

emu::wire::Wire::Watcher EthernetCapture::Sink() {
    return [this](const emu::wire::Frame& frame, emu::wire::Direction) { Write(frame); };
}

}  // namespace qvnet::capture
