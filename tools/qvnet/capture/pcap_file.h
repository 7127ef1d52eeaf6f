// One pcap file written through libpcap, complete or not at all: records go to a temporary
// file next to the target, which Commit renames into place. A file never committed (or whose
// commit fails) is removed, so a run that stops half way leaves no truncated capture behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <pcap/pcap.h>

namespace qvnet::capture {

enum class Precision { Micro, Nano };

class PcapFile {
public:
    // Creates the temporary file for a capture of `link_type` (a LINKTYPE_ value) that will
    // become `path`. Null, with the reason in `error`, when it cannot be created (the target's
    // directory missing or not writable, for instance).
    static std::unique_ptr<PcapFile> Open(const std::string& path, int link_type,
                                          Precision precision, std::string& error);
    ~PcapFile();  // removes the temporary file unless committed
    PcapFile(const PcapFile&) = delete;
    PcapFile& operator=(const PcapFile&) = delete;

    // Appends one record stamped with a virtual time in microseconds.
    void Write(uint64_t time_us, const uint8_t* bytes, size_t length);
    // Finishes the file and renames it to its target; false, with the reason in `error`, when
    // writing or renaming failed (the temporary is then removed). Nothing more is written.
    bool Commit(std::string& error);

    const std::string& Target() const { return target_; }
    const std::string& Temporary() const { return temporary_; }

private:
    PcapFile(std::string target, std::string temporary, Precision precision, pcap_t* pcap,
             pcap_dumper_t* dumper);
    // Closes the dumper and the handle; whether every byte reached the file.
    bool Close();

    std::string target_;
    std::string temporary_;
    Precision precision_;
    pcap_t* pcap_;
    pcap_dumper_t* dumper_;
    bool finished_ = false;  // Commit ran: the temporary is renamed or removed
};

}  // namespace qvnet::capture
