# What both mingw-w64 toolchain files share; they set TARVIK_MINGW_PREFIX and
# CMAKE_SYSTEM_PROCESSOR, then include this.
# The posix thread model: the component uses std::mutex and std::thread,
# which the win32 model of this GCC does not provide.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TARVIK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVIK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVIK_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TARVIK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
