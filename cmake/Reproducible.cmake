# Two builds of one commit give byte-identical binaries, whatever folders they are built in:
# - no folder of the building machine in __FILE__ or debug paths: the source and build folders
#   are cut from every path the compiler writes (the build folder is listed last, so that it wins
#   when it lies inside the source folder);
# - no link time in the PE header or the export directory: the linker writes 0 instead, and the
#   PE checksum, computed over the file, follows.
# The resource compiler writes no time or path of its own; the inputs are named in a fixed order
# by the CMake files (no globbing).
target_compile_options(kdm_settings INTERFACE
  "$<$<COMPILE_LANGUAGE:CXX,C>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>"
  "$<$<COMPILE_LANGUAGE:CXX,C>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>")
target_link_options(kdm_settings INTERFACE -Wl,--no-insert-timestamp)
