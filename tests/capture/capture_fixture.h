// A running adapter with both capture files attached from before it starts, in a directory of
// its own that goes away with the test.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "emulator/usbbus/trace.h"
#include "tests/support/harness/running_adapter.h"
#include "tests/support/machine_fixture.h"
#include "tools/qvnet/capture/ethernet_capture.h"
#include "tools/qvnet/capture/usbmon_capture.h"

namespace qvtest {

class CaptureFixture : public MachineFixture {
protected:
    CaptureFixture();
    ~CaptureFixture() override;

    // Opens both captures, starts the adapter with them, and keeps the trace records beside.
    void StartCapturing();
    // Halts the adapter, then commits both files.
    void Finish();

    std::string PathOf(const std::string& name) const { return directory_ + "/" + name; }
    std::string UsbFile() const { return PathOf("usb.pcap"); }
    std::string EthernetFile() const { return PathOf("wire.pcap"); }

    RunningAdapter& Nic() { return *nic_; }
    const std::vector<emu::usb::TraceRecord>& Records() const { return records_; }
    std::vector<uint8_t> FrameIn(size_t length, uint32_t seed) const;
    std::vector<uint8_t> FrameOut(size_t length, uint32_t seed) const;

private:
    std::string directory_;
    std::vector<emu::usb::TraceRecord> records_;
    std::unique_ptr<qvnet::capture::UsbmonCapture> usb_;
    std::unique_ptr<qvnet::capture::EthernetCapture> wire_;
    std::unique_ptr<RunningAdapter> nic_;  // last: gone before the captures it feeds
};

}  // namespace qvtest
