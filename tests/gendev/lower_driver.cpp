#include "lower_driver.h"

#include "events.h"

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

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    auto answer = gAnswers.find({stack->MajorFunction, stack->MinorFunction});
    if (answer != gAnswers.end()) status = answer->second;

    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        RecordEvent("lower:" + PnpMinorName(stack->MinorFunction));
        return Finish(Irp, status);
    case IRP_MJ_POWER:
        RecordEvent("lower:POWER");
        if (stack->MinorFunction == IRP_MN_SET_POWER) {
            const bool system = stack->Parameters.Power.Type == SystemPowerState;
            const int state = system ? stack->Parameters.Power.State.SystemState - PowerSystemWorking
                                     : stack->Parameters.Power.State.DeviceState - PowerDeviceD0;
            std::lock_guard<std::mutex> hold(gThreadsLock);
            gPowerStates.push_back((system ? "S" : "D") + std::to_string(state));
        }
        PoStartNextPowerIrp(Irp);
        return Finish(Irp, answer == gAnswers.end() ? STATUS_SUCCESS : status);
    default:
        RecordEvent("lower:MAJOR " + std::to_string(stack->MajorFunction));
        return Finish(Irp, status);
    }
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

void SetLowerAnswer(UCHAR major, UCHAR minor, NTSTATUS status) { gAnswers[{major, minor}] = status; }

void SetLowerPends(bool pends) { gPends = pends; }

std::vector<std::string> LowerPowerStates()
{
    std::lock_guard<std::mutex> hold(gThreadsLock);
    return gPowerStates;
}

void ResetLowerDriver()
{
    std::vector<std::thread> completions;
    {
        std::lock_guard<std::mutex> hold(gThreadsLock);
        completions.swap(gCompletions);
    }
    for (std::thread &completion : completions) completion.join();
    for (PDEVICE_OBJECT pdo : gPdos) IoDeleteDevice(pdo);
    gPdos.clear();
    gAnswers.clear();
    gPends = false;
    gPowerStates.clear();
}

}  // namespace stacktest
