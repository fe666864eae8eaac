# Cross-builds the Windows programs (the stub unpacker.exe and the test splash
# programs) into ${CMAKE_BINARY_DIR}/win32 by configuring this same source
# tree with the MinGW toolchain (its build tree is ${CMAKE_BINARY_DIR}/win32-build).
# Skipped when MinGW is absent or KVSFX_WIN32_PROGRAMS is OFF; then
# KVSFX_WIN32_BIN stays empty. KVSFX_WINE_TESTS is true when the programs are
# built and Wine is there to run them: the end-to-end tests need both.
include(ExternalProject)

set(KVSFX_WIN32_BIN "")
set(KVSFX_WINE_TESTS OFF)
find_program(KVSFX_MINGW_CXX i686-w64-mingw32-g++)
find_program(KVSFX_WINE wine)
find_program(KVSFX_WINESERVER wineserver)
if(NOT KVSFX_WIN32_PROGRAMS OR NOT KVSFX_MINGW_CXX)
  if(KVSFX_WIN32_PROGRAMS)
    message(STATUS "i686-w64-mingw32-g++ not found: the Windows programs are not built")
  endif()
  return()
endif()

set(KVSFX_WIN32_BIN ${CMAKE_BINARY_DIR}/win32)
if(KVSFX_WINE AND KVSFX_WINESERVER)
  set(KVSFX_WINE_TESTS ON)
endif()
ExternalProject_Add(win32_programs
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/win32-build
  CMAKE_ARGS
    -DCMAKE_RUNTIME_OUTPUT_DIRECTORY=${KVSFX_WIN32_BIN}
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-i686.cmake
    -DKVSFX_TARGET_WIN32=ON
    -DKVSFX_BUILD_TESTS=OFF
    -DKVSFX_BUILD_BENCH=OFF
    # For size: -Os, and one section per function, which the linker drops
    # when unused. Not -fdata-sections: for PE targets GCC then puts
    # zero-initialised objects into .data$ sections, stored in the file, and
    # the 214 KB catalogue table alone would triple the stub.
    -DCMAKE_BUILD_TYPE=MinSizeRel
    -DCMAKE_CXX_FLAGS=-ffunction-sections
    -DCMAKE_C_FLAGS=-ffunction-sections
  CMAKE_GENERATOR ${CMAKE_GENERATOR}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${KVSFX_WIN32_BIN}/unpacker.exe
)

# The stub's size budget: every installer carries the stub. The build reports
# the size; a test holds it to the budget.
set(KVSFX_STUB_BUDGET 163840)
ExternalProject_Add_Step(win32_programs report_stub_size
  COMMAND ${CMAKE_COMMAND} -DFILE=${KVSFX_WIN32_BIN}/unpacker.exe -DLIMIT=${KVSFX_STUB_BUDGET}
          -P ${PROJECT_SOURCE_DIR}/cmake/CheckFileSize.cmake
  DEPENDEES build
  ALWAYS ON)
if(KVSFX_BUILD_TESTS)
  add_test(NAME stub_size_budget
    COMMAND ${CMAKE_COMMAND} -DFILE=${KVSFX_WIN32_BIN}/unpacker.exe -DLIMIT=${KVSFX_STUB_BUDGET}
            -DENFORCE=ON -P ${PROJECT_SOURCE_DIR}/cmake/CheckFileSize.cmake)
endif()
