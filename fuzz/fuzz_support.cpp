#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>

#include "emulator/verifier/verifier.h"

namespace qvfuzz {

void Fail(const char* what) {
    std::fprintf(stderr, "qvnet fuzz: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

std::unique_ptr<emu::Machine> NewMachine() {
    auto machine = std::make_unique<emu::Machine>();
    machine->Check().OnReport([](const emu::Violation& violation) {
        std::fprintf(stderr, "verifier: %s\n", emu::Describe(violation).c_str());
        Fail("verifier report");
    });
    return machine;
}

qvtest::RunningAdapter& SharedAdapter(qvtest::AdapterOptions options) {
    // Never destroyed: the process ends with the fuzzer, and a halt at exit proves nothing an
    // input did.
    static emu::Machine* machine = NewMachine().release();
    static qvtest::RunningAdapter* nic = [&] {
        auto* made = new qvtest::RunningAdapter(*machine, std::move(options));
        if (made->Start() != NDIS_STATUS_SUCCESS) Fail("the shared adapter did not start");
        made->KeepRecords(false);
        made->RunUntilIdle();
        return made;
    }();
    return *nic;
}

void CheckStillListening(qvtest::RunningAdapter& nic) {
    if (!nic.Host().Check().Clean()) Fail("verifier report");
    if (!nic.Running()) Fail("the adapter stopped running");
    if (nic.Bulk().Outstanding(qvtest::RunningAdapter::kBulkIn) != 1) {
        Fail("no bulk-in transfer waits at the bus");
    }
}

}  // namespace qvfuzz
