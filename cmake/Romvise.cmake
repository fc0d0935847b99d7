# Helpers shared by every folder's CMakeLists.txt.

# romvise_library(<name> DEPS <libs...>)
# A static library of every .cpp below the calling folder. Sources are
# included from the repository root ("core/Log.h").
function(romvise_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# romvise_test(<name> LABEL <label> [EACH_CASE] DEPS <libs...>)
# One GoogleTest program of every .cpp below the calling folder, its cases
# registered with ctest under the label (ctest -L <label>). With
# ROMVISE_TEST_PER_PROGRAM the program is one ctest test that runs all its
# cases in one process, unless EACH_CASE asks for a test a case (for programs
# whose cases are long enough to want running side by side).
function(romvise_test name)
  cmake_parse_arguments(ARG "EACH_CASE" "LABEL" "DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  if(ROMVISE_SANITIZE)
    # Test code is not where the time goes when the tests run, but it is half
    # of what a sanitizer build compiles: unoptimised it compiles in half the
    # time, and the sanitizers check it just as well.
    target_compile_options(${name} PRIVATE -O0)
  endif()
  if(ROMVISE_TEST_PER_PROGRAM AND NOT ARG_EACH_CASE)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
      LABELS ${ARG_LABEL}
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  else()
    gtest_discover_tests(${name}
      PROPERTIES LABELS ${ARG_LABEL}
      DISCOVERY_TIMEOUT 60
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
endfunction()
