# GoogleTest, cross-built from Debian's sources with the program's toolchain.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

include(GoogleTest)

# kdm_add_gtest(<target> LABELS <label...> SOURCES <file...> [LIBS <lib...>]
#               [RESOURCE_LOCK <name>] [TIMEOUT <seconds>] [WIN32])
# A GoogleTest program linked with the program library; ctest runs each of its tests under Wine.
function(kdm_add_gtest target)
  cmake_parse_arguments(arg "WIN32" "RESOURCE_LOCK;TIMEOUT" "LABELS;SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${arg_SOURCES})
  target_link_libraries(${target} PRIVATE kestrune gtest_main ${arg_LIBS})
  kdm_silence_limit(${target} ${KDM_TEST_SILENCE_LIMIT_MS})
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  set(props LABELS "${arg_LABELS}")
  if(arg_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK ${arg_RESOURCE_LOCK})
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 120)
  endif()
  list(APPEND props TIMEOUT ${arg_TIMEOUT})
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    PROPERTIES ${props})
endfunction()
