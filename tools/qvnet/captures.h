// The capture files a run was asked for (--usb-pcap, --pcap): opened before anything runs, so
// that an unwritable path is a usage error; fed while the adapter runs; put in place at the
// end, whole, or not at all.
#pragma once

#include <memory>
#include <string>

#include "tools/qvnet/capture/ethernet_capture.h"
#include "tools/qvnet/capture/usbmon_capture.h"
#include "tools/qvnet/run_options.h"

namespace qvtest {
class RunningAdapter;
}

namespace qvnet {

class Captures {
public:
    // Opens the files the options name; false with a one-line message naming the option.
    bool Open(const RunOptions& options, std::string* error);
    // Hands the adapter's URBs and wire frames to the open files; before the adapter starts.
    void Attach(qvtest::RunningAdapter& adapter);
    // Puts the files in place; false with a message when one cannot be.
    bool Commit(std::string* error);

private:
    std::unique_ptr<capture::UsbmonCapture> usb_;
    std::unique_ptr<capture::EthernetCapture> ethernet_;
};

}  // namespace qvnet
