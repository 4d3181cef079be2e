# cmake -DOBJECT=probe.o -DOUT=host-layout.txt -P PrintLayout.cmake
# Prints the layout entries of the probe object and keeps them in OUT.
file(STRINGS "${OBJECT}" entries REGEX "^PLOR_LAYOUT ")
if(NOT entries)
  message(FATAL_ERROR "no layout entries in ${OBJECT}")
endif()
set(text "host layout as this build sees it (bytes; offsets within PLOR_SPS):\n")
list(SORT entries)
foreach(e IN LISTS entries)
  string(REGEX REPLACE "^PLOR_LAYOUT [^ ]+ ([^ ]+) ([0-9]+).*" "  \\1 = \\2" line "${e}")
  string(APPEND text "${line}\n")
endforeach()
file(WRITE "${OUT}" "${text}")
message("${text}")
