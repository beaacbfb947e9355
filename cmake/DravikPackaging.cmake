# CPack: Debian packages, split the Debian way, or one zip (Windows).
#   libdravik1         the shared library
#   libdravik-dev      headers, the .so link, the CMake package and dravik.pc
#   dravik             the dravik tool
#   libvelmorasdk1     the host SDK stand-in (a real SDK replaces it)
#   libvelmorasdk-dev  its headers and .so link
set(CPACK_PACKAGE_NAME dravik)
set(CPACK_PACKAGE_VENDOR "the Dravik developers")
set(CPACK_PACKAGE_CONTACT "Dravik developers <dravik@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev tool sdk sdkdev)

set(DRAVIK_DEB_VERSION ${PROJECT_VERSION})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The SDK stand-in is built here too: dpkg-shlibdeps finds it in the build
# tree, and the packages that link it name its package themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libdravik1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libvelmorasdk1 (= ${DRAVIK_DEB_VERSION})")
# Shared libraries activate the ldconfig trigger, as Debian's policy asks.
configure_file(${PROJECT_SOURCE_DIR}/packaging/ldconfig.triggers
               ${PROJECT_BINARY_DIR}/packaging/triggers COPYONLY)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "UDP endpoint and Base64 codec extension for the Velmora SDK\n A shared library with UDPServer (one UDP socket, an event loop and a worker\n thread that delivers datagrams to the host application) and Base64.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libdravik-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libdravik1 (= ${DRAVIK_DEB_VERSION}), libvelmorasdk-dev (= ${DRAVIK_DEB_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "development files for libdravik\n Headers, the CMake package (Dravik::dravik) and a pkg-config file.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME dravik)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS
    "libdravik1 (= ${DRAVIK_DEB_VERSION}), libvelmorasdk1 (= ${DRAVIK_DEB_VERSION})")
set(CPACK_COMPONENT_TOOL_DESCRIPTION
    "UDP and Base64 command-line tool built on libdravik\n Listens, sends, encodes and decodes, next to nc, socat and base64.")

set(CPACK_DEBIAN_SDK_PACKAGE_NAME libvelmorasdk1)
set(CPACK_DEBIAN_SDK_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_SDK_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/triggers)
set(CPACK_COMPONENT_SDK_DESCRIPTION
    "stand-in for the Velmora SDK's logger library\n Writes each log line to standard error; a real SDK takes its place.")

set(CPACK_DEBIAN_SDKDEV_PACKAGE_NAME libvelmorasdk-dev)
set(CPACK_DEBIAN_SDKDEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_SDKDEV_PACKAGE_DEPENDS "libvelmorasdk1 (= ${DRAVIK_DEB_VERSION})")
set(CPACK_COMPONENT_SDKDEV_DESCRIPTION
    "development files for the Velmora SDK stand-in\n Headers of velmora::Logger and velmora::LogControl.")

# Each Debian package carries its copyright and changelog where Debian
# expects them.
foreach(component runtime dev tool sdk sdkdev)
  if(WIN32)
    break()
  endif()
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  set(changelog ${PROJECT_BINARY_DIR}/packaging/${package}/changelog.gz)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging/${package})
  execute_process(COMMAND gzip -n -9 -c ${PROJECT_SOURCE_DIR}/packaging/changelog
                  OUTPUT_FILE ${changelog})
  install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component})
endforeach()

# The zip (Windows): everything in one archive, laid out like the Linux
# prefix, with a readme that says who can load the DLL.
if(WIN32)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_PACKAGE_FILE_NAME dravik-${PROJECT_VERSION}-win64)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/README-windows.txt DESTINATION .
          RENAME README.txt COMPONENT runtime)
endif()

include(CPack)
