#pragma once
#include <string>

namespace tarvik::test {
// The temporary folder this test process runs in (registry, device map, logs).
const std::string& SandboxRoot();
void SetSandboxRoot(const std::string& root);
// Loads a component library and runs its DllRegisterServer against the
// sandbox registry.
bool RegisterLibrary(const char* path);
// Makes a fresh folder under /tmp named after `prefix`, points the registry,
// device map, log and event file there and makes it the sandbox root. False
// when the folder cannot be made.
bool MakeSandbox(const char* prefix);
// How many descriptors the process holds open.
int OpenDescriptors();
}  // namespace tarvik::test
