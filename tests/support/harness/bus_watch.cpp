#include "tests/support/harness/bus_watch.h"

#include <algorithm>

namespace qvtest {

void BusWatch::Note(const emu::usb::TraceRecord& record) {
    if (record.transfer_type != emu::usb::kTransferBulk) return;
    if (keep_events_) {
        events_.push_back(
            {record.endpoint, record.type, record.length, record.status, record.time_us});
    }
    size_t& outstanding = outstanding_[record.endpoint];
    if (record.type == 'S') {
        ++outstanding;
        most_[record.endpoint] = std::max(most_[record.endpoint], outstanding);
    } else if (record.type == 'C' && outstanding > 0) {
        --outstanding;
    }
}

std::vector<uint32_t> BusWatch::SubmittedLengths(uint8_t endpoint) const {
    std::vector<uint32_t> lengths;
    for (const BulkEvent& event : events_) {
        if (event.endpoint == endpoint && event.type == 'S') lengths.push_back(event.length);
    }
    return lengths;
}

size_t BusWatch::Outstanding(uint8_t endpoint) const {
    auto found = outstanding_.find(endpoint);
    return found == outstanding_.end() ? 0 : found->second;
}

size_t BusWatch::MostOutstanding(uint8_t endpoint) const {
    auto found = most_.find(endpoint);
    return found == most_.end() ? 0 : found->second;
}

}  // namespace qvtest
