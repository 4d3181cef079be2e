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
