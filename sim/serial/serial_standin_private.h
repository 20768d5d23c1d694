/*
 * Between the files of the serial port driver stand-in.
 *
 * Everything the stand-in does as a driver lives in one code section, so the
 * host kernel can tell its register accesses and kernel calls from the
 * simulator's own: DriverEntry registers that range as the image "serial".
 * Routines that only keep the host-side records stay outside it.
 */
#pragma once

#include "serial_standin.h"

#define SERIAL_CODE __attribute__((section("serial_standin_text")))

namespace sim::serial {

// The records kept per PDO; see SerialRecordFor.
void BeginRecord(PDEVICE_OBJECT pdo);
void StoreRecord(PDEVICE_OBJECT pdo, SerialPortRecord record);
void MarkNotStarted(PDEVICE_OBJECT pdo);
// Whether FailSerialPort was called for |pdo|.
bool ReportsFailure(PDEVICE_OBJECT pdo);

// Programs the UART block found in |record|'s translated resources, runs the
// loopback and interrupt status register checks and writes their outcome
// into |record|. Reads "PortIndex" from the recorded registry values.
void RunPortChecks(SerialPortRecord *record);

}  // namespace sim::serial
