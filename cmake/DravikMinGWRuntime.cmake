# MinGW: the DLLs and the host application share one C++ runtime DLL. Linking
# it statically would give each binary its own copy, and then error categories
# (and so std::error_code comparisons) would differ across the DLL boundary.
# The runtime DLLs are copied beside the executables and installed with them.
set(DRAVIK_MINGW_RUNTIME_DLLS)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(path "${path}" REALPATH)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "MinGW runtime ${dll} not found")
  endif()
  list(APPEND DRAVIK_MINGW_RUNTIME_DLLS "${path}")
  if(CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    file(COPY "${path}" DESTINATION ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  endif()
endforeach()
