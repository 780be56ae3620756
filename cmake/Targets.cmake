# Helpers that keep the per-folder CMake files short.

# vtx_library(NAME DEPS...): a static library from every .cpp in the calling folder,
# with includes rooted at src/.
function(vtx_library name)
  file(GLOB _sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT _sources)  # a folder whose code has not arrived yet
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARGN})
    return()
  endif()
  add_library(${name} STATIC ${_sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARGN})
  vtx_warnings(${name})
endfunction()

# vtx_test(NAME SOURCES... LIBS ...): a GoogleTest executable whose cases ctest runs one by one.
function(vtx_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  if(NOT T_SOURCES)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  vtx_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "VTX_SOURCE_DIR=${PROJECT_SOURCE_DIR}" ${T_PROPERTIES})
endfunction()

# vtx_bench(NAME SOURCES... LIBS ...): a Google Benchmark program.
function(vtx_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
  vtx_warnings(${name})
endfunction()

# vtx_fuzzer(NAME SOURCES... LIBS ...): a libFuzzer target (only in fuzz builds).
function(vtx_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY VTX_FUZZERS ${name})
endfunction()
