// The host's own use of the port handle it is given for a data call, with
// the system's API as any Windows host would use it (PortIo.cpp includes
// <windows.h>, which cannot share a file with the component's headers).
#pragma once

#include <cstdint>
#include <string>

namespace wintest {

// Overlapped write of all of `data` on the handle, waiting up to `timeoutMs`.
bool PortWrite(int32_t handle, const std::string& data, uint32_t timeoutMs);
// Overlapped reads until `count` bytes have come or `timeoutMs` has passed;
// returns what came.
std::string PortRead(int32_t handle, size_t count, uint32_t timeoutMs);
// Whether the number is a handle of a communications device (GetCommState
// answers for it).
bool IsCommHandle(int32_t handle);
// Appends one command line to the simulator's command file.
bool SimCommand(const std::string& file, const std::string& line);
// Loads `dll` and calls its entry point `name` (DllRegisterServer and the
// like); E_FAIL when either is missing.
int32_t CallDllEntry(const char* dll, const char* name);
uint64_t NowMs();
void SleepMs(uint32_t ms);

}  // namespace wintest
