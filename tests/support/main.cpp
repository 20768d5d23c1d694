#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifdef MPS_TEST_EMULATOR
namespace {

// Where the kernel runs no i386 programs, a death test's child must start
// the emulator with this binary, not this binary itself. The emulator's
// command line comes from the build, its words separated by '|'.
void RunDeathTestChildrenThrough(const std::string &emulator, int argc, char **argv)
{
    std::vector<std::string> command;
    for (size_t start = 0;;) {
        const size_t end = emulator.find('|', start);
        command.push_back(emulator.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    command.insert(command.end(), argv, argv + argc);
    ::testing::internal::SetInjectableArgvs(command);
}

}  // namespace
#endif

int main(int argc, char **argv)
{
    // Kernel events block real threads, so death tests re-run the binary
    // rather than fork a copy with threads frozen mid-call.
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    ::testing::InitGoogleTest(&argc, argv);
#ifdef MPS_TEST_EMULATOR
    RunDeathTestChildrenThrough(MPS_TEST_EMULATOR, argc, argv);
#endif
    return RUN_ALL_TESTS();
}
