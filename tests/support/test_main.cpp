// GoogleTest entry point that first moves the process into namespaces of its
// own (private /dev/shm, private loopback).
#include "isolation.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("--gtest_list_tests", 0) == 0) listing = true;
    if (!listing && !vnxtest::isolateProcess()) return 2;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
