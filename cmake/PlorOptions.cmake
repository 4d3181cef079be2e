# Warnings as errors for our own targets, and the sanitizer switch. Errors
# with the compilers the code is kept clean for (GCC 12 or later, Clang); a
# board SDK's older GCC only warns, its false alarms are not the integrator's.
add_library(plor_warnings INTERFACE)
target_compile_options(plor_warnings INTERFACE -Wall -Wextra -Wpedantic
  $<$<OR:$<CXX_COMPILER_ID:Clang>,$<VERSION_GREATER_EQUAL:$<CXX_COMPILER_VERSION>,12>>:-Werror>)

if(PLOR_SANITIZE)
  add_compile_options(-fsanitize=${PLOR_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${PLOR_SANITIZE})
  if(PLOR_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=all)
  endif()
endif()

# Fuzz builds: coverage feedback from the driver too, not only the harness.
if(PLOR_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
