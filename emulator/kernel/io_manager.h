// The I/O manager's own bookkeeping behind platform/io.h: driver and device objects, and the
// life of every request (IRP_ONCE, IRP_OWNED_COMPLETE, IRP_IN_FLIGHT_FREE, IRP_DISPATCH).
#pragma once

#include <cstdint>
#include <deque>
#include <unordered_map>
#include <memory>
#include <string>
#include <vector>

#include "platform/io.h"

namespace emu {

class IoManager {
public:
    enum class Origin { Driver, Thread };  // IoAllocateIrp, IoBuildDeviceIoControlRequest
    // Owned: with the driver that made it, never sent. InFlight: passed down, held by a
    // driver below (or by a driver above whose completion routine stopped the completion).
    // Completed: its completion reached the top and its maker's completion routine took it
    // back. A driver's own request is then the driver's to free or send again; completing it
    // once more is a second completion. A thread request stopped there
    // (STATUS_MORE_PROCESSING_REQUIRED) is completed again by its maker, and the I/O manager
    // finishes it then.
    enum class State { Owned, InFlight, Completed, Freed };

    // One dispatch routine's handling of the request. Once both its return and the request's
    // completion past its stack location are known, the two must agree (IRP_DISPATCH).
    struct Dispatch {
        uint64_t id;
        CCHAR location;            // the stack location it was called with
        uintptr_t routine;         // the dispatch routine, for the report's place
        UCHAR major, minor;
        bool returned = false;
        NTSTATUS returned_status = 0;
        bool completed = false;    // the completion went past its stack location
        NTSTATUS completed_status = 0;
        bool marked_pending = false;
    };

    struct RequestInfo {
        Origin origin;
        State state;
        DEVICE_OBJECT* sent_to;   // the device object IoCallDriver last passed it to
        uint64_t serial;
        int dispatching = 0;      // dispatch routines for it still running (nested IoCallDriver)
        std::vector<Dispatch> dispatches;  // not yet settled
    };

    // Freed requests stay poisoned and recognisable until their memory passes this many
    // bytes; then the oldest go. A data path frees one or two per frame, so a count alone
    // would let a long run hold megabytes of dead requests.
    static constexpr size_t kFreedBytesKept = size_t{1} << 20;

    IoManager();
    ~IoManager();

    // A driver object with an extension and an empty dispatch table (every slot set to a
    // routine that completes the request with STATUS_NOT_SUPPORTED).
    DRIVER_OBJECT* CreateDriver(const std::string& name);
    // A device object of `driver` with `extension_size` bytes of zeroed extension.
    DEVICE_OBJECT* CreateDevice(DRIVER_OBJECT* driver, size_t extension_size, CCHAR stack_size);
    // Layers `upper` above `lower`: upper's stack size becomes lower's + 1. Returns `lower`.
    DEVICE_OBJECT* Attach(DEVICE_OBJECT* upper, DEVICE_OBJECT* lower);
    void Detach(DEVICE_OBJECT* lower);
    void DeleteDevice(DEVICE_OBJECT* device);
    // Device objects of `driver` that still exist: a driver may be unloaded only at none.
    size_t DevicesOf(const DRIVER_OBJECT* driver) const;

    // Request records (used by the platform/io.h implementation).
    IRP* NewRequest(CCHAR stack_size, Origin origin);
    RequestInfo* Info(const IRP* irp);  // null for an address that never was a request
    // Memory of a freed request: kept, filled with a pattern and, in the sanitizer build,
    // poisoned so that a driver touching it is stopped at the access.
    void Release(IRP* irp);

    // Requests of Origin::Driver still owned or in flight (for IRP_AT_HALT and leak checks).
    std::vector<IRP*> Outstanding() const;
    size_t InFlightTo(const DEVICE_OBJECT* device) const;

    // Fault injection: fail the next `count` IoAllocateIrp calls (count < 0: all of them).
    void FailAllocations(int count) { fail_allocations_ = count; }
    bool TakeAllocationFault();
    // The tag under which IoAllocateIrp and IoBuildDeviceIoControlRequest ask the verifier's
    // allocation faults whether to fail ("Irp ", first character in the lowest byte).
    static constexpr ULONG kRequestTag = 'I' | ('r' << 8) | ('p' << 16) | (' ' << 24);

private:
    struct Record {
        Record(std::unique_ptr<uint8_t[]> memory, size_t bytes, RequestInfo info);
        Record(Record&&) = default;
        ~Record();  // opens poisoned memory before it goes back to the heap
        std::unique_ptr<uint8_t[]> memory;
        size_t bytes;
        RequestInfo info;
    };
    using Requests = std::unordered_map<const IRP*, Record>;
    Record* Find(const IRP* irp);
    void Forget(const IRP* irp);
    void Evict(Requests::iterator record);
    Record* Reuse(size_t bytes, Origin origin);

    Requests requests_;
    // The last requests looked up, by address: one request is looked up several times on its
    // way down and back (records are map nodes, so their addresses hold until erased).
    static constexpr size_t kRecent = 8;
    struct Recent {
        const IRP* irp = nullptr;
        Record* record = nullptr;
    };
    Recent recent_[kRecent];
    Recent& SlotOf(const IRP* irp);
    // Records of requests that left the quarantine (map node, memory, dispatch list), kept for
    // the next request of their size: a data path makes and frees one or two a frame.
    std::vector<Requests::node_type> spare_;
    std::vector<std::unique_ptr<DRIVER_OBJECT>> drivers_;
    std::vector<std::unique_ptr<DRIVER_EXTENSION>> extensions_;
    std::vector<std::unique_ptr<DEVICE_OBJECT>> devices_;
    std::vector<std::unique_ptr<uint8_t[]>> device_extensions_;
    std::deque<const IRP*> freed_order_;
    size_t freed_bytes_ = 0;
    uint64_t next_serial_ = 1;
    int fail_allocations_ = 0;
};

}  // namespace emu
