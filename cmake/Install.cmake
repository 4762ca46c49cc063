# Installation: libraries, public headers, tools, a CMake package
# (find_package(Tarvik)) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(TARVIK_INSTALL_TARGETS tarvikrt tarvik_component tarvik_companions tarvik_cli)
if(TARGET tarvik_modemsim)
    list(APPEND TARVIK_INSTALL_TARGETS tarvik_modemsim)
endif()
install(TARGETS ${TARVIK_INSTALL_TARGETS} EXPORT TarvikTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tarvik DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT TarvikTargets NAMESPACE Tarvik:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvik)

# Inside the export set the shared libraries carry their target names; hosts
# use the aliases Tarvik::tarvik (component + runtime), Tarvik::tarvikrt.
set_target_properties(tarvik_component PROPERTIES EXPORT_NAME tarvik)
set_target_properties(tarvik_companions PROPERTIES EXPORT_NAME companions)
set_target_properties(tarvik_cli PROPERTIES EXPORT_NAME cli)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TarvikConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/TarvikConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvik)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TarvikConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/TarvikConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/TarvikConfigVersion.cmake
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvik)

# The package file names the prefix given at install time (cmake --install
# --prefix), so that its paths are plain ones: written when installing.
install(CODE "
    set(TARVIK_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/tarvik.pc.in\"
        \"${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/tarvik.pc\" @ONLY)")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/tarvik.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Documentation: the guide and the examples with their build file, as a host
# developer starts from them.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
    ${PROJECT_SOURCE_DIR}/docs/host-guide.md ${PROJECT_SOURCE_DIR}/docs/windows.md
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/examples/dialer.cpp ${PROJECT_SOURCE_DIR}/examples/answerer.cpp
    ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/examples/try-on-simulator.sh
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# Manual pages made from the tools' --help at build time, when help2man is
# there.
find_program(TARVIK_HELP2MAN help2man)
if(TARVIK_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
    set(TARVIK_MAN_PAGES)
    foreach(tool tarvik_cli tarvik_modemsim)
        if(NOT TARGET ${tool})
            continue()
        endif()
        get_target_property(name ${tool} OUTPUT_NAME)
        set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.1)
        add_custom_command(OUTPUT ${page}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
            COMMAND ${TARVIK_HELP2MAN} --no-info --no-discard-stderr
                --name "$<IF:$<STREQUAL:${name},tarvik>,drive Hayes AT-command modems: dial$<COMMA> answer$<COMMA> terminal$<COMMA> ports,simulate a Hayes AT-command modem on a pseudo-terminal>"
                --output ${page} $<TARGET_FILE:${tool}>
            DEPENDS ${tool}
            VERBATIM)
        list(APPEND TARVIK_MAN_PAGES ${page})
    endforeach()
    add_custom_target(tarvik_man ALL DEPENDS ${TARVIK_MAN_PAGES})
    install(FILES ${TARVIK_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
