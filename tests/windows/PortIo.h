// What the host test asks of the system beyond the port handle (that is
// line/HostHandle.h): PortIo.cpp includes <windows.h>, which cannot share a
// file with the component's headers.
#pragma once

#include <cstdint>
#include <string>

namespace wintest {

// Appends one command line to the simulator's command file.
bool SimCommand(const std::string& file, const std::string& line);
// Loads `dll` and calls its entry point `name` (DllRegisterServer and the
// like); E_FAIL when either is missing.
int32_t CallDllEntry(const char* dll, const char* name);
uint64_t NowMs();
void SleepMs(uint32_t ms);

}  // namespace wintest
