// The test runner. With --degenerate-hash every hash index of the core puts every
// text in one slot, so each test runs through the indexes' ordered fallback: the
// suite is registered once with and once without it, and every case must give the
// same outcome both ways.
#include <gtest/gtest.h>

#include <cstring>

#include "veltrinax/text.hpp"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--degenerate-hash") == 0) veltrinax::text::testing::set_degenerate_hash(true);
    }
    return RUN_ALL_TESTS();
}
