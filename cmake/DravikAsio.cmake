# Standalone asio, header-only. dravik_asio is linked PRIVATE only: asio never
# appears in a public header.
if(CMAKE_CROSSCOMPILING)
  # The host's asio headers are portable, but adding the host's /usr/include to
  # a cross compiler's path would pull in glibc's headers: link just asio.
  set(DRAVIK_HOST_ASIO_DIR /usr/include CACHE PATH "Folder holding the host's asio.hpp")
  set(ASIO_INCLUDE_DIR ${PROJECT_BINARY_DIR}/asio-include)
  file(MAKE_DIRECTORY ${ASIO_INCLUDE_DIR})
  foreach(entry asio asio.hpp)
    file(CREATE_LINK ${DRAVIK_HOST_ASIO_DIR}/${entry} ${ASIO_INCLUDE_DIR}/${entry} SYMBOLIC)
  endforeach()
else()
  find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
endif()
add_library(dravik_asio INTERFACE IMPORTED)
target_include_directories(dravik_asio SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
# asio picks aligned_alloc or operator new for its handler memory by whether a
# standard header came before its own in the translation unit; memory that one
# file allocates and another frees must agree, so the choice is fixed here.
target_compile_definitions(dravik_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED
  ASIO_DISABLE_STD_ALIGNED_ALLOC)
target_link_libraries(dravik_asio INTERFACE Threads::Threads)
if(WIN32)
  target_compile_definitions(dravik_asio INTERFACE _WIN32_WINNT=0x0A00)
  target_link_libraries(dravik_asio INTERFACE ws2_32 mswsock)
endif()
