# Test helpers. kq_add_test(NAME LABEL SOURCES ... LIBS ... [TIMEOUT s] [LINUX_ONLY])
# builds one GoogleTest executable with the shared test main (which also runs
# child-process roles, see tests/support/child.h) and registers it under its label.
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

function(kq_add_test name label)
  cmake_parse_arguments(T "LINUX_ONLY;WINDOWS_ONLY;SERIAL" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
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
  if(T_SERIAL)
    # Uses the machine-wide server object names ("KQ-VXI Intr Proc Event"...):
    # no other test may signal or wait on them meanwhile.
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endfunction()
