// Every test process runs in a sandbox of its own: a private registry file,
// device map, log file and event file under a fresh temporary folder, with the
// companion components registered there. ctest runs test cases as separate
// processes in parallel, so nothing may be shared through the user's files.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <objbase.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "Sandbox.h"

int main(int argc, char** argv) {
    if (!tarvik::test::MakeSandbox())
        return 2;
#ifdef _WIN32
    // The C runtime buffers a piped stdout in full: a case that ctest ends at
    // its time-out would leave no line saying where it stood.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // The tests are free-threaded hosts; the Linux runtime is always so.
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 2;
#endif
    ::testing::InitGoogleTest(&argc, argv);
    if (!tarvik::test::RegisterLibrary(TARVIK_COMPANIONS_PATH)) {
        std::fprintf(stderr, "warning: companions not registered\n");
    }
    int rc = RUN_ALL_TESTS();
    std::error_code ec;
    if (!std::getenv("TARVIK_KEEP_SANDBOX"))
        std::filesystem::remove_all(tarvik::test::SandboxRoot(), ec);
    return rc;
}
