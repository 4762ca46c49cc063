# Compiles the resources named in resources/tarvik.rc into tarvik_core: each
# "ID TYPE "file"" line becomes a resource of that type and number holding the
# file's bytes, each "ID "text"" line of the STRINGTABLE block a string
# resource. The generated source defines the table Module.cpp looks them up
# in.
#
# The same file runs in two ways: included from src/CMakeLists.txt it adds the
# generating step to the build; run with "cmake -P" it writes the source.

if(CMAKE_SCRIPT_MODE_FILE)
    get_filename_component(rc_dir "${RC}" DIRECTORY)
    file(STRINGS "${RC}" rc_lines)
    set(in_strings OFF)
    set(entries "")
    set(arrays "")
    set(index 0)
    foreach(line IN LISTS rc_lines)
        string(STRIP "${line}" line)
        if(line STREQUAL "" OR line MATCHES "^//")
            continue()
        endif()
        if(line STREQUAL "STRINGTABLE" OR line STREQUAL "BEGIN")
            set(in_strings ON)
            continue()
        endif()
        if(line STREQUAL "END")
            set(in_strings OFF)
            continue()
        endif()
        if(in_strings AND line MATCHES "^([0-9]+)[ \t]+\"(.*)\"$")
            set(id ${CMAKE_MATCH_1})
            set(text "${CMAKE_MATCH_2}")
            string(HEX "${text}" hex)
            set(type "STRING")
        elseif(NOT in_strings AND line MATCHES "^([0-9]+)[ \t]+([A-Z_]+)[ \t]+\"(.*)\"$")
            set(id ${CMAKE_MATCH_1})
            set(type ${CMAKE_MATCH_2})
            file(READ "${rc_dir}/${CMAKE_MATCH_3}" hex HEX)
        else()
            message(FATAL_ERROR "${RC}: cannot read the line '${line}'")
        endif()
        string(LENGTH "${hex}" hexlen)
        math(EXPR size "${hexlen} / 2")
        string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
        string(APPEND arrays "const unsigned char kData${index}[] = {${bytes}0x00};\n")
        string(APPEND entries "    {\"${type}\", ${id}, kData${index}, ${size}},\n")
        math(EXPR index "${index} + 1")
    endforeach()
    file(WRITE "${OUT}.tmp"
        "// Generated from resources/tarvik.rc by src/frame/resources.cmake.\n"
        "#include <cstddef>\n\n"
        "#include \"frame/Module.h\"\n\n"
        "namespace tarvik::frame {\nnamespace {\n${arrays}}  // namespace\n\n"
        "extern const ResourceEntry kModuleResources[] = {\n${entries}};\n"
        "extern const size_t kModuleResourceCount = ${index};\n"
        "}  // namespace tarvik::frame\n")
    file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
    file(REMOVE "${OUT}.tmp")
    return()
endif()

set(TARVIK_RESOURCE_RC ${PROJECT_SOURCE_DIR}/resources/tarvik.rc)
set(TARVIK_RESOURCE_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/generated/ModuleResources.cpp)
file(GLOB TARVIK_RESOURCE_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/resources/*)
add_custom_command(OUTPUT ${TARVIK_RESOURCE_SOURCE}
    COMMAND ${CMAKE_COMMAND} -DRC=${TARVIK_RESOURCE_RC} -DOUT=${TARVIK_RESOURCE_SOURCE}
        -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS ${TARVIK_RESOURCE_FILES} ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Compiling the resources of libtarvik"
    VERBATIM)
target_sources(tarvik_core PRIVATE ${TARVIK_RESOURCE_SOURCE})
