# plor_launcher(TARGET VAR): sets VAR to what a test starts (execv) to run
# TARGET's program. In a cross build that is a script running it under
# CMAKE_CROSSCOMPILING_EMULATOR: exec knows nothing of the emulator that
# ctest puts in front of the test program itself.
function(plor_launcher target var)
  if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(${var} "$<TARGET_FILE:${target}>" PARENT_SCOPE)
    return()
  endif()
  set(words "")
  foreach(word IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
    string(APPEND words "'${word}' ")
  endforeach()
  set(script ${PROJECT_BINARY_DIR}/emulated/${target})
  file(GENERATE OUTPUT ${script}
    CONTENT "#!/bin/sh\nexec ${words}'$<TARGET_FILE:${target}>' \"$@\"\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
  set(${var} ${script} PARENT_SCOPE)
endfunction()
