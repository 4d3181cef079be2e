# Everything comes from Debian's packages (scripts/setup.sh installs them).
find_package(Threads REQUIRED)
find_package(jsoncpp CONFIG REQUIRED)
find_package(Boost 1.74 REQUIRED)

if(NOT TARGET JsonCpp::JsonCpp)
  add_library(JsonCpp::JsonCpp INTERFACE IMPORTED)
  target_link_libraries(JsonCpp::JsonCpp INTERFACE jsoncpp_lib)
endif()

if(PLOR_BUILD_TESTS)
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
