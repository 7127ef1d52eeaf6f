// Wake-up frame patterns: the CRC against the emulated controller's own bit-by-bit one, and,
// on a running adapter, the slot writes the controller received for each add and removal
// request, the requests refused before anything is programmed, and the controller's verdict on
// frames from the wire.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "controller/wake_patterns.h"
#include "core/adapter.h"
#include "emulator/device/wake.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/requests.h"
#include "emulator/usbbus/bus.h"
#include "emulator/usbbus/faults.h"
#include "tests/support/device_ops.h"
#include "tests/support/running_adapter_fixture.h"
#include "usb/registers.h"

namespace qvtest {
namespace {

using Bytes = std::vector<uint8_t>;
using Outcome = emu::ndis::Requests::Record;
using Texts = std::vector<std::string>;

constexpr uint8_t kSlotBits = 0x38;
const Bytes kDigits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

// The frame bytes a mask selects, in frame order.
Bytes Selected(const Bytes& mask, const Bytes& pattern) {
    Bytes out;
    for (size_t k = 0; k < mask.size() * 8; ++k) {
        if ((mask[k / 8] >> (k % 8) & 1) != 0) out.push_back(pattern.at(k));
    }
    return out;
}

TEST(WakePatternCrc, AgreesWithTheControllersCrcOverTheSelectedBytes) {
    struct Case {
        const char* what;
        Bytes mask, pattern;
    };
    const Case cases[] = {
        {"the check value", {0xFF, 0x01}, kDigits},
        {"a gap", {0x05}, {'a', 'x', 'c'}},
        {"no bytes", {}, {}},
        {"scattered over 16 mask bytes",
         {0x81, 0, 0x10, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80},
         Bytes(128, 0x5A)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes pattern = c.pattern;
        pattern.resize(c.mask.size() * 8, 0xEE);  // bytes the mask skips
        for (size_t i = 0; i < pattern.size(); ++i) pattern[i] ^= static_cast<uint8_t>(i);
        const Bytes selected = Selected(c.mask, pattern);
        EXPECT_EQ(WakePatternCrc(c.mask.data(), static_cast<ULONG>(c.mask.size()), pattern.data()),
                  emu::device::WakeCrc(selected));
    }
    EXPECT_EQ(WakePatternCrc(Bytes{0xFF, 0x01}.data(), 2, kDigits.data()), 0xD64E);
    const Bytes axc = {'a', 'x', 'c'}, ac = {'a', 'c'};
    EXPECT_EQ(WakePatternCrc(Bytes{0x05}.data(), 1, axc.data()),
              WakePatternCrc(Bytes{0x03}.data(), 1, ac.data()));
    EXPECT_EQ(WakePatternCrc(nullptr, 0, nullptr), 0x0000);
}

// An NDIS_PM_PACKET_PATTERN request: header, mask, pattern bytes, with any field overridden.
struct Pattern {
    Bytes mask;
    Bytes pattern;
    std::optional<ULONG> mask_size = std::nullopt;     // default: the mask's length
    std::optional<ULONG> pattern_offset = std::nullopt;// default: right behind the mask
    std::optional<size_t> length = std::nullopt;       // default: everything; else cut or padded

    Bytes Request() const {
        NDIS_PM_PACKET_PATTERN header{};
        header.Priority = 1;
        header.MaskSize = mask_size.value_or(static_cast<ULONG>(mask.size()));
        header.PatternOffset =
            pattern_offset.value_or(static_cast<ULONG>(sizeof header + mask.size()));
        header.PatternSize = static_cast<ULONG>(pattern.size());
        Bytes out(sizeof header);
        std::memcpy(out.data(), &header, sizeof header);
        out.insert(out.end(), mask.begin(), mask.end());
        out.insert(out.end(), pattern.begin(), pattern.end());
        if (length) out.resize(*length, 0x00);
        return out;
    }
};


// What a slot should receive: the mask padded to 16 bytes, 0x00, the CRC low and high,
// the CRC from the controller's own computation.
Bytes SlotImage(const Bytes& mask, const Bytes& pattern) {
    Bytes image = mask;
    image.resize(16, 0x00);
    Bytes padded = pattern;
    padded.resize(mask.size() * 8, 0x00);
    const uint16_t crc = emu::device::WakeCrc(Selected(mask, padded));
    image.push_back(0x00);
    image.push_back(static_cast<uint8_t>(crc));
    image.push_back(static_cast<uint8_t>(crc >> 8));
    return image;
}

constexpr unsigned kSlotRegister[3] = {WakeSlot0, WakeSlot1, WakeSlot2};

class WakePatterns : public RunningAdapterFixture {
protected:
    void SetUp() override {
        AdapterOptions options;
        options.hang_check = false;
        Start(options);
        base_ = Nic().Device().Register(WakeControl);
        ASSERT_EQ(base_ & kSlotBits, 0);
    }

    Outcome Request(NDIS_OID oid, const Pattern& pattern) {
        Nic().Device().ClearControlLog();
        return Nic().Block().Request().Set(oid, pattern.Request());
    }
    Texts Ops() { return DeviceOpTexts(Nic().Device().ControlLog()); }
    std::string WakeControlWrite(uint8_t slots) {
        return RegisterWriteText(WakeControl, {static_cast<uint8_t>(base_ | slots), 0x00});
    }
    Bytes SlotRegisters(int slot) {
        Bytes out;
        for (unsigned i = 0; i < WakeSlotImageSize; ++i) {
            out.push_back(Nic().Device().Register(static_cast<uint8_t>(kSlotRegister[slot] + i)));
        }
        return out;
    }

    // Adds a pattern and checks it went to `slot`, with WakeControl then holding `slots`.
    void Add(const Pattern& pattern, int slot, uint8_t slots) {
        const Outcome outcome = Request(OID_PNP_ADD_WAKE_UP_PATTERN, pattern);
        EXPECT_TRUE(outcome.pended);
        EXPECT_EQ(outcome.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(outcome.bytes_done, pattern.Request().size());
        EXPECT_EQ(outcome.bytes_needed, 0u);
        const Bytes image = SlotImage(pattern.mask, pattern.pattern);
        EXPECT_EQ(Ops(), (Texts{RegisterWriteText(kSlotRegister[slot], image),
                                WakeControlWrite(slots)}));
        EXPECT_EQ(SlotRegisters(slot), image);
    }
    // Removes by a mask, with WakeControl then holding `slots`.
    void Remove(const Bytes& mask, uint8_t slots) {
        const Outcome outcome = Request(OID_PNP_REMOVE_WAKE_UP_PATTERN, Pattern{mask, {}});
        EXPECT_EQ(outcome.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(Ops(), Texts{WakeControlWrite(slots)});
    }

    uint8_t base_ = 0;
};

TEST_F(WakePatterns, TheCheckValueReachesTheSlot) {
    Add(Pattern{{0xFF, 0x01}, kDigits}, 0, 0x20);
    EXPECT_EQ(Nic().Device().Register(WakeSlot0 + 17), 0x4E);
    EXPECT_EQ(Nic().Device().Register(WakeSlot0 + 18), 0xD6);
    EXPECT_EQ(Nic().Device().Register(WakeControl), base_ | 0x20);
}

TEST_F(WakePatterns, SlotsFillInOrderAndAFourthReplacesSlotTwo) {
    Add(Pattern{{0x0F}, {1, 2, 3, 4}}, 0, 0x20);
    Add(Pattern{{0xF0}, {1, 2, 3, 4, 5, 6, 7, 8}}, 1, 0x30);
    Add(Pattern{{0x00, 0x01}, Bytes(9, 0x33)}, 2, 0x38);
    Add(Pattern{{0x03}, {0xAA, 0xBB}}, 2, 0x38);
    // A freed slot is refilled lowest first; a pattern of no bytes still takes a slot.
    Remove({0x0F}, 0x18);
    Add(Pattern{{}, {}}, 0, 0x38);
    EXPECT_EQ(SlotRegisters(0), Bytes(19, 0x00));
}

// Removal compares masks only, over the request's mask bytes, against every slot.
TEST_F(WakePatterns, RemovalByMask) {
    const Bytes mask = {0x3F, 0x00, 0x00, 0x30};
    Bytes mask16 = mask;
    mask16.resize(16, 0x00);

    Add(Pattern{mask, Bytes(30, 0x11)}, 0, 0x20);
    Remove(mask, 0x00);
    Add(Pattern{mask, Bytes(30, 0x22)}, 0, 0x20);
    Remove(mask16, 0x00);

    Add(Pattern{mask, Bytes(30, 0x33)}, 0, 0x20);
    Add(Pattern{mask, Bytes(30, 0x44)}, 1, 0x30);
    Add(Pattern{{0x3F, 0x00, 0x00, 0x31}, Bytes(30, 0x55)}, 2, 0x38);
    Remove({0x3F, 0x00, 0x00, 0x32}, 0x38);  // same first byte, a later one differs
    Remove({}, 0x38);                        // no bytes: matches nothing, still written
    Remove(mask, 0x08);                      // both slots holding it
    Remove(mask, 0x08);                      // slots already off are compared too
}

// Requests that name bytes outside what they carry, or more mask than a slot holds: refused
// before anything is copied, programmed or switched.
TEST_F(WakePatterns, BadRequestsProgramNothing) {
    const Bytes mask = {0xFF, 0x01};
    Add(Pattern{mask, kDigits}, 0, 0x20);
    const Bytes slot0 = SlotRegisters(0);

    struct Case {
        const char* what;
        NDIS_OID oid;
        Pattern pattern;
        NDIS_STATUS status;
    };
    const NDIS_OID add = OID_PNP_ADD_WAKE_UP_PATTERN, remove = OID_PNP_REMOVE_WAKE_UP_PATTERN;
    Bytes mask17 = mask;
    mask17.resize(17, 0x00);
    const Case cases[] = {
        {"add, shorter than the header", add, {{}, {}, 0, 24, 23}, NDIS_STATUS_INVALID_LENGTH},
        {"remove, empty", remove, {{}, {}, 0, 24, 0}, NDIS_STATUS_INVALID_LENGTH},
        {"add, 17 mask bytes", add, {mask17, Bytes(9, '1')}, NDIS_STATUS_INVALID_DATA},
        {"remove, 17 mask bytes", remove, {mask17, {}}, NDIS_STATUS_INVALID_DATA},
        {"add, mask past the end", add, {mask, {}, 8, 26, 28}, NDIS_STATUS_INVALID_DATA},
        {"remove, mask past the end", remove, {mask, {}, 3}, NDIS_STATUS_INVALID_DATA},
        {"add, pattern offset past the end", add, {{0x00}, {}, 1, 1000}, NDIS_STATUS_INVALID_DATA},
        {"add, a selected byte past the end", add, {mask, Bytes(kDigits.begin(), kDigits.end() - 1)},
         NDIS_STATUS_INVALID_DATA},
        // Only 168 bytes are taken in: pattern bytes 160 to 168 are not all there.
        {"add, a selected byte past the copied part", add, {mask, {}, 2, 160, 200},
         NDIS_STATUS_INVALID_DATA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = Request(c.oid, c.pattern);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_FALSE(outcome.pended);
        if (c.status == NDIS_STATUS_INVALID_LENGTH) {
            EXPECT_EQ(outcome.bytes_needed, 24u);
        }
        EXPECT_EQ(Ops(), Texts{});
        EXPECT_EQ(Record().WakeControl, base_ | 0x20);
        EXPECT_EQ(Nic().Device().Register(WakeControl), base_ | 0x20);
        EXPECT_EQ(SlotRegisters(0), slot0);
    }
    // The next add still goes to slot 1: no refused add took a slot.
    Add(Pattern{{0x01}, {0x77}}, 1, 0x30);
}

// A slot image that never reached the controller leaves its slot off: the request fails, the
// WakeControl write that follows does not switch the slot on, and the next pattern takes it.
TEST_F(WakePatterns, ASlotWhoseImageWasNotWrittenStaysOff) {
    emu::usb::Fault fault;
    fault.when = [](const emu::usb::Submission& s) {
        return s.setup && s.setup->request_type == RegisterWriteRequestType &&
               s.setup->index == WakeSlot0;
    };
    fault.action = emu::usb::FaultAction::PendForever;
    M().Bus().Faults().Add(fault);

    const Outcome outcome = Request(OID_PNP_ADD_WAKE_UP_PATTERN, Pattern{{0xFF, 0x01}, kDigits});
    EXPECT_TRUE(outcome.pended);
    EXPECT_EQ(outcome.status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(Ops(), Texts{WakeControlWrite(0x00)});
    EXPECT_EQ(Nic().Device().Register(WakeControl), base_);

    M().Bus().Faults().Clear();
    Add(Pattern{{0x0F}, {1, 2, 3, 4}}, 0, 0x20);
}

// A request longer than the pattern buffer is taken up to its size.
TEST_F(WakePatterns, ALongRequestIsTakenAsFarAsTheBufferHolds) {
    Pattern pattern{{0xFF, 0x01}, kDigits};
    pattern.length = 200;
    const Outcome outcome = Request(OID_PNP_ADD_WAKE_UP_PATTERN, pattern);
    EXPECT_EQ(outcome.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(outcome.bytes_done, 200u);
    EXPECT_EQ(Ops(), (Texts{RegisterWriteText(WakeSlot0, SlotImage(pattern.mask, kDigits)),
                            WakeControlWrite(0x20)}));

    // The last pattern byte the buffer holds may be selected.
    Bytes mask(16, 0x00);
    mask[15] = 0x80;  // frame byte 127
    Pattern last{mask, {}, 16, 168 - 128, 200};
    Bytes request = last.Request();
    request[167] = 0x9C;
    Nic().Device().ClearControlLog();
    const Outcome outcome2 = Nic().Block().Request().Set(OID_PNP_ADD_WAKE_UP_PATTERN, request);
    EXPECT_EQ(outcome2.status, NDIS_STATUS_SUCCESS);
    Bytes frame(128, 0x00);
    frame[127] = 0x9C;
    EXPECT_EQ(Ops(), (Texts{RegisterWriteText(WakeSlot1, SlotImage(mask, frame)),
                            WakeControlWrite(0x30)}));
}

// The emulated controller's verdict on frames from the wire once a pattern is programmed:
// destination address and EtherType selected, the source address not.
TEST_F(WakePatterns, AFrameMatchingThePatternWakesTheHost) {
    const Bytes frame = FrameIn(100, 7);
    const Bytes mask = {0x3F, 0x30};
    Add(Pattern{mask, Bytes(frame.begin(), frame.begin() + 14)}, 0, 0x20);
    Add(Pattern{{0xFF}, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}}, 1, 0x30);

    struct Case {
        const char* what;
        size_t changed_byte;  // 0: none
        bool wakes;
    };
    const Case cases[] = {
        {"the frame itself", 0, true},
        {"another source address", 7, true},
        {"another EtherType", 13, false},
        {"another destination", 5, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes sent = frame;
        if (c.changed_byte != 0) sent[c.changed_byte] ^= 0x01;
        Nic().Device().ClearWakeEvents();
        Nic().Inject(sent);
        Nic().Run(20'000);
        const auto& events = Nic().Device().WakeEvents();
        if (c.wakes) {
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].reason, emu::device::WakeReason::kFrameSlot);
            EXPECT_EQ(events[0].slot, 0);
        } else {
            EXPECT_TRUE(events.empty());
        }
    }
}

}  // namespace
}  // namespace qvtest
