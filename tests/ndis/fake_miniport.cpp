#include "tests/ndis/fake_miniport.h"

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/scheduler.h"
#include "platform/kernel.h"

namespace qvtest {

FakeMiniport* FakeMiniport::current = nullptr;
FakeBus* FakeBus::current = nullptr;

namespace {

FakeMiniport& Fake() { return *FakeMiniport::current; }

void Note(const char* handler) {
    Fake().irql[handler] = KeGetCurrentIrql();
    if (Fake().events != nullptr) Fake().events->push_back(handler);
}

NDIS_STATUS Initialize(NDIS_STATUS*, UINT* selected, NDIS_MEDIUM* media, UINT count,
                       NDIS_HANDLE handle, NDIS_HANDLE) {
    Note("MiniportInitialize");
    FakeMiniport& fake = Fake();
    fake.handle = handle;
    fake.media_offered.assign(media, media + count);
    if (fake.medium == -1) {
        for (UINT i = 0; i < count; ++i) {
            if (media[i] == NdisMedium802_3) *selected = i;
        }
    } else if (fake.medium >= 0) {
        *selected = static_cast<UINT>(fake.medium);
    }
    if (fake.set_attributes) {
        NdisMSetAttributesEx(handle, &fake, fake.hang_seconds, fake.attribute_flags,
                             NdisInterfaceInternal);
    }
    NdisMInitializeTimer(&fake.timer, handle, FakeMiniport::TimerFunction, &fake);
    NdisInitializeWorkItem(&fake.work_item, FakeMiniport::WorkRoutine, &fake);
    if (fake.on_initialize) fake.on_initialize(handle);
    return fake.initialize_result;
}

void Halt(NDIS_HANDLE) {
    Note("MiniportHalt");
    // Not through the context: a test may have set another one, or none.
    FakeMiniport& fake = Fake();
    ++fake.halts;
    if (fake.on_halt) fake.on_halt();
}

NDIS_STATUS Send(NDIS_HANDLE context, NDIS_PACKET* packet, UINT) {
    Note("MiniportSend");
    auto& fake = *static_cast<FakeMiniport*>(context);
    fake.sent.push_back(packet);
    if (fake.on_send) return fake.on_send(packet);
    NdisMSendComplete(fake.handle, packet, NDIS_STATUS_SUCCESS);
    return NDIS_STATUS_PENDING;
}

BOOLEAN CheckForHang(NDIS_HANDLE context) {
    Note("MiniportCheckForHang");
    auto& fake = *static_cast<FakeMiniport*>(context);
    ++fake.hang_checks;
    return fake.hung;
}

NDIS_STATUS Reset(BOOLEAN* addressing_reset, NDIS_HANDLE context) {
    Note("MiniportReset");
    *addressing_reset = FALSE;
    auto& fake = *static_cast<FakeMiniport*>(context);
    ++fake.resets;
    if (fake.on_reset) fake.on_reset();
    return fake.reset_result;
}

void ReturnPacket(NDIS_HANDLE context, NDIS_PACKET* packet) {
    Note("MiniportReturnPacket");
    static_cast<FakeMiniport*>(context)->returned.push_back(packet);
}

NTSTATUS BusPnp(DEVICE_OBJECT*, IRP* irp) {
    FakeBus& bus = *FakeBus::current;
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    bus.seen.push_back(minor);
    if (bus.events != nullptr) bus.events->push_back("bus minor " + std::to_string(minor));
    if (minor == IRP_MN_START_DEVICE && bus.start == FakeBus::Start::Later) {
        IoMarkIrpPending(irp);
        emu::Machine::Current().Clock().After(1'000, "bus completes start", [irp] {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    }
    NTSTATUS status = irp->IoStatus.Status;
    if (minor == IRP_MN_START_DEVICE) {
        status = bus.start == FakeBus::Start::Fail ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS;
    } else if (bus.answers.count(minor) != 0) {
        status = bus.answers[minor];
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

// Outside the anonymous namespace, so that the verifier's reports can name them as places.
NDIS_STATUS FakeQueryInformation(NDIS_HANDLE, NDIS_OID oid, PVOID buffer, ULONG length,
                                 ULONG* written, ULONG* needed) {
    Note("MiniportQueryInformation");
    if (!Fake().on_query) return NDIS_STATUS_NOT_SUPPORTED;
    return Fake().on_query(oid, buffer, length, written, needed);
}

NDIS_STATUS FakeSetInformation(NDIS_HANDLE, NDIS_OID oid, PVOID buffer, ULONG length,
                               ULONG* read, ULONG* needed) {
    Note("MiniportSetInformation");
    if (!Fake().on_set) return NDIS_STATUS_NOT_SUPPORTED;
    return Fake().on_set(oid, buffer, length, read, needed);
}

__attribute__((noinline)) void FakeMiniport::CompleteQuery(NDIS_STATUS status) {
    NdisMQueryInformationComplete(handle, status);
    asm volatile("" ::: "memory");  // keeps the call from becoming a jump, so it is our site
}

__attribute__((noinline)) void FakeMiniport::CompleteSet(NDIS_STATUS status) {
    NdisMSetInformationComplete(handle, status);
    asm volatile("" ::: "memory");
}

void FakeMiniport::WorkRoutine(NDIS_WORK_ITEM*, PVOID context) {
    Note("work item");
    auto& fake = *static_cast<FakeMiniport*>(context);
    fake.work_runs.push_back(emu::Machine::Current().Clock().Now());
    if (fake.on_work) fake.on_work();
}

void FakeMiniport::TimerFunction(PVOID, PVOID context, PVOID, PVOID) {
    Note("timer");
    static_cast<FakeMiniport*>(context)->timer_runs.push_back(
        emu::Machine::Current().Clock().Now());
}

NDIS50_MINIPORT_CHARACTERISTICS FakeMiniport::Table() const {
    NDIS50_MINIPORT_CHARACTERISTICS table{};
    table.MajorNdisVersion = 5;
    table.MinorNdisVersion = 0;
    table.CheckForHangHandler = CheckForHang;
    table.HaltHandler = Halt;
    table.InitializeHandler = Initialize;
    table.QueryInformationHandler = FakeQueryInformation;
    table.ResetHandler = Reset;
    table.SendHandler = Send;
    table.SetInformationHandler = FakeSetInformation;
    table.ReturnPacketHandler = ReturnPacket;
    return table;
}

NdisFixture::NdisFixture() {
    FakeMiniport::current = &fake;
    FakeBus::current = &bus;
    fake.events = &events;
    bus.events = &events;
    emu::IoManager& io = M().Io();
    DRIVER_OBJECT* bus_driver = io.CreateDriver("fake bus");
    bus_driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    bus.pdo = io.CreateDevice(bus_driver, 0, 1);
    driver = io.CreateDriver("fake miniport");
}

NdisFixture::~NdisFixture() {
    FakeMiniport::current = nullptr;
    FakeBus::current = nullptr;
}

NDIS_STATUS NdisFixture::Register(NDIS50_MINIPORT_CHARACTERISTICS table, UINT length,
                                  DRIVER_OBJECT* target) {
    NDIS_HANDLE wrapper = nullptr;
    NdisInitializeWrapper(&wrapper, target != nullptr ? target : driver, nullptr, nullptr);
    return NdisMRegisterMiniport(wrapper, &table, length);
}

void NdisFixture::StartAdapter() {
    ASSERT_EQ(Register(fake.Table()), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(N().PnpManager().AddDevice(driver, bus.pdo), STATUS_SUCCESS);
    emu::ndis::Pnp::Result start = Pnp(IRP_MN_START_DEVICE);
    ASSERT_EQ(start.final, STATUS_SUCCESS);
    ASSERT_TRUE(Adapter().IsRunning());
}

}  // namespace qvtest
