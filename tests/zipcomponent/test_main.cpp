// The component's tests never touch the user's folders: configuration, state and home point at a
// fresh temporary folder for the whole run.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/zipcomponent/ComponentTestSupport.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    componenttest::TempDir home;
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME"}) {
        const auto dir = home.path() / name;
        std::filesystem::create_directories(dir);
        setenv(name, dir.c_str(), 1);
    }
    return RUN_ALL_TESTS();
}
