// The end-to-end tests drive the real window offscreen; they share one
// application object, the real one with its error-box hook.
#include "TApplication.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    TApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
