// The service key path DriverEntry is handed is a counted string: the entry
// line shows exactly its Length, whatever follows it in the buffer, and the
// copy the driver keeps ends there too.
#include "PciChild/mpsfilt.h"
#include "support/kernel_test.h"

#include <string>

namespace {

using ServiceKeyTest = hk::test::KernelTest;

TEST_F(ServiceKeyTest, TheEntryLineAndTheCopyEndWithThePathsLength)
{
    const std::string path = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mpsfilt";
    // The path's characters, then more of them and no NUL within its
    // MaximumLength: the I/O manager promises only the count.
    std::u16string buffer = hk::Wide(path + "\\NotThePath");
    UNICODE_STRING registryPath;
    registryPath.Buffer = reinterpret_cast<PWSTR>(&buffer[0]);
    registryPath.Length = USHORT(path.size() * sizeof(WCHAR));
    registryPath.MaximumLength = USHORT(buffer.size() * sizeof(WCHAR));

    DRIVER_EXTENSION extension = {};
    DRIVER_OBJECT driver = {};
    driver.DriverExtension = &extension;
    DebugLevel = 2;
    ASSERT_EQ(DriverEntry(&driver, &registryPath), STATUS_SUCCESS);
    EXPECT_EQ(hk::DebugOutput("host"), "DUZOREDAZ: Entering DriverEntry(), Service Key Name =\n    " + path +
                                           "\nDUZOREDAZ: exiting DriverEntry\n");
    ASSERT_NE(RegistryPathCopy.Buffer, nullptr);
    EXPECT_EQ(RegistryPathCopy.Length, registryPath.Length);
    EXPECT_EQ(hk::test::AsciiOf(RegistryPathCopy.Buffer), path) << "the copy is NUL-terminated";

    driver.DriverUnload(&driver);
    EXPECT_EQ(RegistryPathCopy.Buffer, nullptr);
    EXPECT_EQ(gExAllocCount, 0);
}

}  // namespace
