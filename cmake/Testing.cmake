# GoogleTest from the distribution's sources, built once for the cross target.
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

include(GoogleTest)

# tb_add_gtest(NAME name SOURCES ... LIBS ... [WORKING_DIRECTORY dir] [OUTPUT_DIRECTORY dir])
# One test program per folder of tests; each test case becomes a ctest test,
# listed when ctest starts so the build itself never needs Wine.
function(tb_add_gtest)
    cmake_parse_arguments(T "" "NAME;WORKING_DIRECTORY;OUTPUT_DIRECTORY" "SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES} ${CMAKE_SOURCE_DIR}/tests/harness/ProgramStarted.cpp)
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
    target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests/harness)
    if(T_OUTPUT_DIRECTORY)
        set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${T_OUTPUT_DIRECTORY})
    endif()
    if(NOT T_WORKING_DIRECTORY)
        set(T_WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    endif()
    gtest_discover_tests(${T_NAME}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        WORKING_DIRECTORY ${T_WORKING_DIRECTORY}
        PROPERTIES TIMEOUT 120)
endfunction()
