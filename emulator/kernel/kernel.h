// The hosted kernel: the verifier that watches the driver, virtual time and the scheduler, the
// processor, the pool and the I/O manager. The kernel's platform routines reach it as the
// current kernel; NDIS and the USB bus are built on it (emulator/machine.h composes them).
#pragma once

#include <memory>

namespace emu {

class Scheduler;
class Processor;
class Verifier;
class Pool;
class IoManager;

class Kernel {
public:
    Kernel();
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The kernel the platform routines act on; aborts with a message when there is none.
    // Inline: every platform routine asks, several times a call.
    static Kernel& Current() {
        if (current_ == nullptr) NoMachine();
        return *current_;
    }
    static bool Exists() { return current_ != nullptr; }

    Scheduler& Clock() { return *scheduler_; }
    Processor& Cpu() { return *processor_; }
    Verifier& Check() { return *verifier_; }
    Pool& Memory() { return *pool_; }
    IoManager& Io() { return *io_; }

private:
    [[noreturn]] static void NoMachine();
    static inline Kernel* current_ = nullptr;

    std::unique_ptr<Verifier> verifier_;
    std::unique_ptr<Scheduler> scheduler_;
    std::unique_ptr<Processor> processor_;
    std::unique_ptr<Pool> pool_;
    std::unique_ptr<IoManager> io_;
};

}  // namespace emu
