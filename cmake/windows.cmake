# The parts of the Windows build (cross-built with cmake/mingw-w64-x86_64.cmake, tests run
# under Wine): the deliverables that have a Win32 layer, and their test suites.  The
# handheld simulator and the other Linux tools are not built here: the tests reach a
# natively built simulator on loopback.
# The application's jar is the same for both systems; javac of the host builds it.
set(ZR_PARTS connectivity/src/zr-net connectivity/src/bridge app launcher driver-installer tools/zr-dhcp)
if(ZR_BUILD_TESTS)
  enable_testing()
  # GoogleTest from Debian's sources, as a DLL so that every test program links quickly.
  set(ZR_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
  set(BUILD_SHARED_LIBS ON)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${ZR_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(BUILD_SHARED_LIBS OFF)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
  include(GoogleTest)
  find_package(Threads REQUIRED)
  list(APPEND ZR_PARTS connectivity/tests/win tests/support/win)
endif()
