#pragma once
#include <string>

namespace tarvik::test {
// The temporary folder this test process runs in (registry, device map, logs).
const std::string& SandboxRoot();
// Makes a fresh folder named after `prefix` in the temporary folder, points
// the runtime's and companions' files into it and makes it the sandbox root;
// false (with a message) when the folder cannot be made.
bool MakeSandbox(const char* prefix = "tarvik-test");
// Loads a component library (it stays loaded) and finds an entry point in
// it; null (with a message) when either fails.
void* LibraryEntry(const char* path, const char* name);
// Loads a component library and runs its DllRegisterServer (against the
// sandbox registry on Linux, the Wine prefix's registry on Windows).
bool RegisterLibrary(const char* path);
// Sets (or, with nullptr, removes) an environment variable of this process.
void SetEnv(const char* name, const char* value);
// The address of the export `symbol` of the library at `path` while that
// library is loaded (asked without loading it); null when it is not loaded or
// has no such export. With no symbol, any non-null value means loaded.
void* LoadedSymbol(const char* path, const char* symbol = nullptr);
// How many descriptors (on Windows: handles) the process holds open.
int OpenDescriptors();
// The processor time (user and system) this process has used, in seconds.
double ProcessCpuSeconds();
}  // namespace tarvik::test
