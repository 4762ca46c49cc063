# The Windows build (mingw-w64): Tarvik.dll, TarvikCompanions.dll and the
# Windows host test, on the system's services. The component, frame and
# companion sources are the same as on Linux; the runtime is
# src/runtime/win32 (kernel32, ole32, oleaut32, the registry and the Win32
# communications API), reached through the same tarvik/ headers, with
# src/runtime/win32/include/tarvik/serial.h in place of the POSIX device.

# The system IDL files and stdole2.tlb come with Wine (wine64-tools).
find_program(TARVIK_WIDL widl REQUIRED)
set(TARVIK_WIDL_INCLUDE /usr/include/wine/wine/windows CACHE PATH "Folder of Wine's system IDL files")
set(TARVIK_STDOLE_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH "Folder of stdole2.tlb")

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(widl_arch --win64)
else()
    set(widl_arch --win32)
endif()

# Nothing from the compiler's own DLLs is needed at run time: a host loads
# Tarvik.dll from wherever it is registered.
add_link_options(-static)

# --- runtime -----------------------------------------------------------------
file(GLOB TARVIK_WIN32_RT_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/runtime/win32/*.cpp)
add_library(tarvikrt_win32 STATIC ${TARVIK_WIN32_RT_SOURCES}
    # The pieces both runtimes share: GUID text, UTF-8, the key tree, the
    # end-of-call event names, the texts of system errors.
    ${PROJECT_SOURCE_DIR}/src/runtime/common/Guid.cpp
    ${PROJECT_SOURCE_DIR}/src/runtime/common/EndOfCall.cpp
    ${PROJECT_SOURCE_DIR}/src/runtime/common/ErrorText.cpp
    ${PROJECT_SOURCE_DIR}/src/runtime/common/Utf.cpp
    ${PROJECT_SOURCE_DIR}/src/runtime/common/Key.cpp)
target_include_directories(tarvikrt_win32 PUBLIC
    ${PROJECT_SOURCE_DIR}/src/runtime/win32/include
    ${PROJECT_SOURCE_DIR}/include
    ${PROJECT_SOURCE_DIR}/src/runtime)
target_link_libraries(tarvikrt_win32 PUBLIC ole32 oleaut32 uuid user32 Threads::Threads)

# --- type library and resources ------------------------------------------------
set(tlb ${CMAKE_BINARY_DIR}/generated/tarvik.tlb)
add_custom_command(OUTPUT ${tlb}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
    COMMAND ${TARVIK_WIDL} ${widl_arch} -t -o ${tlb} -I ${TARVIK_WIDL_INCLUDE}
        -L ${TARVIK_STDOLE_DIR} ${PROJECT_SOURCE_DIR}/resources/tarvik.idl
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/tarvik.idl
    COMMENT "Compiling the type library"
    VERBATIM)
add_custom_target(tarvik_typelib DEPENDS ${tlb})
# resources/tarvik.rc names the IDL source as the type-library resource (the
# Linux module reads it as text); here it is the compiled library.
file(READ ${PROJECT_SOURCE_DIR}/resources/tarvik.rc rc_text)
string(REPLACE "\"tarvik.idl\"" "\"${tlb}\"" rc_text "${rc_text}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/tarvik.rc CONTENT "${rc_text}" @ONLY)
set_source_files_properties(${CMAKE_BINARY_DIR}/generated/tarvik.rc PROPERTIES
    OBJECT_DEPENDS "${tlb};${PROJECT_SOURCE_DIR}/resources/session.rgs;${PROJECT_SOURCE_DIR}/resources/line.rgs")

# --- Tarvik.dll --------------------------------------------------------------
file(GLOB_RECURSE TARVIK_WIN_SOURCES CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/src/frame/*.cpp
    ${PROJECT_SOURCE_DIR}/src/serial/*.cpp
    ${PROJECT_SOURCE_DIR}/src/line/*.cpp
    ${PROJECT_SOURCE_DIR}/src/session/*.cpp)
# The Linux module finds itself with dladdr and its resources in generated
# tables; frame/win32 has the Windows module.
list(REMOVE_ITEM TARVIK_WIN_SOURCES ${PROJECT_SOURCE_DIR}/src/frame/Module.cpp)
enable_language(RC)
# Compiled once: the DLL wraps it, the Windows test programs link it.
add_library(tarvik_core_win STATIC ${TARVIK_WIN_SOURCES})
target_include_directories(tarvik_core_win PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(tarvik_core_win PUBLIC tarvikrt_win32)
add_library(tarvik_dll SHARED ${PROJECT_SOURCE_DIR}/src/library.cpp
    ${CMAKE_BINARY_DIR}/generated/tarvik.rc ${PROJECT_SOURCE_DIR}/src/frame/win32/Tarvik.def)
add_dependencies(tarvik_dll tarvik_typelib)
set_target_properties(tarvik_dll PROPERTIES OUTPUT_NAME Tarvik PREFIX "")
target_compile_options(tarvik_dll PRIVATE $<$<COMPILE_LANGUAGE:RC>:-I${PROJECT_SOURCE_DIR}/resources>)
target_link_libraries(tarvik_dll PRIVATE $<LINK_LIBRARY:WHOLE_ARCHIVE,tarvik_core_win>)
target_link_options(tarvik_dll PRIVATE -Wl,--enable-stdcall-fixup)

# --- TarvikCompanions.dll ----------------------------------------------------
file(GLOB TARVIK_WIN_COMPANION_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/companions/*.cpp)
add_library(tarvik_companions_dll SHARED ${TARVIK_WIN_COMPANION_SOURCES}
    ${PROJECT_SOURCE_DIR}/companions/win32/TarvikCompanions.def)
set_target_properties(tarvik_companions_dll PROPERTIES OUTPUT_NAME TarvikCompanions PREFIX "")
target_include_directories(tarvik_companions_dll PRIVATE ${PROJECT_SOURCE_DIR}/companions)
target_link_libraries(tarvik_companions_dll PRIVATE tarvikrt_win32)
target_link_options(tarvik_companions_dll PRIVATE -Wl,--enable-stdcall-fixup)

# --- the Windows host test -----------------------------------------------------
file(GLOB TARVIK_WIN_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/windows/*.cpp)
if(TARVIK_WIN_TEST_SOURCES)
    add_executable(tarvik_wintest ${TARVIK_WIN_TEST_SOURCES}
        ${PROJECT_SOURCE_DIR}/tests/support/line/HostHandle.cpp)
    target_include_directories(tarvik_wintest PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
    set_target_properties(tarvik_wintest PROPERTIES OUTPUT_NAME tarvik-wintest)
    target_link_libraries(tarvik_wintest PRIVATE tarvikrt_win32)
endif()

if(TARVIK_BUILD_TESTS)
    include(${CMAKE_CURRENT_LIST_DIR}/WindowsTests.cmake)
endif()
