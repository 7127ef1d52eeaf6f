// TAP interfaces: names refused before anything is created, a name already in use, and a
// descriptor that never blocks. (Frames through them: tests/tap.) Needs /dev/net/tun and
// CAP_NET_ADMIN (CI runs as root); without them the test fails with the reason.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "emulator/wire/tap_device.h"

namespace {

using emu::wire::TapDevice;

std::string UniqueName(const char* stem) { return stem + std::to_string(::getpid() % 100000); }

TEST(TapDevice, RefusesNamesTheKernelCannotTake) {
    for (const std::string& name : {std::string(), std::string(16, 'x')}) {
        std::string error;
        EXPECT_FALSE(TapDevice::Create(name, &error));
        EXPECT_NE(error.find("characters"), std::string::npos) << error;
    }
}

TEST(TapDevice, SaysWhenTheNameIsTaken) {
    std::string error;
    std::optional<TapDevice> first = TapDevice::Create(UniqueName("qvtt"), &error);
    ASSERT_TRUE(first) << error;
    EXPECT_FALSE(TapDevice::Create(first->Name(), &error));
    EXPECT_NE(error.find("taken"), std::string::npos) << error;
    EXPECT_FALSE(TapDevice::Create("lo", &error));
    EXPECT_NE(error.find("taken"), std::string::npos) << error;
}

TEST(TapDevice, ReadsNothingWhenIdleAndRefusesWritesWhileDown) {
    std::string error;
    std::optional<TapDevice> tap = TapDevice::Create(UniqueName("qvtd"), &error);
    ASSERT_TRUE(tap) << error;
    EXPECT_FALSE(tap->ReadFrame());  // non-blocking: returns at once
    EXPECT_FALSE(tap->WriteFrame(std::vector<uint8_t>(60, 0xFF)));
    ASSERT_TRUE(tap->SetAddress({0x02, 0x51, 0x56, 0x00, 0x00, 0x01}, &error)) << error;
    tap->Close();
    EXPECT_EQ(tap->Descriptor(), -1);
    EXPECT_FALSE(tap->ReadFrame());
}

}  // namespace
