# The board build: a size-optimised module that loads on the board's older C
# and C++ libraries (checked by scripts/board-check.sh), and the host-class
# layout this build assumes, printed on every build.
#
# Included twice from the top level: with PLOR_BOARD_STAGE "flags" before the
# targets exist, "targets" after.
if(PLOR_BOARD_STAGE STREQUAL "flags")
  if(PLOR_BOARD_BUILD)
    # Unused functions and data of the driver and its headers drop out at link.
    add_compile_options(-ffunction-sections -fdata-sections)
    # libstdc++'s headers read __libc_single_threaded (C library 2.32) when
    # <sys/single_threaded.h> exists; this directory's copy turns the read
    # into a constant. Searched before the C library's own headers.
    include_directories(BEFORE SYSTEM ${CMAKE_CURRENT_LIST_DIR}/abi-floor)
  endif()
  return()
endif()

if(PLOR_BOARD_BUILD)
  target_sources(plor_sps PRIVATE ${CMAKE_CURRENT_LIST_DIR}/abi-floor/libstdcxx_floor.cpp)
  target_link_options(plor_sps PRIVATE -Wl,--gc-sections)

  add_library(plor_layout_probe OBJECT ${CMAKE_CURRENT_LIST_DIR}/layout_probe.cpp)
  target_link_libraries(plor_layout_probe PRIVATE plor_device)
  target_include_directories(plor_layout_probe PRIVATE ${PROJECT_SOURCE_DIR}/driver)
  add_custom_target(plor_host_layout ALL
    COMMAND ${CMAKE_COMMAND} -DOBJECT=$<TARGET_OBJECTS:plor_layout_probe>
            -DOUT=${PROJECT_BINARY_DIR}/host-layout.txt
            -P ${CMAKE_CURRENT_LIST_DIR}/PrintLayout.cmake
    DEPENDS plor_layout_probe
    COMMENT "Host-class layout"
    VERBATIM)
endif()

# The module passes the board check; a module built to need more is refused,
# with the symbols that need it named.
if(PLOR_BOARD_BUILD AND PLOR_BUILD_TESTS)
  add_library(raised_floor MODULE ${PROJECT_SOURCE_DIR}/tests/board/raised_floor.cpp)
  set(_plor_check ${PROJECT_SOURCE_DIR}/scripts/board-check.sh)
  add_test(NAME board_check_module COMMAND ${_plor_check} $<TARGET_FILE:plor_sps>)
  add_test(NAME board_check_refuses_raised_floor COMMAND bash -c
    "out=$(\"$0\" \"$1\" 2>&1); rc=$?; echo \"$out\"; [ $rc -eq 1 ] &&
     echo \"$out\" | grep -Eq 'GLIBCXX_3.4.29 *std::to_chars|GLIBCXX_3.4.22 *std::thread::_M_start_thread' &&
     echo \"$out\" | grep -q 'GLIBC_2.25 *getentropy'"
    ${_plor_check} $<TARGET_FILE:raised_floor>)
endif()

# Against a board's root filesystem: fake boards made of the target's own
# libraries, complete and with faults a board has (any build).
if(PLOR_BUILD_TESTS)
  add_test(NAME board_check_root COMMAND bash ${PROJECT_SOURCE_DIR}/tests/board/board_root_test.sh
    ${CMAKE_C_COMPILER} $<TARGET_FILE:plor_sps>)
  set_tests_properties(board_check_root PROPERTIES SKIP_RETURN_CODE 77)
endif()
