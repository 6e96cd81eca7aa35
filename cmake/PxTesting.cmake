# GoogleTest: the system's prebuilt library natively; built from Debian's
# source package when cross-compiling, since the prebuilt one is for the host.
if(CMAKE_CROSSCOMPILING)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest 1.11 and later define the GTest:: aliases themselves.
  foreach(lib IN ITEMS gtest gtest_main gmock)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()

include(GoogleTest)

# px_test(name LABEL unit SOURCES ... DEPENDS ...): one executable, one CTest
# entry. Cross builds run it through CMAKE_CROSSCOMPILING_EMULATOR (Wine).
function(px_test name)
  cmake_parse_arguments(ARG "" "LABEL" "SOURCES;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS} GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  px_target_settings(${name})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  if(CMAKE_CROSSCOMPILING)
    # Listing the cases would mean starting every executable under the
    # emulator once more; the cross build runs each as a whole.
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABEL}" TIMEOUT 600)
  else()
    # One CTest entry per case, so that `ctest -R` runs just the one asked
    # for; listed when the tests run, not when they are built.
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                         PROPERTIES LABELS "${ARG_LABEL}" TIMEOUT 600)
  endif()
endfunction()
