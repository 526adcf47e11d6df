include(GoogleTest)

# meter_add_test(NAME name LABELS l1 [l2...] SOURCES ... [LIBS ...] [TIMEOUT s])
# One GoogleTest program; CTest sees each of its cases as a test of its own
# (named Suite.Case), so `ctest -R` runs one case and a failure names it.
# Every case runs with the offscreen Qt platform so no display is needed.
function(meter_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "LABELS;SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Threads::Threads)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    # The environment goes on the command line: the properties of discovered
    # tests cannot hold a list, and the listing itself needs the platform too.
    set_property(TARGET ${T_NAME} PROPERTY CROSSCOMPILING_EMULATOR env QT_QPA_PLATFORM=offscreen
        METER_BUILD_DIR=${CMAKE_BINARY_DIR} METER_SOURCE_DIR=${CMAKE_SOURCE_DIR})
    # Listed when CTest runs, not at build time: a sanitizer build then never
    # runs a test program outside the suite.
    gtest_discover_tests(${T_NAME}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 30)
    # Labels and time-out are set by a script CTest reads after the listing,
    # on the list of cases it made: passed as discovery properties, a second
    # label would be taken for a property name and the time-out lost.
    set(props ${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}_properties.cmake)
    file(WRITE ${props}
        "set_tests_properties(\${${T_NAME}_TESTS} PROPERTIES LABELS \"${T_LABELS}\" TIMEOUT ${T_TIMEOUT})\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${props})
endfunction()
