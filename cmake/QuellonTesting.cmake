# quellon_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <label>] [THREADED])
#
# One GoogleTest executable; every test case inside becomes its own CTest test carrying the
# labels (default: unit). Labels in use: unit (fast, hermetic), e2e (real programs and
# processes end to end), slow (long-running; left out of the quick run), tsan (THREADED tests
# in the ThreadSanitizer build, the only ones it runs), fuzz (fuzz/: the fuzz targets' short runs),
# browser (extension/: real browsers on the PipeWire camera; a script, not made here).
if(BUILD_TESTING)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

function(quellon_add_test name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(ARG "THREADED" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  # One label per test (the discovery script cannot carry a list): in the ThreadSanitizer build
  # the threaded tests are labelled tsan instead, and only they run there.
  if(ARG_THREADED AND QUELLON_SANITIZE STREQUAL "thread")
    set(ARG_LABELS tsan)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE quellon_core GTest::gtest GTest::gmock GTest::gtest_main ${ARG_LIBS})
  # The ThreadSanitizer build runs only the threaded tests, so it compiles only them: the others
  # stay defined (their CMakeLists may add to them) but are left out of the default build.
  if(QUELLON_SANITIZE STREQUAL "thread" AND NOT ARG_THREADED)
    set_target_properties(${name} PROPERTIES EXCLUDE_FROM_ALL TRUE)
    return()
  endif()
  # Inputs that once broke a parser live beside the repository; tests replay them when present.
  target_compile_definitions(${name} PRIVATE
    QUELLON_FUZZ_FINDINGS_DIR="${PROJECT_SOURCE_DIR}/../shared/fuzz-findings")
  set(environment "")
  if(QUELLON_SANITIZE STREQUAL "address")
    # Leaks inside system libraries that we cannot free (see the file) are not ours.
    set(environment "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${environment}")
endfunction()
