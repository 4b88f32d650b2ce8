# cmake --install: the SDK (headers under include/navplugin, the .def
# template and the export map, the CMake package NavPlugin, navplugin.pc),
# the two plugins and navhost (its "check" command tests third-party
# plugins). Plugins go where a host would look for them: beside the
# programs on Windows, in lib/navplugin elsewhere.
include(CMakePackageConfigHelpers)

set(NAVPLUGIN_DATA_DIR ${CMAKE_INSTALL_DATADIR}/navplugin)
set(NAVPLUGIN_CMAKE_DIR ${CMAKE_INSTALL_DATADIR}/cmake/NavPlugin)

list(TRANSFORM NAVPLUGIN_PUBLIC_HEADERS PREPEND ${CMAKE_SOURCE_DIR}/contract/
     OUTPUT_VARIABLE headers)
install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/navplugin)
install(FILES contract/plugin.def contract/exports.map DESTINATION ${NAVPLUGIN_DATA_DIR})
install(DIRECTORY examples/ DESTINATION ${NAVPLUGIN_DATA_DIR}/examples)

install(TARGETS navplugin_contract EXPORT NavPluginTargets)
install(EXPORT NavPluginTargets NAMESPACE NavPlugin:: DESTINATION ${NAVPLUGIN_CMAKE_DIR})
configure_package_config_file(cmake/NavPluginConfig.cmake.in
    ${CMAKE_BINARY_DIR}/NavPluginConfig.cmake
    INSTALL_DESTINATION ${NAVPLUGIN_CMAKE_DIR}
    PATH_VARS NAVPLUGIN_DATA_DIR)
# The headers fit any compiler and word size; only the major version
# changes the contract.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/NavPluginConfigVersion.cmake
    COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/NavPluginConfig.cmake
              ${CMAKE_BINARY_DIR}/NavPluginConfigVersion.cmake
        DESTINATION ${NAVPLUGIN_CMAKE_DIR})
configure_file(cmake/navplugin.pc.in ${CMAKE_BINARY_DIR}/navplugin.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/navplugin.pc DESTINATION ${CMAKE_INSTALL_DATADIR}/pkgconfig)

set(installed_programs wendmark navhost)
if(TARGET orvane)
    list(APPEND installed_programs orvane)
endif()
install(TARGETS ${installed_programs}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/navplugin)
