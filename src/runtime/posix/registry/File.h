// File access shared by the store and its cache.
#pragma once

#include <sys/stat.h>

#include <string>

namespace tarvik::registry::file {

enum class ReadResult { Ok, Missing, Failed };

// Reads the whole file; `st` (when given) describes exactly the file read,
// even if it is replaced meanwhile.
ReadResult ReadAll(const std::string& path, std::string* text, struct stat* st);

// Writes the store: temporary file in the same folder, fsync, rename. The
// caller holds the lock. False (and nothing changed) on failure.
bool ReplaceAtomically(const std::string& path, const std::string& text);

// Bumped by every write from this process, so this process's cache never
// trusts file metadata alone for its own writes.
uint64_t LocalGeneration();
void BumpLocalGeneration();

}  // namespace tarvik::registry::file
