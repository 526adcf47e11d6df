# meter_add_test(NAME name LABELS l1 [l2...] SOURCES ... [LIBS ...] [TIMEOUT s])
# One GoogleTest program, registered with CTest as one test. Every test runs
# with the offscreen Qt platform so no display is needed.
function(meter_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "LABELS;SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Threads::Threads)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES
        LABELS "${T_LABELS}"
        TIMEOUT ${T_TIMEOUT}
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;METER_BUILD_DIR=${CMAKE_BINARY_DIR};METER_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
