# Installs the headers, both libraries, the CMake package (Dravik::dravik) and
# dravik.pc.
include(CMakePackageConfigHelpers)
include(JoinPaths)

set(DRAVIK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Dravik)

# Components, one per package: runtime (the library), dev (its headers, link
# and packages), sdk and sdkdev (the SDK stand-in, which a real SDK replaces),
# and tool (the dravik application, installed by examples/dravik).
install(TARGETS dravik EXPORT DravikTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(TARGETS VelmoraSDK EXPORT DravikTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sdk
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk NAMELINK_COMPONENT sdkdev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdkdev)
if(DRAVIK_MINGW_RUNTIME_DLLS)
  install(FILES ${DRAVIK_MINGW_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT runtime)
endif()
install(DIRECTORY include/dravik ${PROJECT_BINARY_DIR}/include/dravik
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(DIRECTORY velmora/include/velmora ${PROJECT_BINARY_DIR}/velmora/include/velmora
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT sdkdev)

install(EXPORT DravikTargets NAMESPACE Dravik:: DESTINATION ${DRAVIK_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/DravikConfig.cmake.in
  ${PROJECT_BINARY_DIR}/DravikConfig.cmake
  INSTALL_DESTINATION ${DRAVIK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/DravikConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/DravikConfig.cmake
              ${PROJECT_BINARY_DIR}/DravikConfigVersion.cmake
        DESTINATION ${DRAVIK_CMAKE_DIR} COMPONENT dev)

# The .pc file finds its prefix from its own place, so `cmake --install
# --prefix` anywhere gives a working file.
file(RELATIVE_PATH DRAVIK_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
join_paths(DRAVIK_PC_LIBDIR "\${exec_prefix}" "${CMAKE_INSTALL_LIBDIR}")
join_paths(DRAVIK_PC_INCLUDEDIR "\${prefix}" "${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(cmake/dravik.pc.in ${PROJECT_BINARY_DIR}/dravik.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dravik.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)
