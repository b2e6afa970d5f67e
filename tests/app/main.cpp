#include <gtest/gtest.h>

#include <cstdlib>

#include "Application.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The window tests run without a display (also when the test list is
    // gathered, which happens outside the tests' own environment).
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    corvane::TApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
