# Helpers shared by scripts/fuzz (libFuzzer programs built with clang) and
# tests/fuzz (the same targets run once on each of their seeds in the normal
# build). A target is one fuzz/<folder>/<stem>.cpp.

# The libraries a target links: romvise_<folder>, romvise_testkit_<folder>
# when it exists, and those its source names in a comment
# "fuzz-link: <library> ...".
function(romvise_fuzz_libraries source out)
  get_filename_component(folder "${source}" DIRECTORY)
  get_filename_component(folder "${folder}" NAME)
  set(libraries romvise_${folder})
  if(TARGET romvise_testkit_${folder})
    list(APPEND libraries romvise_testkit_${folder})
  endif()
  file(STRINGS "${source}" lines REGEX "fuzz-link:")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ".*fuzz-link:[ ]*" "" named "${line}")
    separate_arguments(named)
    list(APPEND libraries ${named})
  endforeach()
  set(${out} ${libraries} PARENT_SCOPE)
endfunction()

# The longest input a target takes: its comment "fuzz-max-len: <bytes>", or
# libFuzzer's default in scripts/fuzz, 40000.
function(romvise_fuzz_max_len source out)
  file(STRINGS "${source}" lines REGEX "fuzz-max-len: [0-9]+")
  set(length 40000)
  if(lines)
    list(GET lines 0 line)
    string(REGEX REPLACE ".*fuzz-max-len: ([0-9]+).*" "\\1" length "${line}")
  endif()
  set(${out} ${length} PARENT_SCOPE)
endfunction()
