// The data path on a running adapter for measuring: the driver on the hosted platform with
// every verifier check on, the bus completing inside the call so that the device and the bus
// cost no virtual time, and no record kept per frame. Frames are checked as they arrive by
// count and position in a small ring of distinct frames, so that a dropped, repeated or
// reordered frame stops the run without the check costing more than the path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emu {
class Machine;
}
namespace qvtest {
class RunningAdapter;
}

namespace qvbench {

enum class Way { Transmit, Receive };

class DataPath {
public:
    // Starts the adapter with frames of `size` bytes; Error() says why when it does not run.
    explicit DataPath(size_t size);
    ~DataPath();
    DataPath(const DataPath&) = delete;
    DataPath& operator=(const DataPath&) = delete;

    // Moves `count` frames one at a time, each handed over and then carried through to the
    // other end before the next; false, with Error() set, as soon as one goes wrong.
    bool Move(Way way, uint64_t count);

    // Empty while everything holds: else a failed start, a frame missing or damaged, or the
    // verifier's first report.
    const std::string& Error() const { return error_; }
    uint64_t Arrived(Way way) const { return way == Way::Transmit ? on_wire_ : indicated_; }

private:
    bool MoveTransmit(uint64_t count);
    bool MoveReceive(uint64_t count);
    // Checks a frame that reached the far end against the one that should have.
    void Check(const std::vector<uint8_t>& got, const std::vector<std::vector<uint8_t>>& ring,
               uint64_t index, const char* where);
    void Fail(std::string why);

    std::unique_ptr<emu::Machine> machine_;
    std::unique_ptr<qvtest::RunningAdapter> adapter_;
    std::vector<std::vector<uint8_t>> out_;  // frames from this station, sent in turn
    std::vector<std::vector<uint8_t>> in_;   // frames to this station, injected in turn
    uint64_t sent_ = 0, on_wire_ = 0, injected_ = 0, indicated_ = 0;
    std::string error_;
};

// The 100 Mb/s line rate in frames per second for frames of `size` bytes (no FCS): each also
// takes the FCS, the preamble with its delimiter and the inter-frame gap on the cable.
inline double LineRate(size_t size) { return 1e8 / ((static_cast<double>(size) + 4 + 20) * 8); }

}  // namespace qvbench
