# kdm_silence_limit(<target> <milliseconds>)
# Compiles the transfer's silence limit (net/SilenceLimit.cpp) into a binary that links the
# program library; every such binary that transfers names its own value.
function(kdm_silence_limit target milliseconds)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/net/SilenceLimit.cpp)
  target_compile_definitions(${target} PRIVATE KDM_SILENCE_LIMIT_MS=${milliseconds})
endfunction()

# kdm_add_program(<variant> <download url> <web site url> <output dir> <silence limit ms>)
# Links KestruneDownloadManager.exe and KestruneDownloadManager.dll from the program library with
# the resources of one variant; the variants differ only in the two web addresses and the
# transfer's silence limit.
# Defines the targets kdm_<variant>_exe, kdm_<variant>_dll and kdm_<variant>_res (an object
# library of the compiled resources, for test programs that need the program's resources).

set(KDM_ICON ${CMAKE_BINARY_DIR}/resources/app.ico)
find_program(PYTHON3 python3 REQUIRED)
add_custom_command(
  OUTPUT ${KDM_ICON}
  COMMAND ${PYTHON3} ${CMAKE_SOURCE_DIR}/resources/icon/make_icon.py ${KDM_ICON}
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/icon/make_icon.py
  COMMENT "Drawing the program icon")
add_custom_target(kdm_icon DEPENDS ${KDM_ICON})

function(kdm_add_program variant download_url website_url outdir silence_limit)
  set(KDM_RC_DOWNLOAD_URL "${download_url}")
  set(KDM_RC_WEBSITE_URL "${website_url}")
  set(KDM_RC_ICON "${KDM_ICON}")
  set(KDM_RC_MANIFEST "${CMAKE_SOURCE_DIR}/resources/KestruneDownloadManager.manifest")
  set(rc ${CMAKE_BINARY_DIR}/resources/${variant}/KestruneDownloadManager.rc)
  configure_file(${CMAKE_SOURCE_DIR}/resources/KestruneDownloadManager.rc.in ${rc} @ONLY)
  set_source_files_properties(${rc} PROPERTIES
    OBJECT_DEPENDS "${KDM_ICON};${KDM_RC_MANIFEST};${CMAKE_SOURCE_DIR}/app/DialogIds.h;${CMAKE_SOURCE_DIR}/resources/StringIds.h")

  add_library(kdm_${variant}_res OBJECT ${rc})
  target_include_directories(kdm_${variant}_res PRIVATE ${CMAKE_SOURCE_DIR})
  add_dependencies(kdm_${variant}_res kdm_icon)

  add_executable(kdm_${variant}_exe WIN32 ${CMAKE_SOURCE_DIR}/app/ProgramMain.cpp
                 $<TARGET_OBJECTS:kdm_${variant}_res>)
  set_target_properties(kdm_${variant}_exe PROPERTIES LINKER_LANGUAGE CXX)
  target_link_libraries(kdm_${variant}_exe PRIVATE kestrune)
  target_link_options(kdm_${variant}_exe PRIVATE -municode)

  add_library(kdm_${variant}_dll SHARED $<TARGET_OBJECTS:kdm_${variant}_res>
              ${CMAKE_SOURCE_DIR}/app/KestruneDownloadManager.def)
  target_link_libraries(kdm_${variant}_dll PRIVATE kestrune)
  target_link_options(kdm_${variant}_dll PRIVATE -mwindows)
  set_target_properties(kdm_${variant}_dll PROPERTIES LINKER_LANGUAGE CXX)

  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/link-maps/${variant})
  foreach(t kdm_${variant}_exe kdm_${variant}_dll)
    kdm_silence_limit(${t} ${silence_limit})
    # Stripped: the symbol table and the static runtime's debug sections would more than double
    # the size of what users download, and they name the runtime's build folders. The link map,
    # kept beside the build rather than the binaries, still tells which object gave each symbol.
    target_link_options(${t} PRIVATE -s
      "LINKER:-Map=${CMAKE_BINARY_DIR}/link-maps/${variant}/$<TARGET_FILE_NAME:${t}>.map")
    set_target_properties(${t} PROPERTIES
      OUTPUT_NAME KestruneDownloadManager PREFIX ""
      RUNTIME_OUTPUT_DIRECTORY ${outdir}
      LIBRARY_OUTPUT_DIRECTORY ${outdir}
      ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib/${variant})
  endforeach()
endfunction()
