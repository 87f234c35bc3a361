# Precompiled headers (ECRAN_PCH): what most files of a Qt layer or of a
# test executable include is compiled once for the target.
#
# ecran_precompile(target HEADER...) gives target's C++ files those headers
# (a C file of the target needs the source property SKIP_PRECOMPILE_HEADERS).
function(ecran_precompile target)
  if(ECRAN_PCH)
    target_precompile_headers(${target} PRIVATE ${ARGN})
  endif()
endfunction()

set(ECRAN_TEST_HEADERS <gtest/gtest.h> <gmock/gmock.h> <filesystem> <fstream> <optional> <string> <vector>)
set(ECRAN_QT_TEST_HEADERS <QApplication> <QTest> <QTimer> <QUdpSocket> <QWidget>)

# Every test executable below DIR (one named *_tests) gets a precompiled
# header. Those without Qt share one, built with their flags in
# ecran_test_pch; display_tests has its own with the Qt headers too, which
# fleet_tests reuses (same Qt modules and flags). g++ 12 loses the
# system-header mark of libstdc++'s code that comes from a precompiled
# header beside Qt's, and then reports its inlined std::string copies in the
# test files (array-bounds, stringop-overflow): with g++ those two go
# without. The console's tests, with other Qt modules and few files, too.
function(ecran_test_headers dir)
  if(NOT ECRAN_PCH)
    return()
  endif()
  if(NOT TARGET ecran_test_pch)
    find_package(GTest REQUIRED)
    file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/test_pch.cpp CONTENT "// holds the tests' precompiled header\n")
    add_library(ecran_test_pch OBJECT ${CMAKE_BINARY_DIR}/test_pch.cpp)
    target_link_libraries(ecran_test_pch PRIVATE GTest::gtest GTest::gmock)
    target_precompile_headers(ecran_test_pch PRIVATE ${ECRAN_TEST_HEADERS})
  endif()
  get_property(_targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(_target ${_targets})
    if(NOT _target MATCHES "_tests$" OR _target STREQUAL "console_tests")
      continue()
    endif()
    if(_target STREQUAL "display_tests")
      if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_precompile_headers(${_target} PRIVATE ${ECRAN_TEST_HEADERS} ${ECRAN_QT_TEST_HEADERS})
      endif()
    elseif(_target STREQUAL "fleet_tests")
      if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_precompile_headers(${_target} REUSE_FROM display_tests)
      endif()
    else()
      target_precompile_headers(${_target} REUSE_FROM ecran_test_pch)
    endif()
  endforeach()
  get_property(_subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(_subdir ${_subdirs})
    ecran_test_headers(${_subdir})
  endforeach()
endfunction()
