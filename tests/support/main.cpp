#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    // Kernel events block real threads, so death tests re-run the binary
    // rather than fork a copy with threads frozen mid-call.
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
