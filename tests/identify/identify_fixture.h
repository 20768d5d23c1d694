/*
 * IdentifyBoard on its own, asking the host kernel for the properties of a
 * board's PDO, which this fixture serves the way the Plug and Play manager
 * does (STATUS_BUFFER_TOO_SMALL with the size needed, nothing for a property
 * the device does not have), or malformed on purpose.
 */
#pragma once

#include "PciParent/identify.h"
#include "support/kernel_test.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace identifytest {

// A board device as far as identification sees it: its extension and PDO.
struct TestBoard {
    TestBoard();
    TestBoard(const TestBoard &) = delete;
    TestBoard &operator=(const TestBoard &) = delete;

    DEVICE_OBJECT device{};
    BoardExtension extension{};
    std::string Number() const { return hk::test::AsciiOf(extension.BoardNumber); }
};

// Bytes of a wide multi-string: each ID, its NUL, and the closing NUL.
std::vector<uint8_t> MultiString(const std::vector<std::string> &ids);
// Bytes of wide text with no terminator at all.
std::vector<uint8_t> Unterminated(const std::string &text);
std::vector<uint8_t> WideString(const std::string &text);  // with its NUL

struct PropertyRead {
    DEVICE_REGISTRY_PROPERTY property;
    ULONG bufferLength;
};

class IdentifyTest : public hk::test::KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // What the PDO reports. No legacy bus type and enumerator "ROOT" is a
    // root-enumerated board.
    void PciBoard(const std::vector<std::string> &ids);
    void PcmciaCard(const std::vector<std::string> &ids);
    void RootBoard(const std::vector<std::string> &ids);

    NTSTATUS Identify(TestBoard &board);
    // 'Wdm ' blocks still allocated.
    static size_t DriverBlocks();

    std::optional<ULONG> legacyBusType;
    std::optional<std::vector<uint8_t>> enumeratorName;
    std::optional<std::vector<uint8_t>> hardwareIds;
    // Whatever of the caller's buffer the data leaves free is overwritten
    // with this character, to find a reader that goes past what was returned.
    std::optional<WCHAR> fillBeyondData;

    std::vector<PropertyRead> reads;
    std::vector<POOL_TYPE> bufferPools;  // pool type of each buffer a read was given
    PDEVICE_OBJECT pdo = nullptr;

private:
    NTSTATUS Answer(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                    PULONG resultLength);
    DEVICE_OBJECT pdoObject_{};
};

}  // namespace identifytest
