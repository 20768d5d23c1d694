#include "lower_driver.h"

#include "events.h"
#include "lower_filter.h"

#include <hk/host.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace stacktest {
namespace {

const char kService[] = "testbus";

std::map<std::pair<UCHAR, UCHAR>, NTSTATUS> gAnswers;
bool gPends = false;
std::mutex gThreadsLock;
std::vector<std::string> gPowerStates;  // guarded by gThreadsLock
std::vector<std::thread> gCompletions;
std::vector<PDEVICE_OBJECT> gPdos;

NTSTATUS Finish(PIRP Irp, NTSTATUS status)
{
    Irp->IoStatus.Status = status;
    if (!gPends) {
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(Irp);
    std::lock_guard<std::mutex> hold(gThreadsLock);
    gCompletions.emplace_back([Irp] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
}

std::string RequestName(PIO_STACK_LOCATION stack)
{
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP: return PnpMinorName(stack->MinorFunction);
    case IRP_MJ_POWER: return "POWER";
    default: return "MAJOR " + std::to_string(stack->MajorFunction);
    }
}

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (sim::WentAroundLowerFilter(DeviceObject, Irp)) {
        RecordEvent("around the filter:" + RequestName(stack));
        if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(Irp);
        return Finish(Irp, sim::RefusedAroundLowerFilter(DeviceObject, Irp) ? STATUS_INVALID_DEVICE_STATE
                                                                            : STATUS_SUCCESS);
    }
    // A bus driver never fails a removal, whatever the request carried.
    const bool removal = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    NTSTATUS status = removal ? STATUS_SUCCESS : Irp->IoStatus.Status;
    auto answer = gAnswers.find({stack->MajorFunction, stack->MinorFunction});
    if (answer != gAnswers.end()) status = answer->second;

    RecordEvent("lower:" + RequestName(stack));
    if (stack->MajorFunction != IRP_MJ_POWER) return Finish(Irp, status);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        const bool system = stack->Parameters.Power.Type == SystemPowerState;
        const int state = system ? stack->Parameters.Power.State.SystemState - PowerSystemWorking
                                 : stack->Parameters.Power.State.DeviceState - PowerDeviceD0;
        std::lock_guard<std::mutex> hold(gThreadsLock);
        gPowerStates.push_back((system ? "S" : "D") + std::to_string(state));
    }
    PoStartNextPowerIrp(Irp);
    return Finish(Irp, answer == gAnswers.end() ? STATUS_SUCCESS : status);
}

NTSTATUS NTAPI LowerEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) DriverObject->MajorFunction[major] = LowerDispatch;
    return STATUS_SUCCESS;
}

}  // namespace

PDEVICE_OBJECT CreateLowerPdo()
{
    PDRIVER_OBJECT driver = hk::DriverOf(kService);
    if (driver == nullptr) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver = hk::LoadBuiltinDriver(kService, LowerEntry, &status);
        if (driver == nullptr || !NT_SUCCESS(status)) return nullptr;
    }
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo))) return nullptr;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    gPdos.push_back(pdo);
    return pdo;
}

void DeleteLowerPdo(PDEVICE_OBJECT pdo)
{
    for (auto it = gPdos.begin(); it != gPdos.end(); ++it) {
        if (*it != pdo) continue;
        gPdos.erase(it);
        IoDeleteDevice(pdo);
        return;
    }
}

PDEVICE_OBJECT AddLowerFilter(PDEVICE_OBJECT pdo)
{
    PDRIVER_OBJECT filter = hk::DriverOf(sim::kLowerFilterService);
    if (filter == nullptr) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        filter = hk::LoadBuiltinDriver(sim::kLowerFilterService, sim::LowerFilterDriverEntry, &status);
        if (filter == nullptr || !NT_SUCCESS(status)) return nullptr;
    }
    if (!NT_SUCCESS(hk::CallAddDevice(filter, pdo))) return nullptr;
    return pdo->AttachedDevice;
}

void SetLowerAnswer(UCHAR major, UCHAR minor, NTSTATUS status) { gAnswers[{major, minor}] = status; }

void SetLowerPends(bool pends) { gPends = pends; }

std::vector<std::string> LowerPowerStates()
{
    std::lock_guard<std::mutex> hold(gThreadsLock);
    return gPowerStates;
}

void JoinLowerCompletions()
{
    std::vector<std::thread> completions;
    {
        std::lock_guard<std::mutex> hold(gThreadsLock);
        completions.swap(gCompletions);
    }
    for (std::thread &completion : completions) completion.join();
}

void ResetLowerDriver()
{
    JoinLowerCompletions();
    gAnswers.clear();
    gPends = false;
    for (PDEVICE_OBJECT pdo : gPdos) {
        // A filter whose function driver never came, or failed its
        // AddDevice, goes with the removal the PnP manager sends it.
        PDEVICE_OBJECT filter = pdo->AttachedDevice;
        if (filter != nullptr && filter->DriverObject == hk::DriverOf(sim::kLowerFilterService) &&
            filter->AttachedDevice == nullptr)
            hk::SendIrpSync(filter, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
        IoDeleteDevice(pdo);
    }
    gPdos.clear();
    gPowerStates.clear();
}

}  // namespace stacktest
