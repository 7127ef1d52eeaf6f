// Every URB as Linux usbmon records (LINKTYPE_USB_LINUX_MMAPPED: a 64-byte header, then the
// data), streamed from the bus's trace hook, so that Wireshark and tshark decode the run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emulator/usbbus/trace.h"
#include "tools/qvnet/capture/pcap_file.h"

namespace qvnet::capture {

constexpr int kLinkTypeUsbLinuxMmapped = 220;
constexpr size_t kUsbmonHeaderSize = 64;

// One trace record as the bytes of a usbmon record: the header, then the data it carries.
std::vector<uint8_t> UsbmonRecord(const emu::usb::TraceRecord& record);

class UsbmonCapture {
public:
    // Null, with the reason in `error`, when `path` cannot be written.
    static std::unique_ptr<UsbmonCapture> Open(const std::string& path, std::string& error);

    void Write(const emu::usb::TraceRecord& record);
    // A trace sink that writes here; this capture must outlive its use.
    emu::usb::TraceHook Sink();
    // Puts the file in place (see PcapFile::Commit).
    bool Commit(std::string& error) { return file_->Commit(error); }

private:
    explicit UsbmonCapture(std::unique_ptr<PcapFile> file) : file_(std::move(file)) {}
    std::unique_ptr<PcapFile> file_;
};

}  // namespace qvnet::capture
