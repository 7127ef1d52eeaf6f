// Every Ethernet frame that crosses the wire, both ways, as a pcap file (LINKTYPE_ETHERNET)
// stamped with virtual time, streamed from the wire's watcher.
#pragma once

#include <memory>
#include <string>

#include "emulator/wire/wire.h"
#include "tools/qvnet/capture/pcap_file.h"

namespace qvnet::capture {

constexpr int kLinkTypeEthernet = 1;

class EthernetCapture {
public:
    // Null, with the reason in `error`, when `path` cannot be written.
    static std::unique_ptr<EthernetCapture> Open(const std::string& path, std::string& error);

    void Write(const emu::wire::Frame& frame);
    // A wire watcher that writes here, whichever way a frame goes (a pcap file of this link
    // type has no direction); this capture must outlive its use.
    emu::wire::Wire::Watcher Sink();
    // Puts the file in place (see PcapFile::Commit).
    bool Commit(std::string& error) { return file_->Commit(error); }

private:
    explicit EthernetCapture(std::unique_ptr<PcapFile> file) : file_(std::move(file)) {}
    std::unique_ptr<PcapFile> file_;
};

}  // namespace qvnet::capture
