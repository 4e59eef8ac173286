# What the binaries import, and how (foundation/SystemLibraries.h).
# - Statically: only libraries that Windows maps from its known-libraries list on every version
#   from XP to 8.1, which are never taken from the program's folder: kernel32, user32, gdi32,
#   advapi32, shell32, ole32, comdlg32, and msvcrt for the C runtime.
# - Delay-loaded, through import libraries that dlltool makes from cmake/delayload/*.def: every
#   other library. The .def files list the functions the program calls; a call of one that is
#   missing there fails to link. The library names must match kDelayLoadedLibraries in
#   foundation/SystemLibraries.cpp.
# - GetTickCount64, which the toolchain's static thread library imports and XP lacks, resolves to
#   the program's own look-up (xp-imports.ld, foundation/TickCount64.cpp).
find_program(KDM_DLLTOOL ${CMAKE_DLLTOOL} REQUIRED)

set(KDM_DELAY_LOADED comctl32 version wininet ws2_32)
set(KDM_DELAY_LIBS)
set(KDM_DELAY_STUBS)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/delayload)
foreach(lib ${KDM_DELAY_LOADED})
  set(def ${CMAKE_SOURCE_DIR}/cmake/delayload/${lib}.def)
  set(out ${CMAKE_BINARY_DIR}/delayload/lib${lib}_delay.a)
  # Run in the output folder with a relative output name: dlltool names the library's symbols
  # after it, and the binaries carry no build folder.
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${KDM_DLLTOOL} --input-def ${def} --output-delaylib lib${lib}_delay.a -k
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/delayload
    DEPENDS ${def}
    COMMENT "Delay-load import library for ${lib}.dll")
  list(APPEND KDM_DELAY_LIBS ${out})
  # The stub list below is read from the .def file when CMake configures: without this, a function
  # added to it would rebuild the import library but not the list, and GNU ld would then leave
  # that function's delay-load entry null without a word (the first call would jump to 0).
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
  # Each delay-load address table entry starts out pointing into its function's stub, which
  # loads the library on the first call. GNU ld drops the stubs that no code names when it links
  # a DLL (the code calls through the table), which leaves those entries null: name each one.
  file(STRINGS ${def} functions REGEX "^[A-Za-z_][A-Za-z0-9_]*@[0-9]+$")
  foreach(function ${functions})
    list(APPEND KDM_DELAY_STUBS "LINKER:--undefined=_${function}")
  endforeach()
endforeach()
# The delay-load helper asks the program's hook (__pfnDliNotifyHook2 in
# foundation/SystemLibraries.cpp) before it loads a library. The MinGW runtime defines a null hook
# too, in an object of its own that the linker would pull in for that symbol alone; naming the
# symbol before any library is searched makes the linker take the program's definition (the
# program library comes before the runtime's), whether or not anything else needs that file.
list(APPEND KDM_DELAY_STUBS "LINKER:--undefined=___pfnDliNotifyHook2")
add_custom_target(kdm_delayload DEPENDS ${KDM_DELAY_LIBS})

set(KDM_STATIC_IMPORTS advapi32 shell32 ole32 comdlg32 gdi32 user32 kernel32)
# lld takes no linker scripts; the clang build is a second compiler's check and is not shipped, so
# its binaries keep that import.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(KDM_XP_IMPORTS_SCRIPT ${CMAKE_SOURCE_DIR}/cmake/xp-imports.ld)
else()
  set(KDM_XP_IMPORTS_SCRIPT)
endif()
