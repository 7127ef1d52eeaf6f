// Bulk pipes: bus time by packets, IN transfers that wait for data and end at a short packet
// or a full buffer, and a failed transfer that leaves its pipe halted until it is reset.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "tests/usbbus/usb_client.h"

namespace qvtest {
namespace {

class BulkPipes : public UsbFixture {
protected:
    void SetUp() override {
        Plug();
        Configure();
        Device().SetRegister(0x00, 0xC0);  // transmit and receive enabled
        Device().SetRegister(0x01, 0x30);  // at PHY 1's 100 Mb/s full duplex
    }
};

TEST_F(BulkPipes, OutTransfersTakeTheirPacketsBusTimeNineteenPacketsAFrame) {
    // 19 full packets fill one 1 ms frame; queued transfers follow one another.
    std::vector<UCHAR> transfer(19 * 64);
    transfer[0] = 0xFE;
    transfer[1] = 0x04;  // 1278: the whole transfer after the length
    URB first = BulkUrb(BulkOut(), 0, transfer.data(), 19 * 64);
    URB second = BulkUrb(BulkOut(), 0, transfer.data(), 19 * 64);
    URB zero = BulkUrb(BulkOut(), 0, nullptr, 0);
    const uint64_t start = Now();
    Completion& a = SubmitAsync(&first);
    Completion& b = SubmitAsync(&second);
    Completion& c = SubmitAsync(&zero);
    Settle();
    EXPECT_EQ(a.time_us - start, 1000u);
    EXPECT_EQ(b.time_us - start, 2000u);
    EXPECT_EQ(c.time_us - start, 2053u);  // one zero-length packet: 1/19 ms, rounded up
    EXPECT_EQ(first.UrbBulkOrInterruptTransfer.TransferBufferLength, 19u * 64u);
}

std::vector<uint8_t> Counting(size_t length, uint8_t from = 0) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(from + i);
    return data;
}

TEST_F(BulkPipes, InTransfersWaitForDataAndEndAtTheDevicesShortPacket) {
    UCHAR buffer[1536];
    struct Case {
        const char* name;
        size_t queued;  // bytes the device sends
        ULONG asked;    // TransferBufferLength
    } cases[] = {
        {"short packet", 68, 1536},
        {"whole packets, then a zero-length one", 128, 1536},
        {"zero-length packet alone", 0, 1536},
        {"a zero-length transfer", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        URB urb = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                          c.asked);
        Completion& done = SubmitAsync(&urb);
        Advance(10'000);
        EXPECT_FALSE(done.done);
        const std::vector<uint8_t> data = Counting(c.queued, 7);
        Device().QueueRaw(data);
        Settle();
        EXPECT_EQ(done.status, STATUS_SUCCESS);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
        ASSERT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, c.queued);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer));
        EXPECT_EQ(Device().ReceiveQueued(), 0u);
    }
}

// A short packet on a bulk IN transfer without USBD_SHORT_TRANSFER_OK fails the transfer, and
// halts the pipe, on UHCI and OHCI; EHCI ignores the flag and ends the transfer with success.
TEST_F(BulkPipes, AShortPacketWithoutTheFlagFailsOnUhciOnly) {
    using Model = emu::usb::Bus::HostController;
    for (Model model : {Model::Uhci, Model::Ehci}) {
        const bool ehci = model == Model::Ehci;
        SCOPED_TRACE(ehci ? "EHCI" : "UHCI");
        Bus().SetHostController(model);
        UCHAR buffer[1536];
        Device().QueueRaw(Counting(68));
        URB urb = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN, buffer, sizeof buffer);
        EXPECT_EQ(SubmitSync(&urb), ehci ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
        EXPECT_EQ(urb.UrbHeader.Status,
                  ehci ? USBD_STATUS_SUCCESS : USBD_STATUS_ERROR_SHORT_TRANSFER);
        EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 68u);

        Device().QueueRaw(Counting(10));
        urb = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN, buffer, sizeof buffer);
        SubmitSync(&urb);
        EXPECT_EQ(urb.UrbHeader.Status,
                  ehci ? USBD_STATUS_SUCCESS : USBD_STATUS_ENDPOINT_HALTED);
        if (!ehci) {
            URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, BulkIn());
            ASSERT_EQ(SubmitSync(&reset), STATUS_SUCCESS);
            urb = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                          sizeof buffer);
            EXPECT_EQ(SubmitSync(&urb), STATUS_SUCCESS);  // the 10 bytes left behind
        }
    }
}

// USB ends a transfer when the host's buffer is full: what the device has left is not an
// error, it waits for the next transfer. After whole packets that is the device's
// zero-length packet, which the next transfer receives as a transfer of its own.
TEST_F(BulkPipes, AnInTransferWhoseBufferFillsLeavesTheRestForTheNext) {
    const std::vector<uint8_t> data = Counting(200);
    Device().QueueRaw(data);
    Device().QueueRaw(Counting(1536, 3));
    UCHAR buffer[1536];
    struct Read {
        ULONG asked;
        size_t from, moved;  // where in `data` (or the second transfer) and how much
        bool second;
    } reads[] = {
        {128, 0, 128, false},   // two whole packets fill it
        {64, 128, 64, false},   // one more
        {1536, 192, 8, false},  // the short packet that ends the device's first transfer
        {1536, 0, 1536, true},  // exactly full: its zero-length packet is still to come
        {1536, 0, 0, false},    // and here it is
    };
    const std::vector<uint8_t> second = Counting(1536, 3);
    for (const Read& r : reads) {
        SCOPED_TRACE(r.asked);
        URB urb = BulkUrb(BulkIn(), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer,
                          r.asked);
        EXPECT_EQ(SubmitSync(&urb), STATUS_SUCCESS);
        ASSERT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, r.moved);
        const std::vector<uint8_t>& source = r.second ? second : data;
        EXPECT_TRUE(std::equal(buffer, buffer + r.moved, source.begin() + r.from));
    }
    EXPECT_EQ(Device().ReceiveQueued(), 0u);
}

// A transfer that fails halts its pipe, whatever the failure: every later transfer fails with
// ENDPOINT_HALTED, without reaching the device, until the client resets the pipe.
TEST_F(BulkPipes, AnyFailedTransferHaltsItsPipeUntilReset) {
    UCHAR buffer[1536];
    const ULONG in = USBD_TRANSFER_DIRECTION_IN;
    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool on_in;
        ULONG flags, asked;
        USBD_STATUS status;
        ULONG moved;
        size_t left;  // bytes the device still holds for the transfer after the reset
    } cases[] = {
        {"short without USBD_SHORT_TRANSFER_OK", [&] { Device().QueueRaw(Counting(68)); },
         true, in, 1536, USBD_STATUS_ERROR_SHORT_TRANSFER, 68, 0},
        {"babble: a packet longer than the room left", [&] { Device().QueueRaw(Counting(200)); },
         true, in | USBD_SHORT_TRANSFER_OK, 100, USBD_STATUS_BABBLE_DETECTED, 64, 136},
        {"the device stalls", [&] { Device().HaltEndpoint(0x02); }, false, 0, 60,
         USBD_STATUS_STALL_PID, 0, 0},
        {"no answer from the device",
         [&] {
             Bus().Faults().Add({emu::usb::match::Endpoint(0x02), emu::usb::FaultAction::Fail,
                                 USBD_STATUS_DEV_NOT_RESPONDING});
         },
         false, 0, 60, USBD_STATUS_DEV_NOT_RESPONDING, 0, 0},
        {"a stall injected on IN",
         [&] {
             Device().QueueRaw(Counting(68));
             Bus().Faults().Add({emu::usb::match::Endpoint(0x81), emu::usb::FaultAction::Stall});
         },
         true, in | USBD_SHORT_TRANSFER_OK, 1536, USBD_STATUS_STALL_PID, 0, 68},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const USBD_PIPE_HANDLE pipe = c.on_in ? BulkIn() : BulkOut();
        const uint8_t endpoint = c.on_in ? 0x81 : 0x02;
        const ULONG later_flags = c.on_in ? in | USBD_SHORT_TRANSFER_OK : 0;
        buffer[0] = 58;  // an OUT transfer carries a frame of 58 bytes
        buffer[1] = 0;
        c.arrange();
        URB urb = BulkUrb(pipe, c.flags, buffer, c.asked);
        EXPECT_EQ(SubmitSync(&urb), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(urb.UrbHeader.Status, c.status);
        EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, c.moved);

        const size_t on_wire = Device().Wire().Sent().size();
        const size_t in_device = Device().ReceiveQueued();
        for (int i = 0; i < 2; ++i) {
            urb = BulkUrb(pipe, later_flags, buffer, 60);
            EXPECT_EQ(SubmitSync(&urb), STATUS_UNSUCCESSFUL);
            EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
        }
        EXPECT_EQ(Device().Wire().Sent().size(), on_wire);
        EXPECT_EQ(Device().ReceiveQueued(), in_device);

        Device().ClearControlLog();
        URB reset = PipeUrb(URB_FUNCTION_RESET_PIPE, pipe);
        EXPECT_EQ(SubmitSync(&reset), STATUS_SUCCESS);
        // Resetting the pipe clears the endpoint's halt on the device as well.
        ASSERT_EQ(Device().ControlLog().size(), 1u);
        EXPECT_EQ(LastRequest().request, USB_REQUEST_CLEAR_FEATURE);
        EXPECT_EQ(LastRequest().value, USB_FEATURE_ENDPOINT_STALL);
        EXPECT_EQ(LastRequest().index, endpoint);
        EXPECT_FALSE(Device().EndpointHalted(endpoint));

        if (c.on_in && c.left == 0) Device().QueueRaw(Counting(10));
        urb = BulkUrb(pipe, later_flags, buffer, c.on_in ? 1536 : 60);
        EXPECT_EQ(SubmitSync(&urb), STATUS_SUCCESS);
        if (c.on_in)
            EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, c.left ? c.left : 10);
        else
            EXPECT_EQ(Device().Wire().Sent().size(), on_wire + 1);
        EXPECT_EQ(Device().ReceiveQueued(), 0u);
    }
}

}  // namespace
}  // namespace qvtest
