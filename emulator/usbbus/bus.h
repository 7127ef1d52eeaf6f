// The USB bus driver below the adapter: the physical device object of the plugged device,
// URB dispatch, pipes, the trace hook and the fault hooks. The USBD configuration routines
// live in usbd.cpp.
//
// Timing: a control transfer takes kControlTimeUs; bulk and interrupt packets share the bus
// at kPacketsPerFrame packets of 64 bytes per 1 ms frame; a bulk IN transfer waits until the
// device has data. Every pended request completes from a scheduler item (DISPATCH_LEVEL).
//
// Errors as a host controller has them: a data transfer that ends in any error halts its
// pipe, and every later transfer on it fails with USBD_STATUS_ENDPOINT_HALTED until the
// client resets the pipe. A bulk IN transfer ends at the device's short packet or with its
// buffer full; the device keeps what did not fit for the next transfer.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "emulator/kernel/scheduler.h"
#include "emulator/usbbus/device.h"
#include "emulator/usbbus/faults.h"
#include "emulator/usbbus/trace.h"
#include "platform/io.h"
#include "platform/usb.h"

namespace emu {
class Kernel;
namespace usb {

class Bus {
public:
    static constexpr uint64_t kControlTimeUs = 1000;
    static constexpr uint64_t kAbortTimeUs = 1000;      // unlinking takes a frame
    static constexpr uint64_t kCyclePortTimeUs = 10'000;
    static constexpr uint32_t kPacketsPerFrame = 19;
    static constexpr uint16_t kBusNumber = 1;
    static constexpr size_t kDefaultRemovalResubmitLimit = 256;

    explicit Bus(Kernel& kernel);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // ---- The port (test face) ---------------------------------------------------------------

    // Plugs a device into the one port: creates the bus driver's driver object (once) and a
    // physical device object for it, and enumerates it. The bus keeps the device (also after
    // an unplug, so a test can still look at it) until the bus goes.
    template <class D>
    D& Plug(std::unique_ptr<D> device) {
        D& plugged = *device;
        PlugDevice(std::move(device));
        return plugged;
    }
    // Surprise removal: every pending request completes with a device-gone status (from the
    // scheduler), and every later one fails at once.
    void Unplug();
    // Told after an unplug (the PnP side sends its surprise removal from here).
    void OnUnplug(std::function<void()> listener) { unplug_listener_ = std::move(listener); }
    // The port's power goes and comes back, as across a system sleep on a host whose
    // controller is not kept powered: the device is reset and enumerated again on the same
    // physical device object. Its configuration is lost, so every pipe handle dies and a
    // request still on a pipe ends with USBD_STATUS_DEVICE_GONE.
    void PowerCycle();
    // Virtual times of each power cycle.
    const std::vector<uint64_t>& PowerCycles() const { return power_cycles_; }
    bool DevicePresent() const { return device_ != nullptr && !gone_; }
    Device* PluggedDevice() const { return device_.get(); }  // the last one plugged
    DEVICE_OBJECT* PhysicalDeviceObject() const { return pdo_; }
    uint8_t DeviceAddress() const { return address_; }

    // PnP minor codes the physical device object received, in order.
    const std::vector<UCHAR>& PnpLog() const { return pnp_log_; }
    // Virtual times at which port cycles took effect.
    const std::vector<uint64_t>& PortCycles() const { return port_cycles_; }
    // Requests the bus holds right now.
    size_t PendingRequests() const { return transfers_.size(); }
    // Requests handed to the bus so far (what Submission::serial counts).
    uint64_t Submissions() const { return submissions_; }

    // ---- Hooks and modes --------------------------------------------------------------------

    FaultPlan& Faults() { return faults_; }
    void SetTraceHook(TraceHook hook) { trace_hook_ = std::move(hook); }
    // Complete bulk transfers, aborts and port cycles inside IoCallDriver when the device can
    // answer at once (a bulk IN transfer still waits for data unless the device already has
    // it). Control transfers still take their bus time.
    void SetCompleteAtOnce(bool on) { complete_at_once_ = on; }
    // After an unplug, more submissions than this are a client that does not stop (REMOVAL).
    void SetRemovalResubmitLimit(size_t limit) { removal_limit_ = limit; }

    // The order in which an abort and the transfers it cancels come back to the client. The
    // transfers leave the pipe when the abort is taken either way; a real bus promises no
    // order between the completions, so a client must not assume one.
    enum class AbortOrder {
        TransfersFirst,  // the cancelled transfers, then the abort
        AbortFirst,      // the abort, then the cancelled transfers a frame later
        Seeded,          // each abort picks one of the two, reproducibly from the seed
    };
    void SetAbortOrder(AbortOrder order, uint32_t seed = 0) {
        abort_order_ = order;
        abort_choice_.seed(seed);
    }

    // How a short packet on a bulk or interrupt IN transfer without USBD_SHORT_TRANSFER_OK
    // ends: an error on UHCI and OHCI controllers, success on EHCI, which ignores the flag
    // (_URB_BULK_OR_INTERRUPT_TRANSFER's page, learn.microsoft.com/windows-hardware/drivers/
    // ddi/usb/ns-usb-_urb_bulk_or_interrupt_transfer). A client must be right on both.
    enum class HostController { Uhci, Ehci };
    void SetHostController(HostController model) { host_controller_ = model; }
    HostController Controller() const { return host_controller_; }

    // ---- The platform side (dispatch routines of the physical device object) ----------------

    NTSTATUS DispatchPnp(DEVICE_OBJECT* device, IRP* irp);
    NTSTATUS DispatchInternalControl(DEVICE_OBJECT* device, IRP* irp);
    void CancelRequest(IRP* irp);

private:
    struct Pipe {
        USBD_PIPE_HANDLE handle = nullptr;  // null: the default pipe
        uint8_t endpoint = 0;
        uint8_t type = USB_ENDPOINT_TYPE_CONTROL;
        uint16_t max_packet = 64;
        uint8_t interval = 0;
        ULONG max_transfer = 0;
        bool valid = true;    // belongs to the current configuration
        bool halted = false;
        bool moving = false;  // the head transfer is on the bus
        std::deque<uint64_t> queue;  // transfer ids, head first
        bool In() const { return (endpoint & USB_ENDPOINT_DIRECTION_IN) != 0; }
    };

    enum class Kind { Control, Data, Abort, CyclePort };
    enum class Action { None, SelectConfiguration, ResetPipe };
    enum class Stage { Queued, Moving, Held, Ending };

    struct Transfer {
        uint64_t id = 0;
        IRP* irp = nullptr;
        URB* urb = nullptr;        // null for a port cycle
        Kind kind = Kind::Control;
        Action action = Action::None;  // done on the bus's side when the transfer succeeds
        Stage stage = Stage::Queued;
        Pipe* pipe = nullptr;      // control and data: the pipe it queues on
        Pipe* target = nullptr;    // abort and reset: the pipe acted on
        Setup setup;
        std::optional<Fault> fault;
        Scheduler::Id timer = 0;
        bool stalled = false;            // the device answered with a stall handshake
        bool in_ended = false;           // IN: the device's packets are all taken
        USBD_STATUS in_status = USBD_STATUS_SUCCESS;  // IN: babble ends it in error
        std::vector<uint8_t> in_data;
        bool collected = false;          // abort: its victims are chosen
        std::vector<uint64_t> aborted;
    };

    using Transfers = std::map<uint64_t, std::unique_ptr<Transfer>>;

    // How a request ends: what the bus writes back into the URB and the request.
    struct Outcome {
        Outcome() = default;
        Outcome(USBD_STATUS status_in, uint32_t length_in = 0)
            : status(status_in), length(length_in) {}
        USBD_STATUS status = USBD_STATUS_SUCCESS;
        uint32_t length = 0;           // bytes moved
        std::vector<uint8_t> in_data;  // IN data for the client's buffer
    };

    // The port (bus.cpp).
    void PlugDevice(std::unique_ptr<Device> device);
    void Enumerate();
    void RegisterLiveCheck();
    std::string LiveIn(const void* begin, size_t size);
    // Taking a request (dispatch.cpp).
    NTSTATUS SubmitUrb(IRP* irp, URB* urb, uint64_t serial);
    NTSTATUS Accept(std::unique_ptr<Transfer> transfer, const Submission& submission);
    bool CanAnswerAtOnce(const Transfer& transfer) const;
    NTSTATUS Pend(std::unique_ptr<Transfer> transfer);
    std::unique_ptr<Transfer> NewTransfer();
    void Hold(std::unique_ptr<Transfer> transfer);
    std::unique_ptr<Transfer> Release(Transfers::iterator held);
    void Keep(std::unique_ptr<Transfer> transfer, std::vector<uint8_t> in_data);
    NTSTATUS RefuseAtOnce(IRP* irp, URB* urb, USBD_STATUS status, const Transfer* described);
    NTSTATUS GoneAtOnce(IRP* irp, URB* urb);
    void NoteIrql(const char* what);
    // Ending it (completion.cpp).
    Pipe* Unqueue(Transfer& transfer);
    void Due(uint64_t id);
    Outcome Execute(Transfer& transfer);
    static std::optional<USBD_STATUS> FaultStatus(const Fault* fault);
    void CutShort(const Transfer& transfer, uint32_t length, Outcome& outcome) const;
    void Finish(uint64_t id, Outcome outcome);
    void HaltOnError(const Transfer& transfer, USBD_STATUS status);
    void CompleteRequest(IRP* irp, URB* urb, const Outcome& outcome);
    void Trace(char type, const Transfer& transfer, const Outcome* outcome);

    // Checks (urb_checks.cpp): each reports its rule and gives the status to refuse with.
    void ReportForm(std::string detail);
    void ReportPipe(std::string detail);
    void ReportIfPaged(const void* address, const char* what);  // IRQL_CALL
    std::optional<USBD_STATUS> CheckForm(const URB* urb);
    std::optional<USBD_STATUS> CheckReserved(const URB* urb);
    std::optional<USBD_STATUS> CheckBuffer(const void* buffer, size_t length, bool has_mdl);
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    std::optional<USBD_STATUS> CheckDataTransfer(const URB* urb, Pipe** pipe);

    // Control transfers and configurations (control.cpp).
    std::optional<USBD_STATUS> BuildControl(URB* urb, Transfer& transfer);
    std::optional<USBD_STATUS> BuildSelectConfiguration(URB* urb, Transfer& transfer);
    Outcome RunControl(Transfer& transfer);
    void ApplyAction(Transfer& transfer);
    void ApplySelectConfiguration(Transfer& transfer);
    void RetirePipes(USBD_STATUS pending_status);
    USBD_PIPE_HANDLE NewHandle();

    // Pipes, bus time, abort and port cycle (pipes.cpp).
    void StartNext(Pipe* pipe);
    uint32_t PacketsFor(size_t bytes, uint16_t max_packet) const;
    uint64_t Occupy(uint32_t packets);
    uint32_t PullIn(Transfer& transfer);
    Outcome RunData(Transfer& transfer);
    void OnInReady(uint8_t endpoint);
    std::optional<USBD_STATUS> BuildPipeRequest(URB* urb, Transfer& transfer);
    void CollectAborted(Transfer& abort);
    Outcome EndAborted(Transfer& abort);
    bool AbortGoesFirst();
    Outcome CyclePort();

    Kernel& kernel_;
    DRIVER_OBJECT* driver_ = nullptr;
    DEVICE_OBJECT* pdo_ = nullptr;
    std::vector<DEVICE_OBJECT*> pdos_;  // every one made, the current one last
    std::unique_ptr<Device> device_;
    std::vector<std::unique_ptr<Device>> unplugged_;
    bool gone_ = false;
    uint8_t address_ = 0;
    uint8_t next_address_ = 2;

    Pipe default_pipe_;
    std::vector<std::unique_ptr<Pipe>> pipes_;  // never shrinks: a handle stays decodable
    std::map<USBD_PIPE_HANDLE, Pipe*> open_pipes_;
    uintptr_t next_handle_ = 0x51B0'0000;
    USBD_CONFIGURATION_HANDLE configuration_ = nullptr;

    Transfers transfers_;  // held requests, by id
    // Records of ended transfers (with their buffers' capacity) and the map's nodes, for the
    // next ones: a data path starts and ends one or two a frame.
    std::vector<std::unique_ptr<Transfer>> spare_transfers_;
    std::vector<Transfers::node_type> spare_nodes_;
    uint64_t next_id_ = 1;
    uint64_t submissions_ = 0;
    uint64_t bulk_free_at_us_ = 0;

    std::vector<UCHAR> pnp_log_;
    std::vector<uint64_t> port_cycles_;
    std::vector<uint64_t> power_cycles_;
    FaultPlan faults_;
    TraceHook trace_hook_;
    std::vector<uint8_t> trace_data_;  // a record's data buffer, kept for the next record
    std::function<void()> unplug_listener_;
    bool complete_at_once_ = false;
    AbortOrder abort_order_ = AbortOrder::TransfersFirst;
    HostController host_controller_ = HostController::Uhci;
    // Whether a short IN data transfer without USBD_SHORT_TRANSFER_OK fails on this controller.
    bool ShortIsError(ULONG transfer_flags) const {
        return host_controller_ == HostController::Uhci &&
               (transfer_flags & USBD_SHORT_TRANSFER_OK) == 0;
    }
    std::mt19937 abort_choice_;
    size_t removal_limit_ = kDefaultRemovalResubmitLimit;
    size_t after_removal_ = 0;
    bool removal_reported_ = false;
    bool live_check_registered_ = false;
    std::shared_ptr<Bus*> self_;  // what the pool's live check reaches the bus through
};

// The request status that goes with a URB status (status.cpp).
NTSTATUS NtStatusFor(USBD_STATUS status);
// Whether a data transfer that ran on its pipe and ended with this status leaves the endpoint
// halted, as a host controller does after any error of the transfer.
bool HaltsEndpoint(USBD_STATUS status);

}  // namespace usb
}  // namespace emu
