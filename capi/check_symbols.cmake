# cmake -DLIBRARY=libvantrel.so -DEXPECTED=vantrel.symbols -P check_symbols.cmake
# Fails unless the library's exported (dynamic, defined) symbols are exactly those listed, one a
# line with their version node. A new function adds a line here in the same commit.
execute_process(COMMAND nm -D --defined-only --format=posix ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX REPLACE " [^\n]*" "" listing "${listing}")
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" exported "${listing}")
list(SORT exported)
file(STRINGS ${EXPECTED} expected)
list(SORT expected)
if(NOT exported STREQUAL expected)
  string(REPLACE ";" "\n  " exported_lines "${exported}")
  message(FATAL_ERROR "${LIBRARY} exports\n  ${exported_lines}\nnot the list in ${EXPECTED}")
endif()
message(STATUS "${LIBRARY}: the exported symbols are the listed ones")
