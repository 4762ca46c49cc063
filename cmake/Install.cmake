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

file(RELATIVE_PATH TARVIK_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tarvik.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tarvik.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvik.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
