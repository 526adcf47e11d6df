# The Qt-free core and its tests, for the Windows cross build: the protocol,
# the serial core, the TCP client, the atomic file replacement, and
# GoogleTest built for the target from Debian's sources. ./test.sh --windows
# runs the tests under Wine through scripts/wine-run.sh (the emulator).
find_package(Threads REQUIRED)

if(NOT METER_GTEST_SOURCE)
    set(METER_GTEST_SOURCE /usr/src/googletest)
endif()
include(cmake/GTestFromSource.cmake)

# The Linux-built simulator the Wine tests talk to (over loopback and a pty).
set(METER_SIM_EXECUTABLE "" CACHE FILEPATH "meter-sim built for the build machine")

# CTest runs every test program through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-run.sh)

add_subdirectory(protocol)
add_subdirectory(serial)
add_subdirectory(network)
add_subdirectory(console)
add_subdirectory(tests/windows)
