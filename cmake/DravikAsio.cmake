# Standalone asio, header-only. dravik_asio is linked PRIVATE only: asio never
# appears in a public header.
find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
add_library(dravik_asio INTERFACE IMPORTED)
target_include_directories(dravik_asio SYSTEM INTERFACE ${ASIO_INCLUDE_DIR})
target_compile_definitions(dravik_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
target_link_libraries(dravik_asio INTERFACE Threads::Threads)
if(WIN32)
  target_compile_definitions(dravik_asio INTERFACE _WIN32_WINNT=0x0A00)
  target_link_libraries(dravik_asio INTERFACE ws2_32 mswsock)
endif()
