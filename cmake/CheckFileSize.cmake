# Reports the size of FILE and, with ENFORCE set, fails when it is above
# LIMIT bytes. Usage: cmake -DFILE=<path> -DLIMIT=<bytes> [-DENFORCE=ON] -P CheckFileSize.cmake
file(SIZE "${FILE}" size)
get_filename_component(name "${FILE}" NAME)
message(STATUS "${name}: ${size} bytes (budget ${LIMIT})")
if(ENFORCE AND size GREATER LIMIT)
  message(FATAL_ERROR "${name} is ${size} bytes, above its budget of ${LIMIT}. If it grows on "
                      "purpose, raise the budget in cmake/Win32Programs.cmake.")
endif()
