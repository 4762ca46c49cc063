// Marks for tests that run on one target only.
#pragma once

// A test of a promise only the Linux stand-in runtime makes, or of something
// Wine does differently from Windows: on Windows it is built but not run
// (googletest lists it as disabled). The reason stands beside each use.
#ifdef _WIN32
#define LINUX_ONLY(name) DISABLED_##name
#else
#define LINUX_ONLY(name) name
#endif
