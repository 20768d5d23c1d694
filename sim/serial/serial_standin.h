/*
 * The serial port driver of the simulated machine: the function driver of
 * every port node, below mpsfilt. It passes requests down like any function
 * driver and, when a port starts, records what it was given and exercises it
 * as a PC serial driver would: a loopback test on its UART block and a look at
 * the board's interrupt status register for its own port's bit.
 *
 * It is the port's function driver, so opens end here, as in the system's
 * serial driver (Microsoft's WDM serial sample): one open at a time (a
 * second create fails with STATUS_ACCESS_DENIED); while open it refuses
 * IRP_MN_QUERY_REMOVE_DEVICE and IRP_MN_QUERY_STOP_DEVICE with
 * STATUS_DEVICE_BUSY, and a started port whose settings say "MultiportDevice"
 * refuses IRP_MN_QUERY_STOP_DEVICE with STATUS_NOT_SUPPORTED whether open or
 * not (checked first); after IRP_MN_SURPRISE_REMOVAL cleanup and close still
 * succeed, a device control fails and a new open is refused
 * (STATUS_DELETE_PENDING).
 */
#pragma once

#include <hk/host.h>

#include <string>
#include <utility>
#include <vector>

namespace sim {

enum class CheckResult { NotRun, Ok, Failed };

struct SerialPortRecord {
    bool started = false;
    NTSTATUS startStatus = STATUS_PENDING;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw, translated;   // what START handed it
    std::vector<std::pair<std::string, hk::reg::Value>> registry;  // its device key's values at start
    CheckResult loopback = CheckResult::NotRun, statusRegister = CheckResult::NotRun;
    std::string checkDetail;                                       // why a check failed
};

extern const char kSerialService[];  // "serial"

NTSTATUS NTAPI SerialDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);  // for hk::LoadBuiltinDriver
const SerialPortRecord *SerialRecordFor(PDEVICE_OBJECT pdo);        // null if the stand-in never saw that PDO
// Uses a started port again as an application opening it would: the
// loopback and status register checks on the resources of its last START,
// the outcome in the record returned (not kept). NotRun for a port the
// stand-in never started.
SerialPortRecord ExercisePort(PDEVICE_OBJECT pdo);
void ResetSerialRecords();

// Makes the serial driver on |pdo|'s stack report its device failed
// (PNP_DEVICE_FAILED) from its next IRP_MN_QUERY_PNP_DEVICE_STATE on, as
// when the UART stops answering; the caller invalidates the device state.
void FailSerialPort(PDEVICE_OBJECT pdo);
// Whether the serial driver on |pdo|'s stack has the port open.
bool SerialPortOpen(PDEVICE_OBJECT pdo);

const char *CheckResultName(CheckResult result);  // "ok", "failed", "not run"

}  // namespace sim
