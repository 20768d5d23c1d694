/*
 * What the serial port driver stand-in saw on each port, kept per PDO for the
 * simulator's report and the tests. Host bookkeeping, not driver code.
 */
#include "serial_standin_private.h"

#include <map>
#include <set>
#include <mutex>

namespace sim {
namespace {

std::mutex &RecordsLock()
{
    static std::mutex lock;
    return lock;
}

// std::map keeps each record at one address, so SerialRecordFor can hand out
// a pointer that stays valid until the records are reset.
std::map<PDEVICE_OBJECT, SerialPortRecord> &Records()
{
    static std::map<PDEVICE_OBJECT, SerialPortRecord> records;
    return records;
}

std::set<PDEVICE_OBJECT> &FailedPorts()
{
    static std::set<PDEVICE_OBJECT> failed;
    return failed;
}

}  // namespace

namespace serial {

bool ReportsFailure(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> hold(RecordsLock());
    return FailedPorts().count(pdo) != 0;
}

void BeginRecord(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> hold(RecordsLock());
    Records()[pdo] = SerialPortRecord();
}

void StoreRecord(PDEVICE_OBJECT pdo, SerialPortRecord record)
{
    std::lock_guard<std::mutex> hold(RecordsLock());
    Records()[pdo] = std::move(record);
}

void MarkNotStarted(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> hold(RecordsLock());
    auto found = Records().find(pdo);
    if (found != Records().end()) found->second.started = false;
}

}  // namespace serial

const SerialPortRecord *SerialRecordFor(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> hold(RecordsLock());
    auto found = Records().find(pdo);
    return found == Records().end() ? nullptr : &found->second;
}

SerialPortRecord ExercisePort(PDEVICE_OBJECT pdo)
{
    SerialPortRecord record;
    {
        std::lock_guard<std::mutex> hold(RecordsLock());
        auto found = Records().find(pdo);
        if (found == Records().end() || !found->second.started) return record;
        record = found->second;
    }
    record.loopback = record.statusRegister = CheckResult::NotRun;
    record.checkDetail.clear();
    serial::RunPortChecks(&record);
    return record;
}

void ResetSerialRecords()
{
    std::lock_guard<std::mutex> hold(RecordsLock());
    Records().clear();
    FailedPorts().clear();
}

void FailSerialPort(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> hold(RecordsLock());
    FailedPorts().insert(pdo);
}

const char *CheckResultName(CheckResult result)
{
    switch (result) {
    case CheckResult::Ok: return "ok";
    case CheckResult::Failed: return "failed";
    case CheckResult::NotRun: break;
    }
    return "not run";
}

}  // namespace sim
