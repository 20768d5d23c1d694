// Device objects: stacks, references and deletion.
#include "support/kernel_test.h"

namespace hk::test {
namespace {

NTSTATUS NTAPI EmptyEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

class ObjectsTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        driver_ = LoadBuiltinDriver("objects", EmptyEntry, nullptr);
        ASSERT_NE(nullptr, driver_);
    }

    PDEVICE_OBJECT Create(ULONG extensionSize = 64)
    {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(STATUS_SUCCESS,
                  IoCreateDevice(driver_, extensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
        return device;
    }

    // A device as its driver leaves it once set up, ready for others to attach.
    PDEVICE_OBJECT CreateReady()
    {
        PDEVICE_OBJECT device = Create();
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(ObjectsTest, NewDeviceIsZeroedInitialisingAndLinkedToItsDriver)
{
    PDEVICE_OBJECT first = Create();
    PDEVICE_OBJECT second = Create(40);
    auto *extension = static_cast<unsigned char *>(second->DeviceExtension);
    ASSERT_NE(nullptr, extension);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(0, extension[i]) << "extension byte " << i;
    EXPECT_TRUE(second->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(1, second->StackSize);
    EXPECT_EQ(driver_, second->DriverObject);
    EXPECT_EQ(second, driver_->DeviceObject);
    EXPECT_EQ(first, second->NextDevice);

    IoDeleteDevice(second);
    EXPECT_EQ(first, driver_->DeviceObject);
    IoDeleteDevice(first);
    EXPECT_EQ(nullptr, driver_->DeviceObject);
    EXPECT_EQ(0u, LiveDeviceCount());
}

TEST_F(ObjectsTest, AttachingStacksOnTheTopAndDetachingUndoesIt)
{
    PDEVICE_OBJECT pdo = Create();
    PDEVICE_OBJECT function = Create();
    PDEVICE_OBJECT filter = Create();
    pdo->AlignmentRequirement = 3;
    // Nothing attaches to a device whose driver has not finished setting it up.
    EXPECT_EQ(nullptr, IoAttachDeviceToDeviceStack(function, pdo));
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_EQ(pdo, IoAttachDeviceToDeviceStack(function, pdo));
    function->Flags &= ~DO_DEVICE_INITIALIZING;
    // Attaching to the bottom still lands on the top of the stack.
    EXPECT_EQ(function, IoAttachDeviceToDeviceStack(filter, pdo));
    EXPECT_EQ(2, function->StackSize);
    EXPECT_EQ(3, filter->StackSize);
    EXPECT_EQ(3u, filter->AlignmentRequirement);
    EXPECT_EQ(function, LowerDeviceOf(filter));

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    EXPECT_EQ(filter, top);

    IoDetachDevice(function);
    EXPECT_EQ(nullptr, function->AttachedDevice);
    EXPECT_EQ(nullptr, LowerDeviceOf(filter));
    // The reference keeps the deleted filter's storage until it is released.
    IoDeleteDevice(filter);
    EXPECT_TRUE(IsDeletePending(filter));
    EXPECT_EQ(3u, LiveDeviceCount());
    ObDereferenceObject(top);
    EXPECT_EQ(2u, LiveDeviceCount());

    IoDetachDevice(pdo);
    IoDeleteDevice(function);
    IoDeleteDevice(pdo);
    EXPECT_EQ(0u, LiveDeviceCount());
}

TEST_F(ObjectsTest, FailedCreateAndAttachLeaveNothingBehind)
{
    FailNthCall(Service::CreateDevice, 1);
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              IoCreateDevice(driver_, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    EXPECT_EQ(nullptr, device);
    EXPECT_EQ(0u, LiveDeviceCount());

    PDEVICE_OBJECT lower = CreateReady();
    PDEVICE_OBJECT upper = Create();
    FailNthCall(Service::Attach, 1);
    EXPECT_EQ(nullptr, IoAttachDeviceToDeviceStack(upper, lower));
    EXPECT_EQ(nullptr, lower->AttachedDevice);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
}

TEST_F(ObjectsTest, RemovalOrderDeletesTheLowerDeviceFirstAndFreesItAfterTheUpperDetaches)
{
    PDEVICE_OBJECT lower = CreateReady();
    PDEVICE_OBJECT upper = Create();
    IoAttachDeviceToDeviceStack(upper, lower);
    const size_t before = LiveDeviceCount();

    // The remove went down: the lower driver deletes first, the upper one
    // then detaches from it and deletes.
    IoDeleteDevice(lower);
    EXPECT_EQ(before, LiveDeviceCount());
    EXPECT_EQ(upper, lower->AttachedDevice);
    IoDetachDevice(lower);
    EXPECT_EQ(before - 1, LiveDeviceCount());
    IoDeleteDevice(upper);
    EXPECT_EQ(before - 2, LiveDeviceCount());
}

TEST_F(ObjectsTest, DeletingUndetachedOrDeletedDevicesIsReported)
{
    PDEVICE_OBJECT lower = CreateReady();
    PDEVICE_OBJECT upper = Create();
    IoAttachDeviceToDeviceStack(upper, lower);

    IoDeleteDevice(lower);  // the upper one is still attached above it: legal

    IoDeleteDevice(upper);  // never detached from the lower one
    const std::vector<Violation> found = Violations();
    ASSERT_FALSE(found.empty());
    EXPECT_EQ("DEVICE_DELETED_WHILE_ATTACHED", found.back().name);
    EXPECT_NE(std::string::npos, found.back().detail.find("IoDetachDevice"));
    EXPECT_EQ(1u, ExpectViolation("DEVICE_DELETED_WHILE_ATTACHED"));
    EXPECT_EQ(0u, LiveDeviceCount());  // both went once nothing held them

    IoDeleteDevice(upper);
    EXPECT_EQ(1u, ExpectViolation("DEVICE_DELETED_TWICE"));
}

TEST_F(ObjectsTest, DeviceLeftAtUnloadIsReportedAndAnswersNothing)
{
    PDEVICE_OBJECT device = Create();
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    UnloadBuiltinDriver("objects");
    EXPECT_EQ(1u, ExpectViolation("DEVICE_LEAK"));
    EXPECT_EQ(nullptr, DriverOf("objects"));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, SendIrpSync(device, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr));
}

}  // namespace
}  // namespace hk::test
