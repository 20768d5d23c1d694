// The verifier's rules, each shown on the probe driver (tests/images/
// ruleprobe): the driver with one slip is caught with the violation, refusal
// or stop that Windows gives, and the same driver without it runs clean.
#include "images/ruleprobe/ruleprobe.h"
#include "support/kernel_test.h"

#include <functional>
#include <set>

namespace hk::test {
namespace {

const std::string kProbeKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" RULEPROBE_SERVICE;

// The probe's PDO: a bus driver's answers, and on removal it deletes the
// device, as a bus driver does for a device that is gone.
NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) status = STATUS_SUCCESS;
    if (stack->MajorFunction == IRP_MJ_PNP) {
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        }
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) IoDeleteDevice(device);
    return status;
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = BusDispatch;
    return STATUS_SUCCESS;
}

class RuleProbe : public KernelTest {
protected:
    struct Outcome {
        NTSTATUS start = STATUS_PENDING;
        NTSTATUS control = STATUS_PENDING;  // the result of the probe's own request
        std::multiset<std::string> found;   // the violations, by name
        std::vector<Violation> details;
    };

    // Loads the probe with |slip|, builds its stack on a PDO, and takes it
    // through start, one request of its own, a bus relations query, a PnP
    // and a power request nobody understands, a power query, the removal
    // (after a surprise removal when |surprise|) and unload, as the PnP
    // manager would. The probe is checked as a filter once added.
    Outcome Run(RuleProbeSlip slip, bool surprise = false)
    {
        Outcome outcome;
        reg::SetDword(kProbeKey, "Slip", slip);
        LoadedDriver probe = LoadDriver(RULEPROBE_SERVICE);
        EXPECT_EQ(STATUS_SUCCESS, probe.entryStatus);
        PDRIVER_OBJECT bus = LoadBuiltinDriver("probebus", BusEntry, nullptr);
        PDEVICE_OBJECT pdo = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &pdo));
        pdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        EXPECT_EQ(STATUS_SUCCESS, CallAddDevice(probe.driver, pdo));
        CheckFilterAdded(RULEPROBE_SERVICE, probe.driver->DeviceObject);

        outcome.start = ToStack(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE);
        outcome.control = ToStack(pdo, IRP_MJ_DEVICE_CONTROL, 0);
        ReleaseRelations(pdo);
        ToStack(pdo, IRP_MJ_PNP, kUnknownMinor);
        ToStack(pdo, IRP_MJ_POWER, IRP_MN_QUERY_POWER, [](PIO_STACK_LOCATION stack) {
            stack->Parameters.Power.Type = SystemPowerState;
            stack->Parameters.Power.State.SystemState = PowerSystemWorking;
        });
        ToStack(pdo, IRP_MJ_POWER, kUnknownMinor);
        if (surprise) ToStack(pdo, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
        ToStack(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);

        // A removal the probe refused or kept from the PDO leaves devices:
        // taken down here so that the next run starts clean.
        if (PDEVICE_OBJECT left = probe.driver->DeviceObject) {
            if (LowerDeviceOf(left) != nullptr) IoDetachDevice(LowerDeviceOf(left));
            IoDeleteDevice(left);
        }
        if (bus->DeviceObject != nullptr) IoDeleteDevice(bus->DeviceObject);
        UnloadDriver(RULEPROBE_SERVICE);
        UnloadBuiltinDriver("probebus");
        CheckFreedMemory();
        outcome.details = Violations();
        for (const Violation &violation : outcome.details) outcome.found.insert(violation.name);
        ClearViolations();
        return outcome;
    }

    // As the PnP manager sends: to the top of the PDO's stack, holding a
    // reference on it meanwhile.
    static NTSTATUS ToStack(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                            const std::function<void(PIO_STACK_LOCATION)> &fill = nullptr,
                            ULONG_PTR *information = nullptr)
    {
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
        const NTSTATUS status = SendIrpSync(top, major, minor, fill, information);
        ObDereferenceObject(top);
        return status;
    }

    // Asks for bus relations and gives back what came, as the PnP manager
    // does: a reference on each device and the block.
    static void ReleaseRelations(PDEVICE_OBJECT pdo)
    {
        ULONG_PTR information = 0;
        const NTSTATUS status = ToStack(
            pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
            [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = BusRelations; }, &information);
        if (!NT_SUCCESS(status) || information == 0) return;
        auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
        for (ULONG i = 0; i < relations->Count; ++i) ObDereferenceObject(relations->Objects[i]);
        ExFreePool(relations);
    }

    static constexpr UCHAR kUnknownMinor = 0x42;  // no such PnP or power request

    using Names = std::multiset<std::string>;
};

TEST_F(RuleProbe, IrqlRulesCatchServicesAndRoutinesAboveTheirLevel)
{
    const Outcome clean = Run(SlipNone);
    EXPECT_EQ(STATUS_SUCCESS, clean.start);
    EXPECT_EQ(STATUS_SUCCESS, clean.control);
    EXPECT_EQ(Names{}, clean.found);
    EXPECT_EQ("ruleprobe: ruleprobe\n", DebugOutput(RULEPROBE_SERVICE));
    EXPECT_TRUE(Asserts().empty());

    EXPECT_EQ(Names{"IRQL_TOO_HIGH"}, Run(SlipRegistryUnderSpinLock).found);
    EXPECT_EQ(Names{"IRQL_TOO_HIGH"}, Run(SlipWidePrintUnderSpinLock).found);
    const Outcome held = Run(SlipReturnsHoldingSpinLock);
    EXPECT_EQ((Names{"IRQL_NOT_RESTORED", "SPIN_LOCK_HELD_ON_RETURN"}), held.found);
    for (const Violation &violation : held.details)
        EXPECT_EQ(0u, violation.detail.find("dispatch routine of device ")) << violation.detail;
    EXPECT_EQ(Names{"IRQL_NOT_RESTORED"}, Run(SlipAddDeviceReturnsRaised).found);
    const Outcome completion = Run(SlipCompletionReturnsRaised);
    ASSERT_EQ(Names{"IRQL_NOT_RESTORED"}, completion.found);
    EXPECT_EQ(RULEPROBE_SERVICE, completion.details[0].image) << "charged to the routine, not to the one completing";
    EXPECT_NE(std::string::npos, completion.details[0].detail.find("completion routine"));
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql()) << "the caller goes on at its own level";

    ClearDiagnostics();
    EXPECT_EQ(Names{"CHECKED_BUILD_ASSERT"}, Run(SlipPagedCodeUnderSpinLock).found);
    EXPECT_NE(std::string::npos, DebugOutput(RULEPROBE_SERVICE).find("NTDDK: Pageable code called at IRQL > APC_LEVEL (2)"));
    ASSERT_EQ(1u, Asserts(RULEPROBE_SERVICE).size());
}

TEST_F(RuleProbe, StatusRulesCompareTheReturnWithTheCompletion)
{
    EXPECT_EQ(Names{}, Run(SlipNone).found);

    const Outcome pending = Run(SlipCompletesWithPending);
    EXPECT_EQ(Names{"IRP_COMPLETED_WITH_PENDING"}, pending.found);
    EXPECT_EQ(STATUS_PENDING, pending.control) << "the sender takes the status the request completed with";

    EXPECT_EQ(Names{"IRP_COMPLETED_WITH_CANCEL_ROUTINE"}, Run(SlipCompletesWithCancelRoutine).found);

    const Outcome other = Run(SlipReturnsOtherStatus);
    EXPECT_EQ(Names{"IRP_RETURN_STATUS_MISMATCH"}, other.found);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, other.control) << "the sender believes the dispatch routine's return value";
}

TEST_F(RuleProbe, FreedMemoryAndDeletedDevicesAreUnusable)
{
    EXPECT_EQ(Names{}, Run(SlipNone).found);
    EXPECT_EQ(Names{"IRP_TO_DELETED_DEVICE"}, Run(SlipQueriesRemovedLower).found);
    // Refused before the lock's freed storage is touched, so alike with and
    // without the sanitizer.
    EXPECT_EQ(Names{"REMOVE_LOCK_IN_FREED_MEMORY"}, Run(SlipLocksFreedPool).found);
#if defined(__SANITIZE_ADDRESS__)
    // Poisoned: the first write stops the run where it happens.
    EXPECT_DEATH(Run(SlipKeepsRegistryPath), "use-after-poison");
    EXPECT_DEATH(Run(SlipWritesFreedPool), "use-after-poison");
#else
    // Found when the block is checked: the service key path belonged to the
    // kernel, the pool block to the probe.
    EXPECT_EQ(Names{"WRITE_AFTER_FREE"}, Run(SlipKeepsRegistryPath).found);
    EXPECT_EQ(Names{"WRITE_AFTER_FREE"}, Run(SlipWritesFreedPool).found);
#endif
}

TEST_F(RuleProbe, RemovalRulesKeepTheDeviceUntilItsRemove)
{
    EXPECT_EQ(Names{}, Run(SlipNone, /*surprise=*/true).found);
    EXPECT_EQ((Names{"DEVICE_DETACHED_IN_SURPRISE_REMOVAL", "DEVICE_DELETED_IN_SURPRISE_REMOVAL"}),
              Run(SlipDeletesInSurpriseRemoval, true).found);
    EXPECT_EQ(Names{"REMOVE_DEVICE_FAILED"}, Run(SlipFailsRemove).found);
    // Waiting at surprise removal shuts the lock: the remove that follows
    // is refused by it, fails, and leaves the device in the stack.
    EXPECT_EQ((Names{"REMOVE_LOCK_WAIT_OUTSIDE_REMOVE", "REMOVE_DEVICE_FAILED", "DEVICE_NOT_DETACHED_AT_REMOVE",
                     "DEVICE_NOT_DELETED_AT_REMOVE"}),
              Run(SlipWaitsInSurpriseRemoval, true).found);
    EXPECT_EQ((Names{"DEVICE_NOT_DETACHED_AT_REMOVE", "DEVICE_NOT_DELETED_AT_REMOVE"}),
              Run(SlipKeepsDeviceAtRemove).found);
    EXPECT_EQ(Names{"DEVICE_NOT_DELETED_AT_REMOVE"}, Run(SlipOnlyDetachesAtRemove).found);
    EXPECT_EQ(Names{"REMOVE_LOCK_HELD_AT_DELETE"}, Run(SlipDeletesHoldingRemoveLock).found);
    const Outcome early = Run(SlipReleasesBeforeForward);
    ASSERT_EQ(Names{"REMOVE_LOCK_RELEASED_BEFORE_FORWARD"}, early.found);
    EXPECT_EQ(RULEPROBE_SERVICE, early.details[0].image);
}

TEST_F(RuleProbe, AFilterLooksLikeTheDeviceBelowIt)
{
    EXPECT_EQ(Names{}, Run(SlipNone).found);
    const std::pair<RuleProbeSlip, const char *> slips[] = {
        {SlipDropsPowerPagable, "POWER_PAGABLE_NOT_INHERITED"},
        {SlipDropsIoFlags, "IO_FLAGS_NOT_COPIED"},
        {SlipSetsBothIoFlags, "IO_FLAGS_BOTH_SET"},
        {SlipKeepsOwnDeviceType, "DEVICE_TYPE_NOT_COPIED"},
    };
    for (const auto &[slip, name] : slips) EXPECT_EQ(Names{name}, Run(slip).found) << "slip " << int(slip);
}

// Each slip with the rule it breaks and what the PnP manager's START saw.
TEST_F(RuleProbe, PnpAndPowerRequestsFollowTheDriversPlaceInTheStack)
{
    const Outcome clean = Run(SlipNone);
    EXPECT_EQ(Names{}, clean.found);
    EXPECT_EQ(STATUS_SUCCESS, clean.start);
    struct Case {
        RuleProbeSlip slip;
        const char *name;
        NTSTATUS start;
    };
    const Case cases[] = {
        {SlipStartUnhandled, "PNP_REQUIRED_IRP_NOT_HANDLED", STATUS_NOT_SUPPORTED},
        {SlipStartNotPassedDown, "PNP_IRP_COMPLETED_NOT_PASSED", STATUS_SUCCESS},
        {SlipStartFailsNotSupported, "PNP_STATUS_NOT_SUPPORTED", STATUS_NOT_SUPPORTED},
        {SlipPassesFailedStartDown, "PNP_FAILURE_PASSED_DOWN", STATUS_SUCCESS},
        {SlipOwnQueryNotAtNotSupported, "PNP_IRP_INITIAL_STATUS", STATUS_SUCCESS},
        {SlipCapabilitiesUnset, "CAPABILITIES_NOT_INITIALIZED", STATUS_SUCCESS},
        {SlipOwnPowerNotAtNotSupported, "POWER_IRP_INITIAL_STATUS", STATUS_SUCCESS},
        {SlipReportsItselfInRelations, "NON_PDO_IN_RELATIONS", STATUS_SUCCESS},
        {SlipChangesUnknownStatus, "IRP_UNKNOWN_STATUS_CHANGED", STATUS_SUCCESS},
        {SlipChangesUnknownInformation, "IRP_UNKNOWN_INFORMATION_CHANGED", STATUS_SUCCESS},
        {SlipCompletesUnknown, "PNP_IRP_COMPLETED_NOT_PASSED", STATUS_SUCCESS},
        {SlipCompletesUnknownPower, "POWER_IRP_COMPLETED_NOT_PASSED", STATUS_SUCCESS},
        {SlipCompletesQueryPower, "POWER_IRP_COMPLETED_NOT_PASSED", STATUS_SUCCESS},
        {SlipCompletesQueryPowerUntouched, "POWER_IRP_COMPLETED_NOT_PASSED", STATUS_SUCCESS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "slip " << int(c.slip));
        const Outcome outcome = Run(c.slip);
        ASSERT_EQ(Names{c.name}, outcome.found);
        EXPECT_EQ(RULEPROBE_SERVICE, outcome.details[0].image);
        EXPECT_EQ(c.start, outcome.start);
    }
}

using RuleProbeDeathTest = RuleProbe;

TEST_F(RuleProbeDeathTest, WhatWindowsStopsOnStopsTheRun)
{
    EXPECT_DEATH(Run(SlipNullCompletionRoutine), "STOP: 0x0000001E");
    EXPECT_DEATH(Run(SlipDetachesItself), "STOP: 0x000000C9\n.*0x202");

    PDRIVER_OBJECT bus = LoadBuiltinDriver("probebus", BusEntry, nullptr);
    PDEVICE_OBJECT gone = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &gone));
    IoDeleteDevice(gone);
    EXPECT_DEATH(SendIrpSync(gone, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr), "STOP: 0x00000050");
}

// The pool type of each Windows: executable nonpaged pool passes until
// Windows 8, where Driver Verifier's code integrity check stops on it; the
// NX type stops the allocators that do not know it.
TEST_F(RuleProbeDeathTest, NonPagedPoolIsNoExecuteWhereWindowsHasIt)
{
    for (Windows windows : {Windows::W2000, Windows::W7, Windows::W8, Windows::W11}) {
        SCOPED_TRACE(WindowsInfo(windows).title);
        SetWindowsVersion(windows);
        EXPECT_EQ(Names{}, Run(SlipNone).found);
    }
    SetWindowsVersion(Windows::W7);
    EXPECT_EQ(Names{}, Run(SlipExecutablePool).found);
    EXPECT_DEATH(Run(SlipNxPoolAlways), "STOP: 0x000000C2\n.*pool type 512, which Windows 7 does not have");
    SetWindowsVersion(Windows::W8);
    EXPECT_DEATH(Run(SlipExecutablePool),
                 R"(STOP: 0x000000C4.*\(0x2000, 0x[0-9A-F]+, 0x0, 0x626F7250\).*ruleprobe specified an executable pool type)");
    SetWindowsVersion(Windows::W11);
    EXPECT_EQ(Names{}, Run(SlipNxPoolAlways).found);
}

}  // namespace
}  // namespace hk::test
