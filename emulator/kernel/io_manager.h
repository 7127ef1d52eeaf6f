// The I/O manager's own bookkeeping behind platform/io.h: driver and device objects, and the
// life of every request (IRP_ONCE, IRP_OWNED_COMPLETE, IRP_IN_FLIGHT_FREE).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/io.h"

namespace emu {

class IoManager {
public:
    enum class Origin { Driver, Thread };  // IoAllocateIrp, IoBuildDeviceIoControlRequest
    // Owned: with the driver that made it, never sent or sent and returned. InFlight: passed
    // down, held by a driver below. Completed: a completion routine at the top took it back
    // (STATUS_MORE_PROCESSING_REQUIRED); completing it again is a second completion.
    enum class State { Owned, InFlight, Completed, Freed };

    struct RequestInfo {
        Origin origin;
        State state;
        DEVICE_OBJECT* sent_to;   // the device object IoCallDriver last passed it to
        uint64_t serial;
        int dispatching = 0;      // dispatch routines for it still running (nested IoCallDriver)
    };

    // Freed requests stay poisoned and recognisable up to this many; then the oldest go.
    static constexpr size_t kFreedKept = 1 << 16;

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

    // Request records (used by the platform/io.h implementation).
    IRP* NewRequest(CCHAR stack_size, Origin origin);
    RequestInfo* Info(const IRP* irp);  // null for an address that never was a request
    void Release(IRP* irp);             // memory of a freed request (kept poisoned)

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
        std::unique_ptr<uint8_t[]> memory;
        RequestInfo info;
    };
    std::map<const IRP*, Record> requests_;
    std::vector<std::unique_ptr<DRIVER_OBJECT>> drivers_;
    std::vector<std::unique_ptr<DRIVER_EXTENSION>> extensions_;
    std::vector<std::unique_ptr<DEVICE_OBJECT>> devices_;
    std::vector<std::unique_ptr<uint8_t[]>> device_extensions_;
    std::deque<const IRP*> freed_order_;
    uint64_t next_serial_ = 1;
    int fail_allocations_ = 0;
};

}  // namespace emu
