# Everything comes from Debian's packages (scripts/setup.sh installs them).
if(CMAKE_SYSROOT)
  # A compiler that takes its C library from outside the sysroot (Debian's
  # cross compiler takes /usr/mipsel-linux-gnu first) would build against
  # the build machine's libraries while seeming to use the SDK's.
  execute_process(COMMAND ${CMAKE_C_COMPILER} --sysroot=${CMAKE_SYSROOT} -print-file-name=libc.so
    OUTPUT_VARIABLE _plor_libc OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REAL_PATH "${_plor_libc}" _plor_libc)
  file(REAL_PATH "${CMAKE_SYSROOT}" _plor_sysroot)
  string(FIND "${_plor_libc}/" "${_plor_sysroot}/" _plor_at)
  if(NOT _plor_at EQUAL 0)
    message(FATAL_ERROR "PLOR_SYSROOT=${CMAKE_SYSROOT}: ${CMAKE_C_COMPILER} takes the C library "
      "from ${_plor_libc}, not from the sysroot; give the SDK's own compiler with PLOR_CROSS_PREFIX")
  endif()
endif()
find_package(Threads REQUIRED)
find_package(jsoncpp CONFIG REQUIRED)
# Header-only: an SDK need not carry it, the build machine's serves.
set(_plor_include_mode ${CMAKE_FIND_ROOT_PATH_MODE_INCLUDE})
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
find_package(Boost 1.74 REQUIRED)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ${_plor_include_mode})
# openpty is in the C library from 2.34 on, in libutil before.
include(CheckSymbolExists)
check_symbol_exists(openpty pty.h PLOR_OPENPTY_IN_LIBC)
set(PLOR_PTY_LIBS "")
if(NOT PLOR_OPENPTY_IN_LIBC)
  set(PLOR_PTY_LIBS util)
endif()
if(CMAKE_CROSSCOMPILING)
  # Boost is header-only and its mipsel package does not co-install with the
  # native one, so the host's /usr/include serves. Searched after the cross
  # compiler's own headers, so the host's libc headers never shadow them.
  get_target_property(_plor_boost_inc Boost::headers INTERFACE_INCLUDE_DIRECTORIES)
  set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "")
  foreach(_dir IN LISTS _plor_boost_inc)
    target_compile_options(Boost::headers INTERFACE "SHELL:-idirafter ${_dir}")
  endforeach()
endif()

if(NOT TARGET JsonCpp::JsonCpp)
  add_library(JsonCpp::JsonCpp INTERFACE IMPORTED)
  target_link_libraries(JsonCpp::JsonCpp INTERFACE jsoncpp_lib)
endif()

if(PLOR_BUILD_TESTS AND CMAKE_CROSSCOMPILING)
  # No target build of GoogleTest is packaged: build Debian's sources with
  # the cross compiler.
  set(PLOR_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${PLOR_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(_t gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${_t})
      add_library(GTest::${_t} ALIAS ${_t})
    endif()
    # Their headers are not ours: keep them out of -Werror.
    get_target_property(_inc ${_t} INTERFACE_INCLUDE_DIRECTORIES)
    set_target_properties(${_t} PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${_inc}")
  endforeach()
elseif(PLOR_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()

find_package(PkgConfig REQUIRED)
if(PLOR_BUILD_TESTS OR PLOR_BUILD_TOOLS)
  pkg_check_modules(MODBUS REQUIRED IMPORTED_TARGET libmodbus)
endif()
if(PLOR_BUILD_TOOLS)
  find_package(SQLite3 REQUIRED)
endif()
if(PLOR_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
