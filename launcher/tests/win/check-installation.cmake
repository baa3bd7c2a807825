# Installs the Windows build into a fresh folder and checks the installation's layout:
# the programs (the DHCP service zr-dhcp.exe with its settings among them) and zr-net.dll at
# the top, the Java library path lib\ with the bridge and the
# application's jar.  (jre\ is the Java runtime, supplied beside it.)
#   cmake -DBUILD_DIR=... -DPREFIX=... -P check-installation.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
  RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
set(expected
  KQ-LumaraLink.exe
  KQCoInstaller.exe
  zr-dhcp.exe
  zr-dhcp.cfg
  zr-net.dll
  lib/QXConJNI.dll
  lib/qxconnect.jar
  sdk/include/zr-net.h)
foreach(file IN LISTS expected)
  if(NOT EXISTS "${PREFIX}/${file}")
    message(FATAL_ERROR "missing from the installation: ${file}")
  endif()
endforeach()
# Nothing of the tests, and no stand-in runtime, lands in the installation.
file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
foreach(file IN LISTS installed)
  if(file MATCHES "test|fake|gtest|standin")
    message(FATAL_ERROR "a test file was installed: ${file}")
  endif()
endforeach()
list(LENGTH installed count)
message(STATUS "installation of ${count} files: ${installed}")
file(REMOVE_RECURSE "${PREFIX}")
