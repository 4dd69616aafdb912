# One helper registers every GoogleTest executable with CTest.
find_package(GTest REQUIRED)
include(GoogleTest)

# kestrel_add_test(NAME source... [LIBS lib...] [LABELS label...])
function(kestrel_add_test name)
  cmake_parse_arguments(ARG "" "" "LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    # One variable only: the discovery script splits a list of them into
    # separate properties. Tests find the sources beside their own file.
    PROPERTIES LABELS "${ARG_LABELS}"
               ENVIRONMENT "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp")
endfunction()

# kestrel_add_unit_tests(AREA LIBS lib...): every AREA/**/*_test.cpp becomes the
# test binary AREA_<file name>, beside the code it tests, labelled AREA.
function(kestrel_add_unit_tests area)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${area}/*_test.cpp)
  foreach(source ${sources})
    get_filename_component(name ${source} NAME_WE)
    kestrel_add_test(${area}_${name} ${source} LIBS ${ARG_LIBS} LABELS ${area})
  endforeach()
endfunction()
