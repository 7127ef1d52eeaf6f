// What every fuzz target shares: a hosted machine whose verifier turns any report into a
// crash, and a running adapter on it, either kept for the whole run or made per input.
#pragma once

#include <memory>

#include "emulator/machine.h"
#include "emulator/verifier/verifier.h"
#include "tests/support/harness/running_adapter.h"

namespace qvfuzz {

// Prints the message and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fail(const char* what);

// A machine whose every unexpected verifier report is printed, then aborts the process.
std::unique_ptr<emu::Machine> NewMachine();

// One machine and one running adapter that outlive the inputs (made at the first call),
// keeping no per-frame records. Aborts when the adapter does not start.
qvtest::RunningAdapter& SharedAdapter(qvtest::AdapterOptions options = {});

// After an input: the verifier has nothing, the adapter still runs and still listens on the
// bulk-in pipe.
void CheckStillListening(qvtest::RunningAdapter& nic);

}  // namespace qvfuzz
