/*
 * The fixture every host test starts from: a fresh kernel for each test, and
 * a failure for every verifier finding the test did not expect. Also the
 * requests the Plug and Play and power managers send, for driver tests.
 */
#pragma once

#include <hk/host.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace hk::test {

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    // Unloads drivers that have no device left (as the I/O manager would),
    // reports every pool block still allocated as POOL_LEAK (a driver's, the
    // test's own, a manager's), then fails the test for every violation not
    // consumed by ExpectViolation.
    void TearDown() override;

    // Consumes every recorded violation of |name| not consumed before;
    // returns how many there were.
    size_t ExpectViolation(const std::string &name);

    // The next call of |service| fails (counting starts afresh).
    void FailNext(hk::Service service)
    {
        hk::ResetFaults();
        hk::FailNthCall(service, 1);
    }

private:
    std::vector<bool> consumed_;    // per violation index
};

// ----------------------------------------------------- Plug and Play requests
// Each request starts with STATUS_NOT_SUPPORTED in IoStatus, as the PnP
// manager sends it, and goes to |device| itself.
NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor,
                 const std::function<void(PIO_STACK_LOCATION)> &fill = nullptr, ULONG_PTR *information = nullptr);
NTSTATUS StartDevice(PDEVICE_OBJECT device, PCM_RESOURCE_LIST raw, PCM_RESOURCE_LIST translated);
// ID and text answers are read and freed with ExFreePool, as the PnP manager
// does; a multi-string gives one entry per string.
NTSTATUS QueryId(PDEVICE_OBJECT device, BUS_QUERY_ID_TYPE type, std::vector<std::string> *strings);
NTSTATUS QueryText(PDEVICE_OBJECT device, DEVICE_TEXT_TYPE type, std::string *text);
// The relations block is freed and the reference on each object released.
NTSTATUS QueryRelations(PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type, std::vector<PDEVICE_OBJECT> *objects);
NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES *capabilities);
NTSTATUS SendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

// Narrow text of a NUL-terminated wide string (ASCII only).
std::string AsciiOf(const wchar_t *wide);

}  // namespace hk::test
