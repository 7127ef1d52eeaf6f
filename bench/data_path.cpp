#include "bench/data_path.h"

#include <cstring>
#include <utility>

#include "core/adapter.h"
#include "emulator/machine.h"
#include "emulator/ndis/protocol.h"
#include "emulator/verifier/verifier.h"
#include "emulator/wire/wire.h"
#include "tests/support/harness/frames.h"
#include "tests/support/harness/running_adapter.h"

namespace qvbench {
namespace {

// Distinct frames each way: enough that a frame lost or repeated lands on the wrong one.
constexpr uint32_t kRing = 61;
// Every frame's length and first bytes are compared; every this many, all of its bytes.
constexpr uint64_t kWholeEvery = 16;
constexpr size_t kHeadBytes = 16;
// Virtual time a frame may take to come through before it counts as lost.
constexpr uint64_t kFrameLimitUs = 1'000'000;

}  // namespace

DataPath::DataPath(size_t size) : machine_(std::make_unique<emu::Machine>()) {
    machine_->Check().OnReport(
        [this](const emu::Violation& violation) { Fail("verifier: " + emu::Describe(violation)); });
    qvtest::AdapterOptions options;
    options.complete_at_once = true;
    adapter_ = std::make_unique<qvtest::RunningAdapter>(*machine_, options);
    adapter_->AddWireSink([this](const emu::wire::Frame& frame, emu::wire::Direction way) {
        if (way != emu::wire::Direction::FromController) return;
        Check(frame.bytes, out_, on_wire_++, "on the wire");
    });
    if (adapter_->Start() != NDIS_STATUS_SUCCESS) {
        Fail("the adapter did not start");
        return;
    }
    adapter_->KeepRecords(false);
    adapter_->Edge().OnReceive([this](const qvtest::RunningAdapter::Receive& receive) {
        Check(receive.bytes, in_, indicated_++, "indicated");
    });
    adapter_->Edge().OnSendComplete([this](const qvtest::RunningAdapter::SendCompletion& done) {
        if (done.status != NDIS_STATUS_SUCCESS) Fail("a send completed with a failure");
    });
    const qvtest::MacAddress station = adapter_->StationAddress();
    for (uint32_t seed = 0; seed < kRing; ++seed) {
        out_.push_back(qvtest::MakeFrame(qvtest::kPeerAddress, station, size, seed));
        in_.push_back(qvtest::MakeFrame(station, qvtest::kPeerAddress, size, seed + kRing));
    }
    // Wait for the link: the adapter drops what it is given before it connects.
    adapter_->RunUntil([this] { return adapter_->Record()->MediaState == MediaConnected; },
                      10'000'000);
    adapter_->RunUntilIdle();
}

DataPath::~DataPath() {
    if (adapter_) adapter_->Halt();
}

bool DataPath::Move(Way way, uint64_t count) {
    if (!error_.empty()) return false;
    return way == Way::Transmit ? MoveTransmit(count) : MoveReceive(count);
}

bool DataPath::MoveTransmit(uint64_t count) {
    for (uint64_t i = 0; i < count && error_.empty(); ++i) {
        adapter_->Send(out_[sent_++ % kRing]);
        if (!adapter_->RunUntil([this] { return on_wire_ == sent_; }, kFrameLimitUs)) {
            Fail("frame " + std::to_string(sent_ - 1) + " never reached the wire");
        }
        // The completion and whatever else the driver queued for it.
        adapter_->RunUntilIdle();
    }
    return error_.empty();
}

bool DataPath::MoveReceive(uint64_t count) {
    for (uint64_t i = 0; i < count && error_.empty(); ++i) {
        adapter_->Inject(in_[injected_++ % kRing]);
        if (!adapter_->RunUntil([this] { return indicated_ == injected_; }, kFrameLimitUs)) {
            Fail("frame " + std::to_string(injected_ - 1) + " was never indicated");
        }
        // The packet's return and the driver's next bulk-in.
        adapter_->RunUntilIdle();
    }
    return error_.empty();
}

void DataPath::Check(const std::vector<uint8_t>& got,
                     const std::vector<std::vector<uint8_t>>& ring, uint64_t index,
                     const char* where) {
    const std::vector<uint8_t>& want = ring[index % kRing];
    const size_t compared = index % kWholeEvery == 0 ? want.size() : kHeadBytes;
    if (got.size() != want.size() || std::memcmp(got.data(), want.data(), compared) != 0) {
        Fail("frame " + std::to_string(index) + " " + where + " is not the one sent");
    }
}

void DataPath::Fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
}

}  // namespace qvbench
