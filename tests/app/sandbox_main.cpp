// Test binaries whose code uses the device's fixed paths ("/cmap/version.txt",
// "/QX4XX/MMC", the extraction root "/") run themselves again inside upgsim's
// sandbox, on a fresh temporary root file system and card.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/upgsim_sandbox.h"

int main(int argc, char** argv) {
    // Listing the tests (test discovery at build time) runs none of them.
    bool listing = false;
    for (int i = 1; i < argc; ++i) listing = listing || std::strncmp(argv[i], "--gtest_list_tests", 18) == 0;
    if (!listing)
        if (auto status = sim::rerun_in_sandbox(argc, argv)) return *status;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
