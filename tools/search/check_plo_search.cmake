# Runs plo-search with both paths on one map over 1500 candidates around a recorded walk whose
# final hash has 2 leading zero bits, and on bad arguments; fails on any difference.
if(NOT PLO_SEARCH)
  message(FATAL_ERROR "PLO_SEARCH is not set")
endif()

# Recorded walk (tests/pow/data/walks.jsonl): candidate 1776116883, zeros 2.
set(_trailer "3644ac18d661ee8c58eae1d6af887cc4fc883c10b90a15222b2ae9893644c2559981d7415e56571d4a3cdef19ac7f4b7e37d22948dc51a520a681261ddfdc925d420571d9d96c8ed6013928c399014f3445de44b9088ec1d75e5461b0e3ee9018b0117000000000000000000150d54d801e1200301054b9b000000001dd3e2ca0a303dc9fc966b291d732aae3d28bed81a6fe9f660cef88ae8d14b8c40b67a50")
set(_half "150d54d801e1200301054b9b00000000")

foreach(_bad
    "--kernel;fast;--trailer;${_trailer};--difficulty;2;--first;0;--count;1"
    "--kernel;staged;--trailer;00;--difficulty;2;--first;0;--count;1"
    "--kernel;staged;--trailer;${_trailer};--difficulty;256;--first;0;--count;1"
    "--kernel;staged;--trailer;${_trailer};--difficulty;2;--first;0;--count;0"
    "--kernel;staged;--trailer;${_trailer};--difficulty;2;--first;0")
  execute_process(COMMAND ${PLO_SEARCH} ${_bad} OUTPUT_QUIET ERROR_VARIABLE _err
                  RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 2 OR NOT _err MATCHES "^usage: plo-search")
    message(FATAL_ERROR "plo-search ${_bad}: status ${_rc}, expected 2 and a usage line")
  endif()
endforeach()

execute_process(COMMAND ${PLO_SEARCH} --kernel both --trailer ${_trailer} --difficulty 2
                        --first 1776116183 --count 1500
                OUTPUT_VARIABLE _out ERROR_VARIABLE _err RESULT_VARIABLE _rc)
message(STATUS "${_err}")
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "plo-search both: status ${_rc}\n${_out}${_err}")
endif()
string(REGEX MATCHALL "solution [0-9]+ [0-9a-f]+\n" _solutions "${_out}")
list(LENGTH _solutions _n)
# About a quarter of the candidates pass at difficulty 2.
if(_n LESS 250 OR _n GREATER 500)
  message(FATAL_ERROR "plo-search both: ${_n} solutions\n${_out}")
endif()
if(NOT _out MATCHES "solution 1776116883 ${_half}\n")
  message(FATAL_ERROR "plo-search both: the recorded solution is missing\n${_out}")
endif()
if(NOT _out MATCHES "candidates 1500 seconds [0-9.]+ rate [0-9.]+ classic\ncandidates 1500 seconds [0-9.]+ rate [0-9.]+ staged\nratio staged/classic [0-9.]+\n$")
  message(FATAL_ERROR "plo-search both: unexpected summary\n${_out}")
endif()
