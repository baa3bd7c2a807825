# `cmake --install` of the build into a scratch prefix puts the DHCP service where systemd
# and udev look: the program, its settings, the unit (whose ExecStart names the installed
# program) and the rule (which starts the unit for the handheld's USB id).
# cmake -DBUILD_DIR=... -DPREFIX=... -DSBINDIR=... -DSYSCONFDIR=... -DDATAROOTDIR=... -DMANDIR=... -P check-install.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc} ${err}")
endif()
foreach(f "${SBINDIR}/zr-dhcp.exe" "${SYSCONFDIR}/zr-dhcp.cfg" "lib/systemd/system/zr-dhcp.service"
          "lib/udev/rules.d/70-zr-dhcp.rules")
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(READ "${PREFIX}/lib/systemd/system/zr-dhcp.service" unit)
foreach(want "ExecStart=${FULL_SBINDIR}/zr-dhcp.exe --config ${FULL_SYSCONFDIR}/zr-dhcp.cfg "
             "Restart=on-failure" "CapabilityBoundingSet=CAP_NET_ADMIN CAP_NET_BIND_SERVICE\n"
             "ReadWritePaths=-/proc/sys/net/ipv6/conf\n" "--run-dir /run/zr-dhcp\n" "RuntimeDirectory=zr-dhcp\n"
             "RuntimeDirectoryMode=0755\n")
  string(FIND "${unit}" "${want}" at)
  if(at LESS 0)
    message(FATAL_ERROR "zr-dhcp.service lacks '${want}':\n${unit}")
  endif()
endforeach()
file(READ "${PREFIX}/lib/udev/rules.d/70-zr-dhcp.rules" rule)
foreach(want "ACTION==\"add|change|move\"" "ATTRS{idVendor}==\"4407\"" "ATTRS{idProduct}==\"7705\""
             "ENV{SYSTEMD_WANTS}+=\"zr-dhcp.service\"")
  string(FIND "${rule}" "${want}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the udev rule lacks '${want}':\n${rule}")
  endif()
endforeach()
# The unit's documentation is the service's manual page and its guide, both installed.
string(FIND "${unit}" "Documentation=man:zr-dhcp.exe(8) file://${FULL_DATAROOTDIR}/doc/lumara-link-tools/zr-dhcp.md\n" at)
if(at LESS 0)
  message(FATAL_ERROR "zr-dhcp.service does not name the manual page and the installed guide:\n${unit}")
endif()
foreach(f "${MANDIR}/man8/zr-dhcp.exe.8" "${DATAROOTDIR}/doc/lumara-link-tools/zr-dhcp.md")
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "the unit names documentation that is not installed: ${f}")
  endif()
endforeach()
# The installed program answers and its settings file is valid.
execute_process(COMMAND "${PREFIX}/${SBINDIR}/zr-dhcp.exe" --help RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the installed zr-dhcp.exe --help gave ${rc}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
