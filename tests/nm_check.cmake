# The library holds no state and never prints or stops the process: no
# object of libqev.a defines writable data or thread-local storage, or
# refers to the standard streams, exit or abort.  And it keeps its names to
# itself: every external symbol it defines is a qev_* function of the
# public header, a name in namespace qev, or a weak instance of a template
# of the standard library.
#   cmake -DNM=nm -DLIB=libqev.a -P nm_check.cmake
execute_process(COMMAND ${NM} -A ${LIB} OUTPUT_VARIABLE symbols
                RESULT_VARIABLE failed)
if(failed OR symbols STREQUAL "")
  message(FATAL_ERROR "nm ${LIB} gave nothing")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(bad "")
set(defined 0)
foreach(line IN LISTS lines)
  if(line MATCHES " [TtRr] ")
    math(EXPR defined "${defined} + 1")
  endif()
  # b/d/g/s/v: writable data; B/D/G/S/V too; U of a forbidden name.
  if(line MATCHES " [BbDdGgSsVv] " OR
     line MATCHES " U (printf|fprintf|fputs|fwrite|puts|putchar|stdout|stderr|exit|_exit|abort|__tls_get_addr)$")
    list(APPEND bad "${line}")
  endif()
endforeach()
if(defined EQUAL 0)
  message(FATAL_ERROR "no code symbols in ${LIB}: nothing was checked")
endif()
if(bad)
  string(REPLACE ";" "\n" bad "${bad}")
  message(FATAL_ERROR "libqev.a has state or output:\n${bad}")
endif()

execute_process(COMMAND ${NM} -C -g --defined-only ${LIB}
                OUTPUT_VARIABLE external RESULT_VARIABLE failed)
string(REPLACE "\n" ";" external "${external}")
set(foreign "")
set(named 0)
foreach(line IN LISTS external)
  if(NOT line MATCHES "^[0-9a-f]+ ([A-Za-z]) (.*)$")
    continue()
  endif()
  math(EXPR named "${named} + 1")
  set(kind "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  if(NOT name MATCHES "^qev_" AND NOT name MATCHES "^qev::" AND
     NOT kind MATCHES "[WwVvu]")
    list(APPEND foreign "${line}")
  endif()
endforeach()
if(named EQUAL 0)
  message(FATAL_ERROR "no external symbols in ${LIB}: nothing was checked")
endif()
if(foreign)
  string(REPLACE ";" "\n" foreign "${foreign}")
  message(FATAL_ERROR "libqev.a defines names outside qev:\n${foreign}")
endif()
message(STATUS "${defined} code and constant symbols, no state, no output; "
               "${named} external names, all qev's")
