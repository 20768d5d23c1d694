// IRPs through device stacks: the completion walk, pending, and the I/O
// verifier's findings.
#include "platform/test_driver.h"

#include <chrono>
#include <thread>

namespace hk::test {
namespace {

using namespace std::chrono_literals;

class IrpTest : public StackTest {
protected:
    void TearDown() override
    {
        for (std::thread &thread : threads_) thread.join();
        StackTest::TearDown();
    }

    // Marks the IRP pending and completes it from another thread once the
    // sending thread waits for it (the sender, or a driver above that waits
    // for its lower drivers): its dispatch routine has returned.
    Behaviour CompletesLater(NTSTATUS status, bool mark = true)
    {
        return [this, status, mark](PDEVICE_OBJECT, PIRP irp) {
            if (mark) IoMarkIrpPending(irp);
            threads_.emplace_back([irp, status] {
                hk::AwaitWaiterOn(nullptr, [] { return false; });
                CompleteWith(irp, status);
            });
            return STATUS_PENDING;
        };
    }

    // Passes the IRP down with a completion routine that runs |routine|.
    Behaviour PassesDownWith(Completion routine, bool onSuccess = true, bool onError = true, bool onCancel = true)
    {
        return [=](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            SetCompletion(irp, routine, onSuccess, onError, onCancel);
            return IoCallDriver(LowerDeviceOf(device), irp);
        };
    }

    std::vector<std::thread> threads_;
};

TEST_F(IrpTest, CompletionRoutinesRunBottomUpPerTheirInvokeFlags)
{
    struct Case {
        NTSTATUS status;
        bool cancel;
        std::vector<std::string> expected;
    } cases[] = {
        {STATUS_SUCCESS, false, {"upper", "top"}},
        {STATUS_DEVICE_NOT_READY, false, {"mid", "top"}},
        {STATUS_CANCELLED, true, {"low", "mid", "top"}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> ran;
        std::map<std::string, PDEVICE_OBJECT> devices;
        auto records = [&](const std::string &name) {
            return [&, name](PDEVICE_OBJECT device, PIRP) {
                ran.push_back(name);
                EXPECT_EQ(devices[name], device) << name << " got the device of another location";
                return STATUS_SUCCESS;
            };
        };
        PDEVICE_OBJECT bottom = AddDevice("bus", [&](PDEVICE_OBJECT, PIRP irp) {
            irp->Cancel = c.cancel;
            return CompleteWith(irp, c.status, 5);
        });
        devices["low"] = AddDevice("low", PassesDownWith(records("low"), false, false, true), bottom);
        devices["mid"] = AddDevice("mid", PassesDownWith(records("mid"), false, true, false), devices["low"]);
        devices["upper"] = AddDevice("upper", PassesDownWith(records("upper"), true, false, false), devices["mid"]);
        devices["top"] = AddDevice("top", PassesDownWith(records("top")), devices["upper"]);
        EXPECT_EQ(5, devices["top"]->StackSize);

        ULONG_PTR information = 0;
        EXPECT_EQ(c.status, SendIrpSync(devices["top"], IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr, &information));
        EXPECT_EQ(5u, information);
        EXPECT_EQ(c.expected, ran) << "status 0x" << std::hex << c.status;
    }
}

// The forward-and-wait pattern: the routine hands the IRP back, the waiting
// driver finishes it and completes it again, which is no double completion.
TEST_F(IrpTest, MoreProcessingRequiredReturnsTheIrpToTheWaitingDriver)
{
    int topRoutineRuns = 0;
    PDEVICE_OBJECT bottom = AddDevice("bus", CompletesLater(STATUS_SUCCESS));
    PDEVICE_OBJECT waiter = AddDevice("filter", [&](PDEVICE_OBJECT device, PIRP irp) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        SetCompletion(irp, [&done](PDEVICE_OBJECT, PIRP) {
            KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        });
        if (IoCallDriver(LowerDeviceOf(device), irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        EXPECT_EQ(STATUS_SUCCESS, irp->IoStatus.Status);
        return CompleteWith(irp, STATUS_DEVICE_NOT_READY, 42);
    }, bottom);
    PDEVICE_OBJECT top = AddDevice("top", PassesDownWith([&](PDEVICE_OBJECT, PIRP) {
        ++topRoutineRuns;
        return STATUS_SUCCESS;
    }), waiter);

    ULONG_PTR information = 0;
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, SendIrpSync(top, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr, &information));
    EXPECT_EQ(42u, information);
    EXPECT_EQ(1, topRoutineRuns);
}

// Pending travels up through a driver without a completion routine; one with
// a routine must mark it itself, even though its dispatch returned long ago.
TEST_F(IrpTest, PendingReturnedPropagatesAndAMissingMarkIsReported)
{
    for (bool routineMarks : {true, false}) {
        bool sawPendingReturned = false;
        PDEVICE_OBJECT bottom = AddDevice("bus", CompletesLater(STATUS_SUCCESS));
        // Its own location is copied down with no routine: only the walk
        // can carry the bottom's pending mark up to it.
        PDEVICE_OBJECT middle = AddDevice("function", [](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(LowerDeviceOf(device), irp);
        }, bottom);
        PDEVICE_OBJECT top = AddDevice("filter", PassesDownWith([&, routineMarks](PDEVICE_OBJECT, PIRP irp) {
            sawPendingReturned = irp->PendingReturned;
            if (irp->PendingReturned && routineMarks) IoMarkIrpPending(irp);
            return STATUS_SUCCESS;
        }), middle);

        EXPECT_EQ(STATUS_SUCCESS, SendIrpSync(top, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr));
        EXPECT_TRUE(sawPendingReturned);
        EXPECT_EQ(routineMarks ? 0u : 1u, ExpectViolation("IRP_PENDING_NOT_MARKED")) << routineMarks;
    }
}

TEST_F(IrpTest, PendingWithoutMarkIsReportedWhetherCompletedBeforeOrAfter)
{
    PDEVICE_OBJECT later = AddDevice("bus", CompletesLater(STATUS_SUCCESS, /*mark=*/false));
    EXPECT_EQ(STATUS_SUCCESS, SendIrpSync(later, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr));
    EXPECT_EQ(1u, ExpectViolation("IRP_PENDING_NOT_MARKED"));

    PDEVICE_OBJECT before = AddDevice("bus", [](PDEVICE_OBJECT, PIRP irp) {
        CompleteWith(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    });
    EXPECT_EQ(STATUS_SUCCESS, SendIrpSync(before, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr));
    EXPECT_EQ(1u, ExpectViolation("IRP_COMPLETED_THEN_PENDING"));
}

TEST_F(IrpTest, SecondCompletionIsReportedAndDoesNothing)
{
    int routineRuns = 0;
    PDEVICE_OBJECT bottom = AddDevice("bus", [](PDEVICE_OBJECT, PIRP irp) {
        CompleteWith(irp, STATUS_SUCCESS);
        CompleteWith(irp, STATUS_UNSUCCESSFUL);
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT top = AddDevice("filter", PassesDownWith([&](PDEVICE_OBJECT, PIRP) {
        ++routineRuns;
        return STATUS_SUCCESS;
    }), bottom);

    SendIrpSync(top, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr);
    EXPECT_EQ(1, routineRuns);
    EXPECT_EQ(1u, ExpectViolation("IRP_DOUBLE_COMPLETION"));
}

TEST_F(IrpTest, RequestNeitherCompletedNorPendingIsReported)
{
    PDEVICE_OBJECT device = AddDevice("bus", [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
    SendIrpSync(device, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr);
    EXPECT_EQ(1u, ExpectViolation("IRP_NOT_COMPLETED"));
}

TEST_F(IrpTest, DriverAllocatedIrpIsFreedByItsRoutineButNotWhileOut)
{
    PIRP held = nullptr;
    PDEVICE_OBJECT bottom = AddDevice("bus", [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    PIRP irp = IoAllocateIrp(bottom->StackSize, FALSE);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(bottom->StackSize + 1, irp->CurrentLocation);
    EXPECT_EQ(reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + bottom->StackSize - 1, IoGetNextIrpStackLocation(irp));
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // where every PnP request starts
    bool freedByRoutine = false;
    SetCompletion(irp, [&](PDEVICE_OBJECT device, PIRP done) {
        EXPECT_EQ(nullptr, device);  // no device above the allocator's own location
        IoFreeIrp(done);
        freedByRoutine = true;
        return STATUS_MORE_PROCESSING_REQUIRED;
    });

    EXPECT_EQ(STATUS_PENDING, IoCallDriver(bottom, irp));
    IoFreeIrp(irp);
    EXPECT_EQ(1u, ExpectViolation("IRP_FREED_IN_USE"));

    CompleteWith(held, STATUS_SUCCESS);
    EXPECT_TRUE(freedByRoutine);
    IoFreeIrp(irp);  // the routine did free it
    EXPECT_EQ(1u, ExpectViolation("POOL_DOUBLE_FREE"));
}

// The checked header asserts what a misused helper would break; a routine
// that is never invoked costs only the assertion.
TEST_F(IrpTest, CheckedHeaderAssertsMisusedStackHelpers)
{
    PDEVICE_OBJECT bottom = AddDevice("bus", Completes(STATUS_DEVICE_NOT_READY));
    PDEVICE_OBJECT top = AddDevice("filter", [](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, nullptr, nullptr, TRUE, FALSE, FALSE);  // success only: not called here
        return IoCallDriver(LowerDeviceOf(device), irp);
    }, bottom);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, SendIrpSync(top, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr));
    EXPECT_EQ(1u, ExpectViolation("CHECKED_BUILD_ASSERT"));

    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSkipCurrentIrpStackLocation(irp);  // no location of its own to skip
    EXPECT_EQ(1u, ExpectViolation("CHECKED_BUILD_ASSERT"));
    ASSERT_EQ(2u, Asserts("host").size());
    EXPECT_EQ("Irp->CurrentLocation <= Irp->StackCount", Asserts("host")[1].expression);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, IrpSentPastItsLastStackLocationStopsTheKernel)
{
    PDEVICE_OBJECT unrelated = AddDevice("other", Completes(STATUS_SUCCESS));
    // Forwards to a device that is not below it, so no location is left.
    PDEVICE_OBJECT device = AddDevice("bus", [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(unrelated, irp);
    });
    EXPECT_DEATH(SendIrpSync(device, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr), "NO_MORE_IRP_STACK_LOCATIONS");
}

}  // namespace
}  // namespace hk::test
