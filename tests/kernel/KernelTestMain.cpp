// The main of every kernel test program: without a usable /dev/uhid it prints
// why and exits 77, which CTest counts as a skip. Listing the tests (CTest
// does so at build time, on the build machine) needs no uhid.

#include "UhidRemote.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests)) {
        std::string reason;
        if (!TUhidRemote::Available(reason)) {
            std::printf("Skipped: %s\n", reason.c_str());
            return 77;
        }
    }
    return RUN_ALL_TESTS();
}
