// Test entry point. Death tests fork a fresh process ("threadsafe" style) because several
// suites start threads and map shared files.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
