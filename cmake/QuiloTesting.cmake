# Helpers shared by tests/ and bench/.
find_package(GTest REQUIRED)
find_package(benchmark QUIET)
include(GoogleTest)

# quilo_add_gtest(NAME SOURCES a.cc b.cc LIBS x y [LABELS label] [TIMEOUT s])
# One GoogleTest executable; each TEST() becomes a CTest case.
function(quilo_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # gtest_discover_tests writes list-valued properties out unescaped, so every
  # property here holds one value: one label per test program, one variable in
  # the environment (tests find the source tree from the build tree's cache).
  # With several labels given, the last (most specific) one is used.
  set(_label "")
  if(T_LABELS)
    list(GET T_LABELS -1 _label)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${_label}"
               ENVIRONMENT "QUILO_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()

# quilo_add_bench(NAME SOURCES ... LIBS ...): a Google Benchmark executable (not a test).
function(quilo_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT benchmark_FOUND)
    return()
  endif()
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
endfunction()

# Adds every immediate subdirectory of the current source dir that has a CMakeLists.txt.
macro(quilo_add_subdirs)
  file(GLOB _quilo_children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _quilo_children)
  foreach(_child ${_quilo_children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${_child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${_child}/CMakeLists.txt)
      add_subdirectory(${_child})
    endif()
  endforeach()
endmacro()
