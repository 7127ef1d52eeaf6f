#include "tools/qvnet/capture/usbmon_capture.h"

#include <pcap/usb.h>

#include <cstring>

namespace qvnet::capture {

namespace {

static_assert(sizeof(pcap_usb_header_mmapped) == kUsbmonHeaderSize);

// Linux sets this transfer flag on every URB that moves data toward the host.
constexpr uint32_t kUrbDirIn = 0x0200;
// usbmon's markers for what a record leaves out: no setup packet, and no data because it
// flows the other way at this stage ('<' an IN submission, '>' an OUT completion).
constexpr char kNoSetup = '-';
constexpr char kNoDataYet = '<';
constexpr char kNoDataLeft = '>';
constexpr char kErrorRecord = 'E';

bool IsIn(const emu::usb::TraceRecord& record) { return (record.endpoint & 0x80) != 0; }

char DataFlag(const emu::usb::TraceRecord& record) {
    if (record.type == 'E') return kErrorRecord;  // as usbmon marks a refused submission
    if (!record.data.empty()) return 0;
    return IsIn(record) ? kNoDataYet : kNoDataLeft;
}

pcap_usb_header_mmapped HeaderOf(const emu::usb::TraceRecord& record) {
    pcap_usb_header_mmapped header{};
    header.id = record.id;
    header.event_type = static_cast<uint8_t>(record.type);
    header.transfer_type = record.transfer_type;
    header.endpoint_number = record.endpoint;
    header.device_address = record.device;
    header.bus_id = record.bus;
    header.setup_flag = record.has_setup ? 0 : kNoSetup;
    header.data_flag = DataFlag(record);
    header.ts_sec = static_cast<int64_t>(record.time_us / 1'000'000);
    header.ts_usec = static_cast<int32_t>(record.time_us % 1'000'000);
    header.status = record.status;
    header.urb_len = record.length;
    header.data_len = static_cast<uint32_t>(record.data.size());
    // The setup packet stays in wire order: its words are little-endian whatever the host.
    if (record.has_setup) std::memcpy(&header.s.setup, record.setup.data(), record.setup.size());
    header.xfer_flags = IsIn(record) ? kUrbDirIn : 0;
    return header;
}

}  // namespace

std::vector<uint8_t> UsbmonRecord(const emu::usb::TraceRecord& record) {
    const pcap_usb_header_mmapped header = HeaderOf(record);
    std::vector<uint8_t> bytes(kUsbmonHeaderSize + record.data.size());
    std::memcpy(bytes.data(), &header, kUsbmonHeaderSize);
    std::copy(record.data.begin(), record.data.end(), bytes.begin() + kUsbmonHeaderSize);
    return bytes;
}

std::unique_ptr<UsbmonCapture> UsbmonCapture::Open(const std::string& path, std::string& error) {
    auto file = PcapFile::Open(path, kLinkTypeUsbLinuxMmapped, Precision::Micro, error);
    if (!file) return nullptr;
    return std::unique_ptr<UsbmonCapture>(new UsbmonCapture(std::move(file)));
}

void UsbmonCapture::Write(const emu::usb::TraceRecord& record) {
    const std::vector<uint8_t> bytes = UsbmonRecord(record);
    file_->Write(record.time_us, bytes.data(), bytes.size());
}

emu::usb::TraceHook UsbmonCapture::Sink() {
    return [this](const emu::usb::TraceRecord& record) { Write(record); };
}

}  // namespace qvnet::capture
