# Read by ctest, not by the configuration: each test's registration script includes it when ctest
# reads the list of tests. KDM_TIME_SCALE stretches every time limit that is tuned to native speed;
# the emulated guest sets it, where every Wine process runs several times slower. The test bench
# reads the same variable with the same bounds for its own waits (tests/support/WaitUntil.h):
# a whole number from 1 to 100, anything else counts as 1.
set(kdm_time_scale 1)
if("$ENV{KDM_TIME_SCALE}" MATCHES "^[0-9][0-9]?[0-9]?$")
  if($ENV{KDM_TIME_SCALE} GREATER_EQUAL 1 AND $ENV{KDM_TIME_SCALE} LESS_EQUAL 100)
    set(kdm_time_scale $ENV{KDM_TIME_SCALE})
  endif()
endif()

# kdm_scaled_timeout(<variable> <seconds at native speed>)
function(kdm_scaled_timeout variable seconds)
  math(EXPR scaled "${seconds} * ${kdm_time_scale}")
  set(${variable} ${scaled} PARENT_SCOPE)
endfunction()
