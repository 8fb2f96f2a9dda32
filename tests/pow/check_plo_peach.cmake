# Runs plo-peach on the reference walk trailer and on bad arguments; fails on any difference.
if(NOT PLO_PEACH)
  message(FATAL_ERROR "PLO_PEACH is not set")
endif()

# Bytes 0..91 zero; both nonce halves: in, morning, newline, a, traveller, newline, arriving.
set(_zero92 "")
foreach(_i RANGE 1 92)
  string(APPEND _zero92 "00")
endforeach()
set(_haiku "0d53010581011200" "0000000000000000")
string(CONCAT _haiku ${_haiku})
set(_tail "")
foreach(_i RANGE 1 36)
  string(APPEND _tail "00")
endforeach()
set(_trailer "${_zero92}${_haiku}${_haiku}${_tail}")

set(_expect
"syntax 1 1
H 5edc2be5d1c32a07e0a3699702280e23ded4a6d2a0d9026b5f5826c5f64b6955
tiles 0 643906 624383 1017427 563642 238667 289630 609999 365284
F 2384d2a2c67d96ba36c65443f648aadf77328fb38f9e2c10d70cc527699b4588
zeros 2
")

function(run_case difficulty result)
  execute_process(COMMAND ${PLO_PEACH} ${_trailer} ${difficulty}
                  OUTPUT_VARIABLE _out RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "plo-peach ${difficulty}: exit status ${_rc}")
  endif()
  if(NOT _out STREQUAL "${_expect}result ${result}\n")
    message(FATAL_ERROR "plo-peach ${difficulty}: unexpected output:\n${_out}")
  endif()
endfunction()
run_case(2 0)
run_case(3 1)

# A second haiku that fails the frame check: the walk is still printed, the verdict is 1.
string(SUBSTRING "${_trailer}" 0 230 _head)
string(SUBSTRING "${_trailer}" 232 88 _rest)
execute_process(COMMAND ${PLO_PEACH} "${_head}07${_rest}" 0
                OUTPUT_VARIABLE _out RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0 OR NOT _out MATCHES "^syntax 1 0\nH [0-9a-f]+\ntiles( [0-9]+)+\nF [0-9a-f]+\nzeros [0-9]+\nresult 1\n$")
  message(FATAL_ERROR "plo-peach with a bad second haiku:\n${_out}")
endif()

# Bad arguments: usage on standard error, status 2, nothing on standard output.
string(SUBSTRING "${_trailer}" 0 318 _short)
string(SUBSTRING "${_trailer}" 1 319 _shifted)
foreach(_args "${_short}\;0" "${_trailer}00\;0" "z${_shifted}\;0" "${_shifted} \;0"
              "${_trailer}\;abc" "${_trailer}\;-1" "${_trailer}\;" "${_trailer}\;12x"
              "${_trailer}\;99999999999" "${_trailer}" "")
  execute_process(COMMAND ${PLO_PEACH} ${_args}
                  OUTPUT_VARIABLE _out ERROR_VARIABLE _err RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 2 OR NOT _out STREQUAL "" OR NOT _err MATCHES "usage")
    message(FATAL_ERROR "plo-peach ${_args}: status ${_rc}, stdout '${_out}', stderr '${_err}'")
  endif()
endforeach()
