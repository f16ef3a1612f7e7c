# Fails when the engine library exports a symbol that exports.txt does not
# list, or no longer exports one that it lists: what leaves the library is
# chosen with TARVELIN_API, and a change to it is made on purpose.
#   cmake -DNM=<nm> -DLIBRARY=<libtarvelin.so> -DLIST=<exports.txt> [-DUPDATE=ON] -P exports.cmake
# Instances of standard library templates that the library happens to
# export (they depend on the compiler and on inlining) are not checked.
foreach(variable NM LIBRARY LIST)
  if(NOT ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY}
                OUTPUT_VARIABLE listing ERROR_VARIABLE nmError RESULT_VARIABLE nmResult)
if(NOT nmResult EQUAL 0)
  message(FATAL_ERROR "${NM} cannot list the symbols of ${LIBRARY}: ${nmError}")
endif()

# One symbol a line: "<address> <type> <demangled name>". Functions (T),
# data (B, D, R) and the vtables and type information of classes (V).
string(REPLACE ";" "\\;" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(exported "")
foreach(line ${lines})
  if(NOT line MATCHES "^[0-9a-fA-F]+ ([TBDRV]) (.+)$")
    continue()
  endif()
  set(name "${CMAKE_MATCH_2}")
  string(REGEX REPLACE "^(vtable for |typeinfo for |typeinfo name for )" "" owner "${name}")
  if(owner MATCHES "^(std|__gnu_cxx)::")
    continue()
  endif()
  list(APPEND exported "${name}")
endforeach()
list(SORT exported)
list(REMOVE_DUPLICATES exported)
list(LENGTH exported count)
if(count LESS 50)
  message(FATAL_ERROR "only ${count} symbols exported by ${LIBRARY}: not the engine library?")
endif()

if(UPDATE)
  list(JOIN exported "\n" text)
  file(WRITE ${LIST} "${text}\n")
  message(STATUS "${LIST}: ${count} symbols written")
  return()
endif()

file(STRINGS ${LIST} expected)
set(added ${exported})
list(REMOVE_ITEM added ${expected})
set(removed ${expected})
list(REMOVE_ITEM removed ${exported})
if(added OR removed)
  list(LENGTH added addedCount)
  list(LENGTH removed removedCount)
  list(JOIN added "\n  + " addedText)
  list(JOIN removed "\n  - " removedText)
  message(FATAL_ERROR
    "the exports of ${LIBRARY} differ from ${LIST}: ${addedCount} added, ${removedCount} removed\n"
    "  + ${addedText}\n  - ${removedText}\n"
    "When the change is meant, write the list again:\n"
    "  cmake -DNM=${NM} -DLIBRARY=${LIBRARY} -DLIST=${LIST} -DUPDATE=ON -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
message(STATUS "${count} exported symbols, as ${LIST} lists them")
