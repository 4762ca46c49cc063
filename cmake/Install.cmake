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
# there: tarvik(1), one page per command (tarvik-dial(1), ...) and
# tarvik-modemsim(1).
find_program(TARVIK_HELP2MAN help2man)
if(TARVIK_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
    set(man ${CMAKE_CURRENT_BINARY_DIR}/man)
    set(TARVIK_MAN_PAGES)
    # Each page: name, program, --help option, one-line description.
    set(pages
        "tarvik|tarvik_cli|--help|drive Hayes AT-command modems on serial ports"
        "tarvik-demo|tarvik_cli|demo --help|whole calls on a built-in simulated modem"
        "tarvik-dial|tarvik_cli|dial --help|place a data call and bridge it to standard input and output"
        "tarvik-answer|tarvik_cli|answer --help|wait for calls, answer them and bridge the data"
        "tarvik-term|tarvik_cli|term --help|a plain AT terminal on a serial port"
        "tarvik-ports|tarvik_cli|ports --help|show and edit the COM port device map, scan for devices"
        "tarvik-register|tarvik_cli|register --help|register or unregister a component library's classes"
        "tarvik-modemsim|tarvik_modemsim|--help|simulate a Hayes AT-command modem on a pseudo-terminal")
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/man-see-also.h2m
        "[SEE ALSO]\ntarvik(1), tarvik-demo(1), tarvik-dial(1), tarvik-answer(1), tarvik-term(1), "
        "tarvik-ports(1), tarvik-register(1), tarvik-modemsim(1); the host developer's guide, "
        "host-guide.md, in the documentation folder.\n")
    foreach(entry IN LISTS pages)
        string(REPLACE "|" ";" fields "${entry}")
        list(GET fields 0 name)
        list(GET fields 1 tool)
        list(GET fields 2 helpOption)
        list(GET fields 3 description)
        if(NOT TARGET ${tool})
            continue()
        endif()
        # help2man names a page after the program it runs: a link of that name.
        add_custom_command(OUTPUT ${man}/${name}.1
            COMMAND ${CMAKE_COMMAND} -E make_directory ${man}/bin
            COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE:${tool}> ${man}/bin/${name}
            COMMAND ${TARVIK_HELP2MAN} --no-info --no-discard-stderr
                --help-option=${helpOption} --name=${description}
                --version-string=${PROJECT_VERSION}
                --include=${CMAKE_CURRENT_BINARY_DIR}/man-see-also.h2m
                --output=${man}/${name}.1 ${man}/bin/${name}
            DEPENDS ${tool}
            VERBATIM)
        list(APPEND TARVIK_MAN_PAGES ${man}/${name}.1)
    endforeach()
    add_custom_target(tarvik_man ALL DEPENDS ${TARVIK_MAN_PAGES})
    install(FILES ${TARVIK_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
