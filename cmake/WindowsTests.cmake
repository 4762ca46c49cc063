# The test suite against the Windows build: the same test programs, built with
# mingw-w64 against the component's sources on the Windows runtime, run under
# Wine by ctest (tests/windows/wine-test.sh is the cross-compiling emulator).
# The simulator's modems run in a Linux program beside each test process
# (tarvik-modemsim-server), which maps their pseudo-terminals into the Wine
# prefix as COM ports.

# googletest from Debian's source package, built with this compiler.
set(TARVIK_GTEST_SOURCE /usr/src/googletest CACHE PATH "googletest source folder")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${TARVIK_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(t gtest gmock)
    target_compile_options(${t} PRIVATE -w)
endforeach()

enable_testing()
include(GoogleTest)
include(${CMAKE_CURRENT_LIST_DIR}/TestPrograms.cmake)
# The Linux server of simulated modems (built by the Linux build).
set(TARVIK_MODEMSIM_SERVER ${PROJECT_SOURCE_DIR}/build/windows-sim/bin/tarvik-modemsim-server
    CACHE FILEPATH "The Linux tarvik-modemsim-server program")
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/tests/windows/wine-test.sh ${TARVIK_MODEMSIM_SERVER})

# The simulator's modems, as handles on the server's (tools/modemsim/remote).
add_library(tarvik_modemsim_remote STATIC
    ${PROJECT_SOURCE_DIR}/tools/modemsim/remote/RemoteModem.cpp
    ${PROJECT_SOURCE_DIR}/tools/modemsim/remote/Wire.cpp
    ${PROJECT_SOURCE_DIR}/tools/modemsim/engine/Outcome.cpp)
target_include_directories(tarvik_modemsim_remote PUBLIC ${PROJECT_SOURCE_DIR}/tools/modemsim/include)
target_link_libraries(tarvik_modemsim_remote PUBLIC Threads::Threads)

# Test support: what of tests/support does not stand for a POSIX device.
file(GLOB_RECURSE win_support CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/support/*.cpp)
list(FILTER win_support EXCLUDE REGEX "/process/|/pty/PtyPair.cpp")
add_library(tarvik_testsupport STATIC ${win_support})
target_include_directories(tarvik_testsupport PUBLIC ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(tarvik_testsupport PUBLIC tarvik_core_win tarvik_modemsim_remote GTest::gtest GTest::gmock)
# Paths as a Windows program under Wine sees them (drive Z: is /).
target_compile_definitions(tarvik_testsupport PUBLIC
    TARVIK_COMPANIONS_PATH="Z:$<TARGET_FILE:tarvik_companions_dll>"
    TARVIK_COMPONENT_PATH="Z:$<TARGET_FILE:tarvik_dll>"
    TARVIK_BUILD_DIR="Z:${CMAKE_BINARY_DIR}"
    TARVIK_SOURCE_DIR="Z:${PROJECT_SOURCE_DIR}")
add_dependencies(tarvik_testsupport tarvik_companions_dll tarvik_dll)

# Test files that check only the Linux stand-in runtime's own promises, or
# drive a POSIX device directly, stay Linux-only: docs/windows.md says why.
set(TARVIK_LINUX_ONLY_TESTS
    session/EndToEndTest.cpp         # the tarvik command-line tool and dlopen
    line/BankLimitTest.cpp)          # RLIMIT_NOFILE in a forked child

set(TARVIK_WINDOWS_TEST_AREAS runtime frame companions serial line session)
foreach(area IN LISTS TARVIK_WINDOWS_TEST_AREAS)
    file(GLOB area_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${area}/*.cpp)
    foreach(skip IN LISTS TARVIK_LINUX_ONLY_TESTS)
        list(REMOVE_ITEM area_sources ${PROJECT_SOURCE_DIR}/tests/${skip})
    endforeach()
    add_executable(test_${area} ${area_sources} ${CMAKE_BINARY_DIR}/generated/tarvik.rc)
    add_dependencies(test_${area} tarvik_typelib)
    target_compile_options(test_${area} PRIVATE $<$<COMPILE_LANGUAGE:RC>:-I${PROJECT_SOURCE_DIR}/resources>)
    target_link_libraries(test_${area} PRIVATE tarvik_testsupport)
    tarvik_discover_area_tests(test_${area} ${area})
endforeach()

# In-process servers for the activation tests, as Windows DLLs.
add_subdirectory(${PROJECT_SOURCE_DIR}/tests/runtime/fixtures ${CMAKE_BINARY_DIR}/tests/runtime/fixtures)
