# Cross-compiling Tarvik.dll for Windows with mingw-w64 (i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARVIK_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
