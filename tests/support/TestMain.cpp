// Every test process runs in a sandbox of its own: a private registry file,
// device map, log file and event file under a fresh temporary folder, with the
// companion components registered there. ctest runs test cases as separate
// processes in parallel, so nothing may be shared through the user's files.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "Sandbox.h"

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    if (!tarvik::test::MakeSandbox("tarvik-test")) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string& root = tarvik::test::SandboxRoot();

    ::testing::InitGoogleTest(&argc, argv);
    if (!tarvik::test::RegisterLibrary(TARVIK_COMPANIONS_PATH)) {
        std::fprintf(stderr, "warning: companions not registered\n");
    }
    int rc = RUN_ALL_TESTS();
    std::error_code ec;
    if (!getenv("TARVIK_KEEP_SANDBOX"))
        fs::remove_all(root, ec);
    return rc;
}
