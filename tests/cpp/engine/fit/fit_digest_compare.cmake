# Runs the fit suites with 1, 2, 3, 8 and 16 pool threads, and requires the model digests they
# print to agree: a deterministic fit may not depend on the pool size.
# Usage: cmake -DTEST_BINARY=<kestrune_tests> [-DTEST_FILTER=<gtest filter, Fit* by default>]
#        -P fit_digest_compare.cmake
if(NOT DEFINED TEST_FILTER)
  set(TEST_FILTER "Fit*")
endif()
set(pool_sizes 1 2 3 8 16)
foreach(threads IN LISTS pool_sizes)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env RAYON_NUM_THREADS=${threads} ${TEST_BINARY} --gtest_filter=${TEST_FILTER}
                  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "fit suites failed with ${threads} pool threads:\n${output}\n${errors}")
  endif()
  string(REGEX MATCHALL "fit digest [^\n]*" digests_${threads} "${output}")
endforeach()
if(NOT digests_1)
  message(FATAL_ERROR "the fit suites printed no digest")
endif()
foreach(threads IN LISTS pool_sizes)
  if(NOT "${digests_1}" STREQUAL "${digests_${threads}}")
    message(FATAL_ERROR
            "fit digests differ between pool sizes:\n  1 thread:  ${digests_1}\n  ${threads} threads: ${digests_${threads}}")
  endif()
endforeach()
message(STATUS "fit digests agree: ${digests_1}")
