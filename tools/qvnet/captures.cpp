#include "tools/qvnet/captures.h"

#include "tests/support/harness/running_adapter.h"

namespace qvnet {

bool Captures::Open(const RunOptions& options, std::string* error) {
    std::string why;
    if (!options.usb_pcap.empty()) {
        usb_ = capture::UsbmonCapture::Open(options.usb_pcap, why);
        if (!usb_) {
            *error = "--usb-pcap " + options.usb_pcap + ": " + why;
            return false;
        }
    }
    if (!options.pcap.empty()) {
        ethernet_ = capture::EthernetCapture::Open(options.pcap, why);
        if (!ethernet_) {
            *error = "--pcap " + options.pcap + ": " + why;
            return false;
        }
    }
    return true;
}

void Captures::Attach(qvtest::RunningAdapter& adapter) {
    if (usb_) adapter.AddTraceSink(usb_->Sink());
    if (ethernet_) adapter.AddWireSink(ethernet_->Sink());
}

bool Captures::Commit(std::string* error) {
    std::string why;
    if (usb_ && !usb_->Commit(why)) {
        *error = "--usb-pcap: " + why;
        return false;
    }
    if (ethernet_ && !ethernet_->Commit(why)) {
        *error = "--pcap: " + why;
        return false;
    }
    return true;
}

}  // namespace qvnet
