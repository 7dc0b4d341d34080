// Test entry point. Death tests fork a fresh process ("threadsafe" style) because several
// suites start threads and map shared files. The roots of test processes that are gone (a death
// test's child, a killed run) are removed at the end.
#include "support/Harness.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int rc = RUN_ALL_TESTS();
    VeskTest::sweepDeadRoots();
    return rc;
}
