// DriverEntry and the PnP hook as NDIS and the device see them: what is registered, which
// PnP requests NDIS gets, which go straight to the physical device object, and what the
// hook returns for each.
#include <vector>

#include "driver/driver_entry.h"
#include "driver/handlers.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/ndis/miniport.h"
#include "emulator/ndis/ndis.h"
#include "emulator/ndis/pnp.h"
#include "tests/support/harness/driver_load.h"
#include "tests/support/machine_fixture.h"

namespace {

// What the stub bus driver below the adapter does with the PnP requests it gets.
struct BusBehaviour {
    NTSTATUS status = STATUS_SUCCESS;
    bool pend = false;  // complete a millisecond later instead of at once
};

struct Seen {
    DEVICE_OBJECT* device;
    UCHAR minor;
};

// The test's view of both routes; reset by each fixture.
BusBehaviour bus;
std::vector<Seen> busSaw;
std::vector<UCHAR> ndisSaw;
std::vector<NTSTATUS> ndisReturned;
bool ndisPends = false;  // NDIS holds the request and completes it a millisecond later
PDRIVER_DISPATCH realNdisPnp = nullptr;

NTSTATUS BusPnp(DEVICE_OBJECT* device, IRP* irp) {
    busSaw.push_back({device, IoGetCurrentIrpStackLocation(irp)->MinorFunction});
    const NTSTATUS status = bus.status;
    if (bus.pend) {
        IoMarkIrpPending(irp);
        emu::Machine::Current().Clock().After(1000, "bus completes a PnP request", [irp, status] {
            irp->IoStatus.Status = status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Stands between the hook and NDIS's own PnP routine, to see what NDIS was given.
NTSTATUS NdisPnpSpy(DEVICE_OBJECT* device, IRP* irp) {
    ndisSaw.push_back(IoGetCurrentIrpStackLocation(irp)->MinorFunction);
    if (ndisPends) {
        IoMarkIrpPending(irp);
        emu::Machine::Current().Clock().After(1000, "NDIS completes a PnP request", [irp] {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        ndisReturned.push_back(STATUS_PENDING);
        return STATUS_PENDING;
    }
    const NTSTATUS status = realNdisPnp(device, irp);
    ndisReturned.push_back(status);
    return status;
}

class PnpHookTest : public qvtest::MachineFixture {
protected:
    PnpHookTest() {
        qvtest::ResetDriverWideValues();
        bus = BusBehaviour{};
        busSaw.clear();
        ndisSaw.clear();
        ndisReturned.clear();
        ndisPends = false;

        driver_ = M().Io().CreateDriver("qvnet");
        busDriver_ = M().Io().CreateDriver("usbbus");
        busDriver_->MajorFunction[IRP_MJ_PNP] = BusPnp;
    }

    // Loads the driver and puts the spy behind the hook. There is no controller behind the
    // stub bus, so NDIS's initialization refuses the adapter unless a test lets it succeed.
    void Load() {
        ASSERT_EQ(DriverEntry(driver_, nullptr), STATUS_SUCCESS);
        realNdisPnp = NdisPnpDispatch;
        NdisPnpDispatch = NdisPnpSpy;
        M().Ndis().OverrideInitialize([](NDIS_STATUS*, UINT*, NDIS_MEDIUM*, UINT, NDIS_HANDLE,
                                         NDIS_HANDLE) { return NDIS_STATUS_FAILURE; });
        M().Ndis().OverrideHalt([](NDIS_HANDLE) {});
    }

    DEVICE_OBJECT* Plug() {
        DEVICE_OBJECT* pdo = M().Io().CreateDevice(busDriver_, 0, 1);
        EXPECT_EQ(M().Ndis().PnpManager().AddDevice(driver_, pdo), STATUS_SUCCESS);
        return pdo;
    }

    emu::ndis::Pnp::Result Send(DEVICE_OBJECT* pdo, UCHAR minor) {
        return M().Ndis().PnpManager().Send(pdo, minor);
    }

    // Whether NDIS has run MiniportInitialize for the adapter over pdo.
    // NDIS's initialize succeeds without the driver's own (a record of no one's).
    void SucceedInitialize() {
        M().Ndis().OverrideInitialize([](NDIS_STATUS*, UINT* selected, NDIS_MEDIUM* media,
                                         UINT count, NDIS_HANDLE handle, NDIS_HANDLE) {
            static int context;
            *selected = qvtest::Index802_3(media, count);
            NdisMSetAttributesEx(handle, &context, 0, 0, NdisInterfaceInternal);
            return NDIS_STATUS_SUCCESS;
        });
    }

    bool NdisInitialized(DEVICE_OBJECT* pdo) {
        emu::ndis::Miniport* adapter = M().Ndis().AdapterOver(pdo);
        return adapter != nullptr &&
               adapter->CurrentState() != emu::ndis::Miniport::State::Added;
    }

    DRIVER_OBJECT* driver_ = nullptr;
    DRIVER_OBJECT* busDriver_ = nullptr;
};

// ---- Registration ---------------------------------------------------------------------------

TEST_F(PnpHookTest, RegistersAnNdis50TableWithoutInterruptHandlers) {
    ASSERT_EQ(DriverEntry(driver_, nullptr), STATUS_SUCCESS);

    const emu::ndis::Wrapper* wrapper = M().Ndis().WrapperOf(driver_);
    ASSERT_NE(wrapper, nullptr);
    ASSERT_TRUE(wrapper->registered);
    const NDIS50_MINIPORT_CHARACTERISTICS& table = wrapper->handlers;
    EXPECT_EQ(table.MajorNdisVersion, 5);
    EXPECT_EQ(table.MinorNdisVersion, 0);
    EXPECT_EQ(table.CheckForHangHandler, MiniportCheckForHang);
    EXPECT_EQ(table.HaltHandler, MiniportHalt);
    EXPECT_EQ(table.InitializeHandler, MiniportInitialize);
    EXPECT_EQ(table.QueryInformationHandler, MiniportQueryInformation);
    EXPECT_EQ(table.ResetHandler, MiniportReset);
    EXPECT_EQ(table.SendHandler, MiniportSend);
    EXPECT_EQ(table.SetInformationHandler, MiniportSetInformation);
    EXPECT_EQ(table.TransferDataHandler, MiniportTransferData);
    EXPECT_EQ(table.ReturnPacketHandler, MiniportReturnPacket);
    EXPECT_EQ(table.DisableInterruptHandler, nullptr);
    EXPECT_EQ(table.EnableInterruptHandler, nullptr);
    EXPECT_EQ(table.HandleInterruptHandler, nullptr);
    EXPECT_EQ(table.ISRHandler, nullptr);
    EXPECT_EQ(table.SendPacketsHandler, nullptr);

    // The hooks replaced NDIS's own entries, which are kept for passing requests on.
    EXPECT_EQ(driver_->DriverExtension->AddDevice, AddDeviceHook);
    EXPECT_EQ(driver_->MajorFunction[IRP_MJ_PNP], PnpDispatchHook);
    EXPECT_EQ(NdisAddDevice, emu::ndis::NdisAddDeviceEntry);
    EXPECT_EQ(NdisPnpDispatch, emu::ndis::NdisPnpDispatchEntry);
}

TEST_F(PnpHookTest, FailedRegistrationHooksNothingAndReleasesTheWrapper) {
    M().Ndis().FailNextRegistration(NDIS_STATUS_BAD_CHARACTERISTICS);

    EXPECT_EQ(DriverEntry(driver_, nullptr), STATUS_UNSUCCESSFUL);

    EXPECT_NE(driver_->DriverExtension->AddDevice, AddDeviceHook);
    EXPECT_NE(driver_->MajorFunction[IRP_MJ_PNP], PnpDispatchHook);
    EXPECT_EQ(NdisAddDevice, nullptr);
    EXPECT_EQ(NdisPnpDispatch, nullptr);
    ASSERT_NE(M().Ndis().WrapperOf(driver_), nullptr);
    EXPECT_TRUE(M().Ndis().WrapperOf(driver_)->terminated);
}

TEST_F(PnpHookTest, NoWrapperMeansNoRegistration) {
    M().Ndis().FailNextWrapper();

    EXPECT_EQ(DriverEntry(driver_, nullptr), STATUS_UNSUCCESSFUL);

    EXPECT_EQ(NdisPnpDispatch, nullptr);
    EXPECT_NE(driver_->MajorFunction[IRP_MJ_PNP], PnpDispatchHook);
}

// ---- AddDevice ------------------------------------------------------------------------------

// What the hook handed to NDIS's AddDevice, and what it found already saved at that moment.
struct AddDeviceCall {
    DRIVER_OBJECT* driver = nullptr;
    DEVICE_OBJECT* pdo = nullptr;
    DEVICE_OBJECT* savedAtCall = nullptr;
};
AddDeviceCall ndisAddDeviceSaw;

NTSTATUS FailingNdisAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
    ndisAddDeviceSaw = {driver, pdo, SavedPhysicalDeviceObject};
    return STATUS_INSUFFICIENT_RESOURCES;
}

// The physical device object is saved before NDIS is asked, and NDIS's answer, a failure
// included, is what the PnP manager gets.
TEST_F(PnpHookTest, AddDeviceSavesTheDeviceFirstAndReturnsNdisStatusUnchanged) {
    Load();
    NdisAddDevice = FailingNdisAddDevice;
    ndisAddDeviceSaw = {};
    DEVICE_OBJECT* pdo = M().Io().CreateDevice(busDriver_, 0, 1);

    EXPECT_EQ(M().Ndis().PnpManager().AddDevice(driver_, pdo), STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(ndisAddDeviceSaw.driver, driver_);
    EXPECT_EQ(ndisAddDeviceSaw.pdo, pdo);
    EXPECT_EQ(ndisAddDeviceSaw.savedAtCall, pdo);
    EXPECT_EQ(SavedPhysicalDeviceObject, pdo);
}

// ---- Routing --------------------------------------------------------------------------------

struct Route {
    const char* name;
    UCHAR minor;
    BOOLEAN platform;
    BOOLEAN startedOnce;
    bool toNdis;          // else straight to the physical device object
    bool ndisPends = false;
};

class PnpRouteTest : public PnpHookTest, public ::testing::WithParamInterface<Route> {};

TEST_P(PnpRouteTest, GoesWhereTheTableSays) {
    const Route& route = GetParam();
    Load();
    DEVICE_OBJECT* pdo = Plug();
    PlatformPresent = route.platform;
    StartedOnce = route.startedOnce;
    // A failing lower driver shows whether its status is passed on or replaced.
    bus.status = STATUS_NOT_SUPPORTED;
    ndisPends = route.ndisPends;

    const emu::ndis::Pnp::Result result = Send(pdo, route.minor);
    const NTSTATUS returned = result.returned;

    NTSTATUS handled = STATUS_NOT_SUPPORTED;
    if (route.toNdis) {
        ASSERT_FALSE(ndisSaw.empty());
        EXPECT_EQ(ndisSaw.front(), route.minor);
        handled = ndisReturned.front();
        EXPECT_EQ(returned, handled);
    } else {
        // Nothing reaches NDIS but the removal that follows a failed start.
        EXPECT_TRUE(ndisSaw.empty() || ndisSaw == std::vector<UCHAR>{IRP_MN_REMOVE_DEVICE});
        ASSERT_FALSE(busSaw.empty());
        EXPECT_EQ(busSaw[0].device, pdo);
        EXPECT_EQ(busSaw[0].minor, route.minor);
        EXPECT_EQ(returned, STATUS_NOT_SUPPORTED);
    }

    // The PnP manager believes the hook's answer, which is the handler's own; a start that
    // failed is followed by the device's removal, which goes to NDIS.
    if (route.minor == IRP_MN_START_DEVICE) {
        const bool started = NT_SUCCESS(result.status);
        EXPECT_EQ(started, NT_SUCCESS(result.final));
        EXPECT_EQ(M().Ndis().PnpManager().StateOf(pdo),
                  started ? emu::ndis::Pnp::DeviceState::Started
                          : emu::ndis::Pnp::DeviceState::Removed);
        if (started) {
            EXPECT_EQ(route.toNdis ? ndisSaw.back() : busSaw.back().minor, IRP_MN_START_DEVICE);
        } else {
            ASSERT_FALSE(ndisSaw.empty());
            EXPECT_EQ(ndisSaw.back(), IRP_MN_REMOVE_DEVICE);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Routing, PnpRouteTest,
    ::testing::Values(
        // Without "Platform": one start for NDIS, then starts and three queries bypass it.
        // Whatever handled the request, its status comes back unchanged: a start that failed
        // is not reported as started, nor one still pending as done.
        Route{"FirstStart", IRP_MN_START_DEVICE, FALSE, FALSE, true},
        Route{"FirstStartPendingInNdis", IRP_MN_START_DEVICE, FALSE, FALSE, true, true},
        Route{"LaterStart", IRP_MN_START_DEVICE, FALSE, TRUE, false},
        Route{"Capabilities", IRP_MN_QUERY_CAPABILITIES, FALSE, FALSE, false},
        Route{"CapabilitiesAfterStart", IRP_MN_QUERY_CAPABILITIES, FALSE, TRUE, false},
        Route{"Id", IRP_MN_QUERY_ID, FALSE, TRUE, false},
        Route{"PnpState", IRP_MN_QUERY_PNP_DEVICE_STATE, FALSE, TRUE, false},
        Route{"Stop", IRP_MN_STOP_DEVICE, FALSE, TRUE, true},
        Route{"BusInformation", IRP_MN_QUERY_BUS_INFORMATION, FALSE, TRUE, true},
        Route{"SurpriseRemoval", IRP_MN_SURPRISE_REMOVAL, FALSE, TRUE, true},
        Route{"UnnamedCode", 0x18, FALSE, TRUE, true},
        // With "Platform": everything goes to NDIS and its status comes back.
        Route{"PlatformStart", IRP_MN_START_DEVICE, TRUE, FALSE, true},
        Route{"PlatformLaterStart", IRP_MN_START_DEVICE, TRUE, TRUE, true},
        Route{"PlatformCapabilities", IRP_MN_QUERY_CAPABILITIES, TRUE, TRUE, true},
        Route{"PlatformPnpState", IRP_MN_QUERY_PNP_DEVICE_STATE, TRUE, FALSE, true}),
    [](const ::testing::TestParamInfo<Route>& info) { return std::string(info.param.name); });

// ---- Sequences of one driver load -----------------------------------------------------------

TEST_F(PnpHookTest, WithoutPlatformNdisSeesOneStartAndNoQueries) {
    Load();
    DEVICE_OBJECT* pdo = Plug();
    EXPECT_EQ(SavedPhysicalDeviceObject, pdo);
    SucceedInitialize();

    // The capability query that precedes a start is answered below NDIS.
    EXPECT_EQ(Send(pdo, IRP_MN_QUERY_CAPABILITIES).returned, STATUS_SUCCESS);
    EXPECT_TRUE(ndisSaw.empty());

    // The first start initializes the adapter through NDIS.
    EXPECT_EQ(Send(pdo, IRP_MN_START_DEVICE).returned, STATUS_SUCCESS);
    EXPECT_EQ(M().Ndis().PnpManager().StateOf(pdo), emu::ndis::Pnp::DeviceState::Started);
    EXPECT_EQ(ndisSaw, std::vector<UCHAR>{IRP_MN_START_DEVICE});
    EXPECT_TRUE(NdisInitialized(pdo));
    EXPECT_TRUE(StartedOnce);

    Send(pdo, IRP_MN_STOP_DEVICE);
    busSaw.clear();
    EXPECT_EQ(Send(pdo, IRP_MN_START_DEVICE).returned, STATUS_SUCCESS);
    EXPECT_EQ(ndisSaw, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_STOP_DEVICE}));
    ASSERT_EQ(busSaw.size(), 1u);
    EXPECT_EQ(busSaw[0].minor, IRP_MN_START_DEVICE);
}

// A first start that NDIS fails is reported as failed, not as started: the PnP manager then
// removes the device instead of using one that never came up.
TEST_F(PnpHookTest, AFirstStartThatFailsIsReportedAsFailed) {
    Load();
    DEVICE_OBJECT* pdo = Plug();
    M().Ndis().OverrideInitialize([](NDIS_STATUS*, UINT*, NDIS_MEDIUM*, UINT, NDIS_HANDLE,
                                     NDIS_HANDLE) { return NDIS_STATUS_FAILURE; });

    const emu::ndis::Pnp::Result start = Send(pdo, IRP_MN_START_DEVICE);
    EXPECT_FALSE(NT_SUCCESS(start.returned));
    EXPECT_EQ(start.returned, start.final);
    EXPECT_EQ(M().Ndis().PnpManager().StateOf(pdo), emu::ndis::Pnp::DeviceState::Removed);
    EXPECT_EQ(ndisSaw, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_TRUE(StartedOnce);
}

TEST_F(PnpHookTest, PlatformReadDuringTheFirstStartSendsLaterStartsToNdis) {
    Load();
    DEVICE_OBJECT* pdo = Plug();
    // The configuration read inside the first start finds "Platform".
    static int first_start_done;
    first_start_done = 0;
    M().Ndis().OverrideInitialize([](NDIS_STATUS*, UINT* selected, NDIS_MEDIUM* media,
                                     UINT count, NDIS_HANDLE handle, NDIS_HANDLE) {
        PlatformPresent = TRUE;
        if (first_start_done++ != 0) return NDIS_STATUS_FAILURE;
        *selected = qvtest::Index802_3(media, count);
        NdisMSetAttributesEx(handle, &first_start_done, 0, 0, NdisInterfaceInternal);
        return NDIS_STATUS_SUCCESS;
    });

    EXPECT_EQ(Send(pdo, IRP_MN_START_DEVICE).returned, STATUS_SUCCESS);
    EXPECT_TRUE(StartedOnce);

    Send(pdo, IRP_MN_STOP_DEVICE);
    const NTSTATUS second = Send(pdo, IRP_MN_START_DEVICE).returned;
    // NDIS's failure comes back this time, and the PnP manager removes the device.
    EXPECT_EQ(ndisSaw, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_STOP_DEVICE,
                                           IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(second, ndisReturned[2]);
    EXPECT_FALSE(NT_SUCCESS(second));
    EXPECT_EQ(M().Ndis().PnpManager().StateOf(pdo), emu::ndis::Pnp::DeviceState::Removed);
}

TEST_F(PnpHookTest, SecondDeviceOfTheLoadIsNeverStartedByNdis) {
    Load();
    DEVICE_OBJECT* first = Plug();
    Send(first, IRP_MN_START_DEVICE);
    DEVICE_OBJECT* second = Plug();
    EXPECT_EQ(SavedPhysicalDeviceObject, second);
    ndisSaw.clear();
    busSaw.clear();

    EXPECT_EQ(Send(second, IRP_MN_START_DEVICE).returned, STATUS_SUCCESS);

    EXPECT_TRUE(ndisSaw.empty());
    EXPECT_FALSE(NdisInitialized(second));
    ASSERT_EQ(busSaw.size(), 1u);
    EXPECT_EQ(busSaw[0].device, second);
}

// A bypassed start that the lower driver has not finished is reported as pending, not as
// done. The hook sets no completion routine, so the lower driver's pending mark passes up to
// its stack location and the I/O verifier finds the STATUS_PENDING marked.
TEST_F(PnpHookTest, BypassedStartStillPendingBelowReturnsPending) {
    Load();
    DEVICE_OBJECT* pdo = Plug();
    StartedOnce = TRUE;
    bus.pend = true;

    const emu::ndis::Pnp::Result result = Send(pdo, IRP_MN_START_DEVICE);

    EXPECT_EQ(result.returned, STATUS_PENDING);
    EXPECT_EQ(result.final, STATUS_SUCCESS);
    EXPECT_TRUE(ndisSaw.empty());
}

}  // namespace
