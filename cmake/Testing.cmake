# GoogleTest, cross-built from Debian's sources with the program's toolchain.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# kdm_add_test(NAME <name> TIMEOUT <seconds> LABELS <label...> [RESOURCE_LOCK <name...>]
#              COMMAND <command> [<argument>...])
# A test that ctest runs in ${CMAKE_BINARY_DIR}/tests. The command may hold generator expressions;
# a Windows program in it is named with its emulator (CMAKE_CROSSCOMPILING_EMULATOR).
#
# Each test is registered by a small script that ctest runs when it reads the list of tests, so
# that the TIMEOUT, given in seconds at native speed, is stretched there by KDM_TIME_SCALE
# (cmake/TestTimeScale.cmake): one build serves the native run and the emulated guest's.
#
# Tests under Wine labelled dialog or e2e also take the lock `display`: they share one Xvfb
# display, and their operators find windows among all of its top-level windows, so two of them
# side by side would answer each other's message boxes. Other tests may run beside them.
function(kdm_add_test)
  cmake_parse_arguments(arg "" "NAME;TIMEOUT" "LABELS;RESOURCE_LOCK;COMMAND" ${ARGN})
  if(NOT arg_NAME OR NOT arg_TIMEOUT OR NOT arg_LABELS OR NOT arg_COMMAND)
    message(FATAL_ERROR "kdm_add_test needs NAME, TIMEOUT, LABELS and COMMAND")
  endif()
  set(locks ${arg_RESOURCE_LOCK})
  if(("dialog" IN_LIST arg_LABELS OR "e2e" IN_LIST arg_LABELS) AND NOT "host" IN_LIST arg_LABELS)
    list(APPEND locks display)
  endif()
  set(script "include([==[${CMAKE_CURRENT_FUNCTION_LIST_DIR}/TestTimeScale.cmake]==])\n")
  string(APPEND script "kdm_scaled_timeout(kdm_timeout ${arg_TIMEOUT})\n")
  string(APPEND script "add_test([==[${arg_NAME}]==]")
  foreach(word IN LISTS arg_COMMAND)
    string(APPEND script " [==[${word}]==]")
  endforeach()
  string(APPEND script ")\nset_tests_properties([==[${arg_NAME}]==] PROPERTIES")
  string(APPEND script " LABELS [==[${arg_LABELS}]==] TIMEOUT \${kdm_timeout}")
  if(locks)
    string(APPEND script " RESOURCE_LOCK [==[${locks}]==]")
  endif()
  string(APPEND script " WORKING_DIRECTORY [==[${CMAKE_BINARY_DIR}/tests]==])\n")
  set(file ${CMAKE_CURRENT_BINARY_DIR}/${arg_NAME}.ctest.cmake)
  file(GENERATE OUTPUT ${file} CONTENT "${script}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()

# kdm_add_gtest(<target> LABELS <label...> SOURCES <file...> [LIBS <lib...>]
#               [RESOURCE_LOCK <name...>] [TIMEOUT <seconds>] [SHARDS <count>])
# A GoogleTest program linked with the program library. ctest runs it under Wine once for all its
# cases, as one test named after the program: each Wine start costs about half a second natively
# and several seconds in the emulated guest, far more than most cases. GoogleTest's report in the
# output names each failing case; to run one case, or some,
# GTEST_FILTER='Suite.Case' tests/run-tests.sh build -R <program>. TIMEOUT (default 120) is the
# whole program's. A case must therefore leave no process-wide state that another case trips over.
#
# SHARDS: the cases are dealt out to that many processes instead, GoogleTest's own sharding
# (tests <program>_1of<count> and on, each with TIMEOUT). For programs of many whole runs: after
# some forty Save As dialogs in one Wine process, the next one never comes up (it waits for ever
# in Wine's RPC start-up, which its shell view needs for drag and drop).
function(kdm_add_gtest target)
  cmake_parse_arguments(arg "" "TIMEOUT;SHARDS" "LABELS;SOURCES;LIBS;RESOURCE_LOCK" ${ARGN})
  add_executable(${target} ${arg_SOURCES})
  target_link_libraries(${target} PRIVATE kestrune gtest_main ${arg_LIBS})
  kdm_silence_limit(${target} ${KDM_TEST_SILENCE_LIMIT_MS})
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 120)
  endif()
  if(NOT arg_SHARDS)
    kdm_add_test(NAME ${target} TIMEOUT ${arg_TIMEOUT} LABELS ${arg_LABELS}
                 RESOURCE_LOCK ${arg_RESOURCE_LOCK}
                 COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${target}>)
    return()
  endif()
  math(EXPR last "${arg_SHARDS} - 1")
  foreach(index RANGE ${last})
    math(EXPR number "${index} + 1")
    kdm_add_test(NAME ${target}_${number}of${arg_SHARDS} TIMEOUT ${arg_TIMEOUT}
                 LABELS ${arg_LABELS} RESOURCE_LOCK ${arg_RESOURCE_LOCK}
                 COMMAND ${CMAKE_COMMAND} -E env GTEST_TOTAL_SHARDS=${arg_SHARDS}
                         GTEST_SHARD_INDEX=${index}
                         ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${target}>)
  endforeach()
endfunction()
