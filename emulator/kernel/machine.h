// One hosted machine: the kernel, NDIS, the USB bus with its device, and the wire. A test or
// the command creates one; the platform routines the driver calls find it as the current
// machine. Exactly one exists at a time.
#pragma once

#include <memory>

namespace emu {

class Scheduler;
class Processor;
class Verifier;
class Pool;
class IoManager;
namespace ndis {
class Ndis;
}
namespace usb {
class Bus;
}

class Machine {
public:
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine the platform routines act on; aborts with a message when there is none.
    static Machine& Current();
    static bool Exists();

    Scheduler& Clock() { return *scheduler_; }
    Processor& Cpu() { return *processor_; }
    Verifier& Check() { return *verifier_; }
    Pool& Memory() { return *pool_; }
    IoManager& Io() { return *io_; }
    ndis::Ndis& Ndis() { return *ndis_; }
    usb::Bus& Bus() { return *bus_; }

private:
    std::unique_ptr<Verifier> verifier_;
    std::unique_ptr<Scheduler> scheduler_;
    std::unique_ptr<Processor> processor_;
    std::unique_ptr<Pool> pool_;
    std::unique_ptr<IoManager> io_;
    std::unique_ptr<ndis::Ndis> ndis_;
    std::unique_ptr<usb::Bus> bus_;
};

}  // namespace emu
