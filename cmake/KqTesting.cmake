# Test helpers. kq_add_test(NAME LABEL SOURCES ... LIBS ... [TIMEOUT s] [LINUX_ONLY]
# [WINDOWS_ONLY] [SERIAL] [WINE_SERIAL]) builds one GoogleTest executable with the shared test
# main (which also runs child-process roles, see tests/support/child.h) and
# registers it under its label. kq_test_namespace(NAME) gives any test a
# namespace of its own.
if(KQ_WINDOWS)
  # GoogleTest from the sources Debian installs, built with the cross compiler.
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  set(KQ_GTEST_LIB gtest)
else()
  find_package(GTest REQUIRED)
  set(KQ_GTEST_LIB GTest::gtest)
endif()

# Every test runs in a private object namespace, kqtest-<test name>-<build tree>:
# its servers, clients and objects (and those of every child, which inherits the
# variable) can neither see nor disturb a live system on the machine, another
# test running at the same time, nor the same test of another build tree run
# meanwhile (the last part is a short hash of this build folder; the platform
# takes namespace words of up to 64 characters). Only the POSIX backend reads the
# variable; the win64 leg runs under a Wine prefix of its own instead.
string(SHA1 KQ_TEST_TREE "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${KQ_TEST_TREE}" 0 4 KQ_TEST_TREE)
function(kq_test_namespace name)
  set(word "kqtest-${name}-${KQ_TEST_TREE}")
  string(LENGTH "${word}" length)
  if(length GREATER 64)
    message(FATAL_ERROR "test name ${name} too long for a namespace word (${word})")
  endif()
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "KQVXI_NAMESPACE=${word}")
endfunction()

function(kq_add_test name label)
  cmake_parse_arguments(T "LINUX_ONLY;WINDOWS_ONLY;SERIAL;WINE_SERIAL" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(T_LINUX_ONLY AND KQ_WINDOWS)
    return()
  endif()
  if(T_WINDOWS_ONLY AND NOT KQ_WINDOWS)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE kq_test_support ${T_LIBS} ${KQ_GTEST_LIB})
  if(KQ_WIN32_BITS EQUAL 32)
    return()  # 32-bit Windows programs are built, never run here.
  endif()
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${label}" TIMEOUT ${T_TIMEOUT})
  kq_test_namespace(${name})
  if(T_SERIAL)
    # Measures timing (stalls, gaps) that another test's load would distort.
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  elseif(T_WINE_SERIAL AND KQ_WINDOWS)
    # Uses the server's fixed object names ("KQ-VXI Intr Proc Event"...), which
    # every test of the Wine prefix shares: no other test may signal or wait on
    # them meanwhile. The POSIX legs have a namespace per test instead.
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()
