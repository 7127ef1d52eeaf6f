#include "emulator/usbbus/faults.h"

namespace emu::usb {

std::optional<Fault> FaultPlan::Take(const Submission& submission) {
    for (Fault& fault : faults_) {
        if (fault.times == 0 || !fault.when || !fault.when(submission)) continue;
        if (fault.skip > 0) {
            --fault.skip;
            continue;
        }
        if (fault.times > 0) --fault.times;
        return fault;
    }
    return std::nullopt;
}

namespace match {

std::function<bool(const Submission&)> Any() {
    return [](const Submission&) { return true; };
}

std::function<bool(const Submission&)> Function(USHORT function) {
    return [function](const Submission& s) { return s.has_urb && s.function == function; };
}

std::function<bool(const Submission&)> Ioctl(ULONG ioctl) {
    return [ioctl](const Submission& s) { return s.ioctl == ioctl; };
}

std::function<bool(const Submission&)> Endpoint(uint8_t endpoint) {
    return [endpoint](const Submission& s) { return s.has_urb && s.endpoint == endpoint; };
}

std::function<bool(const Submission&)> Request(uint8_t request_type, uint8_t request) {
    return [request_type, request](const Submission& s) {
        return s.setup && s.setup->request_type == request_type && s.setup->request == request;
    };
}

std::function<bool(const Submission&)> Serial(uint64_t serial) {
    return [serial](const Submission& s) { return s.serial == serial; };
}

std::function<bool(const Submission&)> Both(std::function<bool(const Submission&)> a,
                                            std::function<bool(const Submission&)> b) {
    return [a = std::move(a), b = std::move(b)](const Submission& s) { return a(s) && b(s); };
}

}  // namespace match

}  // namespace emu::usb
