#include "emulator/usbbus/faults.h"

namespace emu::usb {

std::vector<FaultAction> SurvivableFaults() {
    return {FaultAction::Fail, FaultAction::Stall, FaultAction::Babble, FaultAction::ShortPacket,
            FaultAction::Cancel};
}

FaultPlan FaultPlan::Random(RandomFaults random) {
    FaultPlan plan;
    plan.rng_.seed(random.seed);
    if (random.one_in == 0) random.one_in = 1;
    plan.random_ = std::move(random);
    return plan;
}

namespace {

// Babble needs the device to send (an IN data or status stage: any control transfer, a bulk
// IN); a short packet needs IN data.
bool Fits(FaultAction kind, const Submission& submission) {
    if (kind == FaultAction::Babble) return submission.in_stage || submission.setup.has_value();
    if (kind == FaultAction::ShortPacket) return submission.in_stage;
    return true;
}

}  // namespace

std::optional<Fault> FaultPlan::Take(const Submission& submission) {
    for (Fault& fault : faults_) {
        if (fault.times == 0 || !fault.when || !Fits(fault.action, submission) ||
            !fault.when(submission))
            continue;
        if (fault.skip > 0) {
            --fault.skip;
            continue;
        }
        if (fault.times > 0) --fault.times;
        return Count(fault);
    }
    return Count(Draw(submission));
}

std::optional<Fault> FaultPlan::Draw(const Submission& submission) {
    if (!random_ || !submission.on_bus) return std::nullopt;
    if (random_->when && !random_->when(submission)) return std::nullopt;
    if (rng_() % random_->one_in != 0) return std::nullopt;
    std::vector<FaultAction> fitting;
    for (FaultAction kind : random_->kinds)
        if (Fits(kind, submission)) fitting.push_back(kind);
    if (fitting.empty()) return std::nullopt;
    Fault fault;
    fault.action = fitting[rng_() % fitting.size()];
    fault.short_length = random_->short_length;
    return fault;
}

std::optional<Fault> FaultPlan::Count(std::optional<Fault> fault) {
    if (fault) ++injected_[fault->action];
    return fault;
}

uint64_t FaultPlan::Injected(FaultAction kind) const {
    auto found = injected_.find(kind);
    return found == injected_.end() ? 0 : found->second;
}

uint64_t FaultPlan::InjectedTotal() const {
    uint64_t total = 0;
    for (const auto& [kind, count] : injected_) total += count;
    return total;
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
