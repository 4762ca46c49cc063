// The host's side of a data call: the port handle CallConnected gives it, a
// descriptor on Linux and a Win32 handle of the communications device on
// Windows, used as a host there would use it.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include <cstdint>

namespace tarvik::test {

// Writes all of `bytes`, waiting up to 10 s.
bool HostPortWrite(int32_t handle, std::string_view bytes);
// Reads until `text` has arrived or `timeout` passes; all bytes read.
std::string HostPortReadUntil(int32_t handle, const std::string& text,
                              std::chrono::milliseconds timeout);
// Whether the handle names an open serial device.
bool HostPortIsOpen(int32_t handle);
// The line speed the device is set to, in bits per second; 0 if unknown.
long HostPortSpeed(int32_t handle);

}  // namespace tarvik::test
