# Warnings as errors for our own targets, and the sanitizer switch.
add_library(plor_warnings INTERFACE)
target_compile_options(plor_warnings INTERFACE -Wall -Wextra -Wpedantic -Werror)

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
