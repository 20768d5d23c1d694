// The verifier's rules, each shown on the probe driver (tests/images/
// ruleprobe): the driver with one slip is caught with the violation, refusal
// or stop that Windows gives, and the same driver without it runs clean.
#include "images/ruleprobe/ruleprobe.h"
#include "support/kernel_test.h"

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
        NTSTATUS control = STATUS_PENDING;  // the result of the probe's own request
        std::multiset<std::string> found;   // the violations, by name
        std::vector<Violation> details;
    };

    // Loads the probe with |slip|, builds its stack on a PDO, and takes it
    // through start, one request of its own, the removal (after a surprise
    // removal when |surprise|) and unload, as the PnP manager would.
    Outcome Run(RuleProbeSlip slip, bool surprise = false)
    {
        Outcome outcome;
        reg::SetDword(kProbeKey, "Slip", slip);
        LoadedDriver probe = LoadDriver(RULEPROBE_SERVICE);
        EXPECT_EQ(STATUS_SUCCESS, probe.entryStatus);
        PDRIVER_OBJECT bus = LoadBuiltinDriver("probebus", BusEntry, nullptr);
        PDEVICE_OBJECT pdo = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo));
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        EXPECT_EQ(STATUS_SUCCESS, CallAddDevice(probe.driver, pdo));

        EXPECT_EQ(STATUS_SUCCESS, ToStack(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE));
        outcome.control = ToStack(pdo, IRP_MJ_DEVICE_CONTROL, 0);
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
    static NTSTATUS ToStack(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor)
    {
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
        const NTSTATUS status = SendIrpSync(top, major, minor, nullptr);
        ObDereferenceObject(top);
        return status;
    }

    using Names = std::multiset<std::string>;
};

TEST_F(RuleProbe, IrqlRulesCatchServicesAndRoutinesAboveTheirLevel)
{
    const Outcome clean = Run(SlipNone);
    EXPECT_EQ(STATUS_SUCCESS, clean.control);
    EXPECT_EQ(Names{}, clean.found);
    EXPECT_EQ("ruleprobe: ruleprobe\n", DebugOutput(RULEPROBE_SERVICE));
    EXPECT_TRUE(Asserts().empty());

    EXPECT_EQ(Names{"IRQL_TOO_HIGH"}, Run(SlipRegistryUnderSpinLock).found);
    EXPECT_EQ(Names{"IRQL_TOO_HIGH"}, Run(SlipWidePrintUnderSpinLock).found);
    EXPECT_EQ((Names{"IRQL_NOT_RESTORED", "SPIN_LOCK_HELD_ON_RETURN"}), Run(SlipReturnsHoldingSpinLock).found);
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
    // is refused by it and fails.
    EXPECT_EQ((Names{"REMOVE_LOCK_WAIT_OUTSIDE_REMOVE", "REMOVE_DEVICE_FAILED"}),
              Run(SlipWaitsInSurpriseRemoval, true).found);
    EXPECT_EQ(Names{"REMOVE_LOCK_HELD_AT_DELETE"}, Run(SlipDeletesHoldingRemoveLock).found);
    const Outcome early = Run(SlipReleasesBeforeForward);
    ASSERT_EQ(Names{"REMOVE_LOCK_RELEASED_BEFORE_FORWARD"}, early.found);
    EXPECT_EQ(RULEPROBE_SERVICE, early.details[0].image);
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

}  // namespace
}  // namespace hk::test
