// In the sanitizer build the pool's guard zones, its quarantine and freed requests are
// poisoned, so AddressSanitizer stops a careless driver at the very access that reads or
// writes them, instead of a pattern check finding the damage later. Each test makes the wrong
// access and sees AddressSanitizer's report. The plain build has nothing to stop the access
// with; its pattern checks are proven in pool_rules_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/poison.h"
#include "emulator/kernel/pool.h"
#include "platform/io.h"
#include "platform/kernel.h"
#include "platform/ndis.h"
#include "tests/kernel/lower_device.h"
#include "tests/support/machine_fixture.h"

namespace {

class SanitizedAccess : public qvtest::MachineFixture {
protected:
    void SetUp() override {
        if (!emu::kAddressSanitizer) GTEST_SKIP() << "needs the sanitizer build (QVNET_SANITIZE=ON)";
    }
};

#if QVNET_ADDRESS_SANITIZER

constexpr ULONG kTag = 0x5A516261;  // "abQZ"

struct Misuse {
    const char* name;
    std::function<void()> access;
    const char* report;  // what AddressSanitizer says about the access
};

void ExpectStoppedAtTheAccess(const Misuse& misuse) {
    SCOPED_TRACE(misuse.name);
    EXPECT_DEATH(misuse.access(), misuse.report);
}

uint8_t* Block(size_t size) {
    PVOID block = nullptr;
    EXPECT_EQ(NdisAllocateMemoryWithTag(&block, static_cast<UINT>(size), kTag), NDIS_STATUS_SUCCESS);
    return static_cast<uint8_t*>(block);
}

#endif

TEST_F(SanitizedAccess, PoolBlockTouchedPastItsEndsOrAfterItsFree) {
#if QVNET_ADDRESS_SANITIZER
    uint8_t* live = Block(10);
    uint8_t* freed = Block(10);
    NdisFreeMemory(freed, 10, 0);
    volatile uint8_t* volatile_live = live;
    volatile uint8_t* volatile_freed = freed;
    const uint8_t frame[11] = {};
    const Misuse misuses[] = {
        {"one byte written past the end", [&] { volatile_live[10] = 0; },
         "use-after-poison.*WRITE of size 1"},
        {"one byte read before the start", [&] { (void)volatile_live[-1]; },
         "use-after-poison.*READ of size 1"},
        {"a copy one byte too long", [&] { std::memcpy(live, frame, sizeof frame); },
         "use-after-poison.*WRITE of size 11"},
        {"read after the free", [&] { (void)volatile_freed[3]; },
         "use-after-poison.*READ of size 1"},
        {"written after the free", [&] { volatile_freed[0] = 1; },
         "use-after-poison.*WRITE of size 1"},
    };
    for (const Misuse& misuse : misuses) ExpectStoppedAtTheAccess(misuse);

    // What the driver may touch, it still can, and the pool's own checks find nothing.
    std::memset(live, 0x5A, 10);
    NdisFreeMemory(live, 10, 0);
    EXPECT_EQ(M().Memory().CheckLeaks(0, "at unload"), 0u);
#endif
}

TEST_F(SanitizedAccess, RequestTouchedAfterItsFree) {
#if QVNET_ADDRESS_SANITIZER
    qvtest::LowerDevice lower(M());
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    // A thread request is freed by the I/O manager when it completes, here inside the call.
    IRP* thread = IoBuildDeviceIoControlRequest(1, lower.Device(), nullptr, 0, nullptr, 0, TRUE,
                                                &event, &iosb);
    ASSERT_EQ(IoCallDriver(lower.Device(), thread), STATUS_SUCCESS);
    ASSERT_EQ(M().Io().Info(thread)->state, emu::IoManager::State::Freed);
    IRP* own = IoAllocateIrp(1, FALSE);
    IoFreeIrp(own);

    const Misuse misuses[] = {
        {"a thread request's status read after its completion",
         [&] { (void)*static_cast<volatile NTSTATUS*>(&thread->IoStatus.Status); },
         "use-after-poison.*READ of size 4"},
        {"a driver's own request written after IoFreeIrp",
         [&] { *static_cast<volatile BOOLEAN*>(&own->Cancel) = TRUE; },
         "use-after-poison.*WRITE of size 1"},
    };
    for (const Misuse& misuse : misuses) ExpectStoppedAtTheAccess(misuse);
#endif
}

}  // namespace
