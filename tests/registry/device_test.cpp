// Device keys and properties of PDOs, answered through the Plug and Play
// manager's hooks as a driver sees them.
#include "support/kernel_test.h"
#include "registry/registry_util.h"

#include <cstring>

namespace {

constexpr const char *kInstance = "MPSBUS\\VELMORA_PORT\\PORT_2";

class DeviceKeys : public hk::test::KernelTest {
protected:
    void SetUp() override
    {
        hk::test::KernelTest::SetUp();
        hk::PnpHooks hooks;
        hooks.instancePath = [this](PDEVICE_OBJECT pdo) { return pdo == &pdo_ ? std::string(kInstance) : ""; };
        // Answers as Windows does: the size needed always, the text only when it fits.
        hooks.getProperty = [this](PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, ULONG length,
                                   PVOID buffer, PULONG result) -> NTSTATUS {
            if (pdo != &pdo_ || property != DevicePropertyLocationInformation) return STATUS_INVALID_DEVICE_REQUEST;
            std::u16string text = hk::Wide(location_);
            ULONG needed = ULONG((text.size() + 1) * 2);
            *result = needed;
            if (length < needed) return STATUS_BUFFER_TOO_SMALL;
            memcpy(buffer, text.c_str(), needed);
            return STATUS_SUCCESS;
        };
        hk::SetPnpHooks(hooks);
    }
    DEVICE_OBJECT pdo_{};
    DEVICE_OBJECT notPdo_{};
    std::string location_ = "Velmora board 1 port 2";
};

TEST_F(DeviceKeys, DeviceKeyIsCreatedUnderTheInstanceAndWritable)
{
    const std::string path = hk::DeviceParametersPath(kInstance);
    EXPECT_EQ(path, "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\MPSBUS\\VELMORA_PORT\\PORT_2\\Device "
                    "Parameters");
    HANDLE key = nullptr;
    // A read-control handle still writes: kernel-mode handles are not access-checked.
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DEVICE, READ_CONTROL, &key), STATUS_SUCCESS);
    EXPECT_TRUE(hk::reg::KeyExists(path));
    KernelString name("VOPR");
    ULONG value = 0x103;
    ASSERT_EQ(ZwSetValueKey(key, &name.us, 0, REG_DWORD, &value, 4), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UCHAR info[32];
    ULONG result;
    ASSERT_EQ(ZwQueryValueKey(key, &name.us, KeyValuePartialInformation, info, sizeof(info), &result), STATUS_SUCCESS);
    EXPECT_EQ(*reinterpret_cast<ULONG *>(info + 12), 0x103u) << "the key is nonvolatile: reopening finds the value";
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(DeviceKeys, OpenRefusesNonPdosAndReportsInjectedFailure)
{
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&notPdo_, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key),
              STATUS_INVALID_DEVICE_REQUEST);
    FailNext(hk::Service::RegistryOpen);
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hk::reg::OpenHandleCount(), 0u);
    EXPECT_FALSE(hk::reg::KeyExists(hk::DeviceParametersPath(kInstance)));
}

TEST_F(DeviceKeys, PropertyReadLoopsOnBufferTooSmall)
{
    // The caller's loop: ask with a guess, grow to the size returned, ask again.
    ULONG size = 8;
    std::vector<uint8_t> buffer(size);
    NTSTATUS status;
    int calls = 0;
    while ((status = IoGetDeviceProperty(&pdo_, DevicePropertyLocationInformation, size, buffer.data(), &size)) ==
           STATUS_BUFFER_TOO_SMALL) {
        buffer.assign(size, 0);
        if (++calls == 1) location_ = "Velmora board 1 port 12";  // the answer may grow between calls
        ASSERT_LT(calls, 4);
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(size, 48u);
    EXPECT_EQ(hk::Narrow(reinterpret_cast<const wchar_t *>(buffer.data())), "Velmora board 1 port 12");
}

TEST_F(DeviceKeys, PropertyWithoutManagerOrUnderFaultFails)
{
    ULONG size = 0;
    FailNext(hk::Service::Property);
    EXPECT_EQ(IoGetDeviceProperty(&pdo_, DevicePropertyLocationInformation, 0, nullptr, &size),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(hk::CallCount(hk::Service::Property), 1u);
    hk::SetPnpHooks(hk::PnpHooks());
    EXPECT_EQ(IoGetDeviceProperty(&pdo_, DevicePropertyLocationInformation, 0, nullptr, &size),
              STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
