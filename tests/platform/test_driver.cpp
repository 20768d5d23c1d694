#include "platform/test_driver.h"

namespace hk::test {
namespace {

std::map<PDEVICE_OBJECT, Behaviour> &Behaviours()
{
    static std::map<PDEVICE_OBJECT, Behaviour> behaviours;
    return behaviours;
}

NTSTATUS NTAPI Route(PDEVICE_OBJECT device, PIRP irp) { return Behaviours().at(device)(device, irp); }

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = Route;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Trampoline(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    return (*static_cast<Completion *>(context))(device, irp);
}

}  // namespace

void StackTest::SetUp()
{
    KernelTest::SetUp();
    Behaviours().clear();
    devices_.clear();
}

void StackTest::TearDown()
{
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        if (LowerDeviceOf(*it) != nullptr) IoDetachDevice(LowerDeviceOf(*it));
        if (!IsDeletePending(*it)) IoDeleteDevice(*it);
    }
    KernelTest::TearDown();
}

PDEVICE_OBJECT StackTest::AddDevice(const std::string &service, Behaviour behaviour, PDEVICE_OBJECT below)
{
    PDRIVER_OBJECT driver = LoadBuiltinDriver(service, Entry, nullptr);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    if (below != nullptr) EXPECT_NE(nullptr, IoAttachDeviceToDeviceStack(device, below));
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    Behaviours()[device] = std::move(behaviour);
    devices_.push_back(device);
    return device;
}

void StackTest::SetCompletion(PIRP irp, Completion routine, bool onSuccess, bool onError, bool onCancel)
{
    completions_.push_back(std::move(routine));
    IoSetCompletionRoutine(irp, Trampoline, &completions_.back(), onSuccess, onError, onCancel);
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

Behaviour Completes(NTSTATUS status, ULONG_PTR information)
{
    return [=](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, status, information); };
}

}  // namespace hk::test
