// The main of the GoogleTest programs that need no Qt application.
#include "support/Environment.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    const kestrel::testsupport::TestEnvironment environment;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
