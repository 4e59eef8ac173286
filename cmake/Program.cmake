# kdm_silence_limit(<target> <milliseconds>)
# Compiles the transfer's silence limit (net/SilenceLimit.cpp) into a binary that links the
# program library; every such binary that transfers names its own value.
function(kdm_silence_limit target milliseconds)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/net/SilenceLimit.cpp)
  target_compile_definitions(${target} PRIVATE KDM_SILENCE_LIMIT_MS=${milliseconds})
endfunction()

# kdm_add_program(<variant> <download url> <web site url> <output dir> <silence limit ms>
#                 [KEYS <blob>...])
# Links KestruneDownloadManager.exe and KestruneDownloadManager.dll from the program library with
# the resources of one variant; the variants differ only in the two web addresses, the transfer's
# silence limit and the maker's public keys (CryptoAPI key blobs, see kdm_package_key_blob), which
# a variant without KEYS does not have.
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

# kdm_package_key_blob(<PEM file> <blob file>): the command that turns an RSA public key into the
# key blob the program carries; refuses a key outside 2048 to 4096 bits.
set(KDM_KEY_BLOB_SCRIPT ${CMAKE_SOURCE_DIR}/cmake/package_key_blob.py)

function(kdm_add_program variant download_url website_url outdir silence_limit)
  cmake_parse_arguments(ARG "" "" "KEYS" ${ARGN})
  set(KDM_RC_PACKAGE_KEYS "")
  set(key_id 201) # IDR_PACKAGE_KEY_FIRST in resources/StringIds.h
  foreach(key_blob ${ARG_KEYS})
    string(APPEND KDM_RC_PACKAGE_KEYS "${key_id} RCDATA \"${key_blob}\"\n")
    math(EXPR key_id "${key_id} + 1")
  endforeach()
  set(KDM_RC_DOWNLOAD_URL "${download_url}")
  set(KDM_RC_WEBSITE_URL "${website_url}")
  set(KDM_RC_ICON "${KDM_ICON}")
  set(KDM_RC_MANIFEST "${CMAKE_SOURCE_DIR}/resources/KestruneDownloadManager.manifest")
  set(rc ${CMAKE_BINARY_DIR}/resources/${variant}/KestruneDownloadManager.rc)
  configure_file(${CMAKE_SOURCE_DIR}/resources/KestruneDownloadManager.rc.in ${rc} @ONLY)
  set_source_files_properties(${rc} PROPERTIES
    OBJECT_DEPENDS "${KDM_ICON};${KDM_RC_MANIFEST};${CMAKE_SOURCE_DIR}/app/DialogIds.h;${CMAKE_SOURCE_DIR}/resources/StringIds.h;${ARG_KEYS}")

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

# The maker's public keys of the shipped binaries: KDM_PACKAGE_PUBLIC_KEY names PEM files (one, or
# two while the maker changes keys). Each is turned into its blob here, at configure time, so that
# a key the program cannot use stops the configuration. Sets KDM_PACKAGE_KEY_BLOBS.
function(kdm_configured_package_keys)
  set(blobs)
  set(index 0)
  foreach(pem ${KDM_PACKAGE_PUBLIC_KEY})
    get_filename_component(pem "${pem}" ABSOLUTE)
    set(blob ${CMAKE_BINARY_DIR}/package-keys/configured-${index}.blob)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/package-keys)
    execute_process(COMMAND ${PYTHON3} ${KDM_KEY_BLOB_SCRIPT} ${pem} ${blob}
                    RESULT_VARIABLE failed ERROR_VARIABLE reason)
    if(failed)
      message(FATAL_ERROR "KDM_PACKAGE_PUBLIC_KEY: ${reason}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pem})
    list(APPEND blobs ${blob})
    math(EXPR index "${index} + 1")
  endforeach()
  set(KDM_PACKAGE_KEY_BLOBS ${blobs} PARENT_SCOPE)
endfunction()

# Throwaway package keys made at build time in build/package-keys/, for the tests and the demo:
# maker-a (2048 bits) and maker-b (3072 bits) are built into the keyed loopback binaries,
# stranger (2048 bits) is built into nothing. Each has <name>.key (private, PEM), <name>.pem
# (public), <name>.rsa.key (the private key as PKCS#1, which crypt32 decodes) and <name>.blob. Defines the target kdm_throwaway_package_keys and sets
# KDM_THROWAWAY_KEY_BLOBS (maker-a's and maker-b's blobs).
function(kdm_throwaway_package_keys)
  find_program(KDM_OPENSSL openssl REQUIRED)
  set(dir ${CMAKE_BINARY_DIR}/package-keys)
  set(outputs)
  set(blobs)
  foreach(entry maker-a:2048 maker-b:3072 stranger:2048)
    string(REPLACE ":" ";" parts ${entry})
    list(GET parts 0 name)
    list(GET parts 1 bits)
    add_custom_command(
      OUTPUT ${dir}/${name}.key ${dir}/${name}.pem ${dir}/${name}.rsa.key ${dir}/${name}.blob
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${KDM_OPENSSL} genrsa -out ${dir}/${name}.key ${bits}
      COMMAND ${KDM_OPENSSL} rsa -in ${dir}/${name}.key -pubout -out ${dir}/${name}.pem
      COMMAND ${KDM_OPENSSL} rsa -in ${dir}/${name}.key -traditional -out ${dir}/${name}.rsa.key
      COMMAND ${PYTHON3} ${KDM_KEY_BLOB_SCRIPT} ${dir}/${name}.pem ${dir}/${name}.blob
      DEPENDS ${KDM_KEY_BLOB_SCRIPT}
      COMMENT "Making the throwaway package key ${name}")
    list(APPEND outputs ${dir}/${name}.blob)
    if(NOT name STREQUAL "stranger")
      list(APPEND blobs ${dir}/${name}.blob)
    endif()
  endforeach()
  add_custom_target(kdm_throwaway_package_keys DEPENDS ${outputs})
  set(KDM_THROWAWAY_KEY_BLOBS ${blobs} PARENT_SCOPE)
endfunction()
