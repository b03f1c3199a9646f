# Build-wide settings shared by every target: warnings, sanitizers, test
# frameworks, and the platform target that portable code links against.

set(QVM_SANITIZE "" CACHE STRING "native only: address, thread or fuzzer")

if(WIN32)
    set(QVM_WINDOWS ON)
else()
    set(QVM_WINDOWS OFF)
endif()

add_compile_options(-Wall -Wextra -Werror)

# The program's version has one source, project(... VERSION) at the top:
# "3.50" is the text, 3.5.0.0 the version record's numbers (the two digits
# after the point as two fields). qvm_version.h carries both to the code and
# the resource compiler.
if(NOT PROJECT_VERSION MATCHES "^([0-9]+)\\.([0-9])([0-9])$")
    message(FATAL_ERROR "project version ${PROJECT_VERSION}: expected N.NN, as in 3.50")
endif()
set(QVM_VERSION_TEXT ${PROJECT_VERSION})
set(QVM_VERSION_BIN "${CMAKE_MATCH_1}, ${CMAKE_MATCH_2}, ${CMAKE_MATCH_3}, 0")
set(QVM_VERSION_DIR ${CMAKE_BINARY_DIR}/version)
configure_file(${CMAKE_SOURCE_DIR}/GUI/qvm_updater/res/qvm_version.h.in
               ${QVM_VERSION_DIR}/qvm_version.h @ONLY)

# Windows executables are reproducible to the byte: no build folder in them
# (source and build paths mapped to fixed names; the build folder lies inside
# the source folder, and the later map is tried first) and no link time stamp.
if(QVM_WINDOWS)
    add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
                        -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
    add_link_options(-Wl,--no-insert-timestamp)
endif()

if(NOT QVM_WINDOWS)
    if(QVM_SANITIZE STREQUAL "address")
        add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                            -fno-sanitize-recover=undefined)
        add_link_options(-fsanitize=address,undefined)
    elseif(QVM_SANITIZE STREQUAL "thread")
        add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
        add_link_options(-fsanitize=thread)
    elseif(QVM_SANITIZE STREQUAL "fuzzer")
        add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
        add_link_options(-fsanitize=address,undefined)
    endif()
endif()

# qvm_platform: what portable modules link to get the Win32 kernel calls.
# On Windows that is the system itself; natively it is our POSIX layer.
add_library(qvm_platform INTERFACE)
if(NOT QVM_WINDOWS)
    target_include_directories(qvm_platform INTERFACE ${CMAKE_SOURCE_DIR}/GUI/posix/inc)
    target_link_libraries(qvm_platform INTERFACE qvm_posix)
endif()

# GoogleTest: Debian's package natively, Debian's sources built with MinGW
# for Windows.
if(QVM_WINDOWS)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # GoogleTest's own sources are not ours to keep warning-clean.
    foreach(t gtest gtest_main gmock gmock_main)
        if(TARGET ${t})
            target_compile_options(${t} PRIVATE -Wno-error)
        endif()
    endforeach()
else()
    find_package(GTest REQUIRED)
    find_package(benchmark QUIET)
endif()
include(GoogleTest)

# Every test has a time limit, so that a hang (a deadline that never
# fires, a wait without end) fails its test instead of holding up
# `make test`: generous, many times what a test takes on two busy cores.
# Each level sets its own; test_timeouts checks that none lacks one.
set(QVM_NATIVE_TEST_TIMEOUT 300)  # one native test (ASan or TSan)
set(QVM_SCRIPT_TEST_TIMEOUT 120)  # a fuzz smoke run, a check of a built file

# qvm_native_test(NAME SOURCES... LIBS ...): a native GoogleTest executable,
# each test registered with ctest.
function(qvm_native_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
    # Labels are set by a script that ctest reads after the discovered list:
    # gtest_discover_tests flattens a list-valued property ("unit;threads"
    # would leave only "unit").
    set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${labels_file}
         "if(DEFINED ${name}_TESTS)\n"
         "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"unit;${T_LABELS}\"\n"
         "                       TIMEOUT ${QVM_NATIVE_TEST_TIMEOUT})\n"
         "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
endfunction()

# qvm_windows_test(NAME SOURCES... LIBS ...): a Windows GoogleTest executable,
# run under Wine as one ctest test (each Wine start costs time), with the
# GoogleTest summary in the ctest log.
function(qvm_windows_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES LABELS "win;${T_LABELS}" TIMEOUT 300)
endfunction()

# qvm_add_areas(): adds every subfolder of the current folder that has a
# CMakeLists.txt (each is one test or benchmark area).
function(qvm_add_areas)
    file(GLOB areas LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
    foreach(area IN LISTS areas)
        if(EXISTS ${area}/CMakeLists.txt)
            add_subdirectory(${area})
        endif()
    endforeach()
endfunction()

# Test framing shared by the device model's and the driver's tests.
add_library(qvm_test_frames INTERFACE)
target_include_directories(qvm_test_frames INTERFACE ${CMAKE_SOURCE_DIR}/tests/support)

# qvm_mes_test(NAME SOURCES ... LIBS ... [LOCK resource...]): a Windows test
# program run inside tests/support/with_mes_standin.sh (the MES stand-in
# started around it), which reads the stand-in's records with nlohmann-json.
# Labels e2e;mes (win;mes without LOCK, which then needs no device driver).
function(qvm_mes_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LOCK" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
    target_include_directories(${name} SYSTEM PRIVATE ${CMAKE_BINARY_DIR}/private-include)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
    target_compile_definitions(${name} PRIVATE JSON_NO_IO)
    add_test(NAME ${name}
             COMMAND ${CMAKE_SOURCE_DIR}/tests/support/with_mes_standin.sh
                     ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}> --gtest_brief=1)
    if(T_LOCK)
        set_tests_properties(${name} PROPERTIES LABELS "e2e;mes" TIMEOUT 300
                             FIXTURES_REQUIRED devsim_driver RESOURCE_LOCK "${T_LOCK}")
    else()
        set_tests_properties(${name} PROPERTIES LABELS "win;mes" TIMEOUT 300)
    endif()
endfunction()
