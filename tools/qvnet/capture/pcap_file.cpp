#include "tools/qvnet/capture/pcap_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace qvnet::capture {

namespace {

// Records longer than this are cut (the file's snapshot length); none of ours come near it.
constexpr int kSnapshotLength = 65535;

std::string DirectoryOf(const std::string& path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

std::string CannotWrite(const std::string& path, const std::string& why) {
    return "cannot write capture file " + path + ": " + why;
}

// mkstemp makes the file private; a capture gets the mode any new file of the user would.
void GiveUsualMode(int fd) {
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
}

}  // namespace

std::unique_ptr<PcapFile> PcapFile::Open(const std::string& path, int link_type,
                                         Precision precision, std::string& error) {
    const std::filesystem::path target(path);
    std::error_code ec;
    if (target.filename().empty() || std::filesystem::is_directory(target, ec)) {
        error = CannotWrite(path, "it names a directory");
        return nullptr;
    }
    const std::string directory = DirectoryOf(path);
    // Hidden and next to the target, so that the rename stays on one file system.
    std::string temporary =
        (std::filesystem::path(directory) / ("." + target.filename().string() + ".XXXXXX"))
            .string();
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        error = CannotWrite(path, "directory " + directory + ": " + std::strerror(errno));
        return nullptr;
    }
    temporary = name.data();
    GiveUsualMode(fd);
    FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        error = CannotWrite(path, std::strerror(errno));
        close(fd);
        std::remove(temporary.c_str());
        return nullptr;
    }
    pcap_t* pcap = pcap_open_dead_with_tstamp_precision(
        link_type, kSnapshotLength,
        precision == Precision::Nano ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO);
    pcap_dumper_t* dumper = pcap != nullptr ? pcap_dump_fopen(pcap, file) : nullptr;
    if (dumper == nullptr) {
        error = CannotWrite(path, pcap != nullptr ? pcap_geterr(pcap) : "libpcap refused");
        if (pcap != nullptr) pcap_close(pcap);
        std::fclose(file);
        std::remove(temporary.c_str());
        return nullptr;
    }
    return std::unique_ptr<PcapFile>(new PcapFile(path, temporary, precision, pcap, dumper));
}

PcapFile::PcapFile(std::string target, std::string temporary, Precision precision, pcap_t* pcap,
                   pcap_dumper_t* dumper)
    : target_(std::move(target)),
      temporary_(std::move(temporary)),
      precision_(precision),
      pcap_(pcap),
      dumper_(dumper) {}

PcapFile::~PcapFile() {
    if (finished_) return;
    Close();
    std::remove(temporary_.c_str());
}

void PcapFile::Write(uint64_t time_us, const uint8_t* bytes, size_t length) {
    if (dumper_ == nullptr) return;
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(time_us / 1'000'000);
    const uint64_t fraction = time_us % 1'000'000;
    // In a nanosecond file libpcap takes the fraction in nanoseconds.
    header.ts.tv_usec =
        static_cast<suseconds_t>(precision_ == Precision::Nano ? fraction * 1000 : fraction);
    header.len = static_cast<bpf_u_int32>(length);
    header.caplen = static_cast<bpf_u_int32>(std::min<size_t>(length, kSnapshotLength));
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, bytes);
}

bool PcapFile::Commit(std::string& error) {
    if (finished_) return true;
    if (!Close()) {
        error = CannotWrite(target_, std::string("writing failed: ") + std::strerror(errno));
        std::remove(temporary_.c_str());
        finished_ = true;
        return false;
    }
    finished_ = true;
    if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        error = CannotWrite(target_, std::strerror(errno));
        std::remove(temporary_.c_str());
        return false;
    }
    return true;
}

bool PcapFile::Close() {
    if (dumper_ == nullptr) return false;
    const bool written =
        pcap_dump_flush(dumper_) == 0 && std::ferror(pcap_dump_file(dumper_)) == 0;
    pcap_dump_close(dumper_);  // closes the file too
    pcap_close(pcap_);
    dumper_ = nullptr;
    pcap_ = nullptr;
    return written;
}

}  // namespace qvnet::capture
