# GoogleTest built for the target from its sources: the Windows builds have
# no installed copy (Debian's googletest package holds the sources in
# /usr/src/googletest; on Windows point METER_GTEST_SOURCE at a release).
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
# Same runtime as the console's own code under MSVC.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${METER_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
