// What crossed the bus on the bulk endpoints: every submission and completion with its length
// and status, and the most requests each endpoint ever held at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "emulator/usbbus/trace.h"

namespace qvtest {

struct BulkEvent {
    uint8_t endpoint = 0;   // 0x81 bulk in, 0x02 bulk out
    char type = 'S';        // 'S' submitted, 'C' completed, 'E' refused at submission
    uint32_t length = 0;    // requested at submission, moved at completion
    int32_t status = 0;     // usbmon status: 0, or a negative errno
    uint64_t time_us = 0;
};

class BusWatch {
public:
    // Feed for the bus's trace hook.
    void Note(const emu::usb::TraceRecord& record);

    const std::vector<BulkEvent>& Events() const { return events_; }
    // The lengths of the transfers submitted on `endpoint`, in order.
    std::vector<uint32_t> SubmittedLengths(uint8_t endpoint) const;
    size_t Outstanding(uint8_t endpoint) const;
    size_t MostOutstanding(uint8_t endpoint) const;
    void Clear() { events_.clear(); }
    // Off, the counts of outstanding requests go on but events are not kept.
    void KeepEvents(bool on) { keep_events_ = on; }

private:
    std::vector<BulkEvent> events_;
    std::map<uint8_t, size_t> outstanding_;
    std::map<uint8_t, size_t> most_;
    bool keep_events_ = true;
};

}  // namespace qvtest
