#pragma once
#include <string>

namespace tarvik::test {
// The temporary folder this test process runs in (registry, device map, logs).
const std::string& SandboxRoot();
void SetSandboxRoot(const std::string& root);
// Loads a component library and runs its DllRegisterServer against the
// sandbox registry.
bool RegisterLibrary(const char* path);
}  // namespace tarvik::test
