#pragma once
#include <string>

namespace tarvik::test {
// The temporary folder this test process runs in (registry, device map, logs).
const std::string& SandboxRoot();
// Makes the sandbox folder and points the runtime's and companions' files
// into it; false (with a message) when the folder cannot be made.
bool MakeSandbox();
// Loads a component library and runs its DllRegisterServer (against the
// sandbox registry on Linux, the Wine prefix's registry on Windows).
bool RegisterLibrary(const char* path);
// Sets (or, with nullptr, removes) an environment variable of this process.
void SetEnv(const char* name, const char* value);
}  // namespace tarvik::test
