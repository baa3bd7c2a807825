# Debian packages, made by CPack from the install components:
#   libzr-net0         the shared library (component library)
#   libzr-net-dev      header, link, zr-net.pc, CMake package (dev)
#   lumara-link-tools  zrlink, zr-dhcp.exe with its settings, unit and rule (tools)
#   lumara-link        launcher, application, Java bridge (desktop)
# Build them from a build configured for the final prefix:
#   cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
#         -DCMAKE_INSTALL_PREFIX=/usr -DZR_BUILD_TESTS=OFF
#   cmake --build build/package && cpack --config build/package/CPackConfig.cmake -G DEB
set(ZR_PACKAGE_COMPONENTS library dev tools)
if(ZR_BUILD_DESKTOP)
  list(APPEND ZR_PACKAGE_COMPONENTS desktop)
endif()
set(ZR_PACKAGE_library libzr-net0)
set(ZR_PACKAGE_dev libzr-net-dev)
set(ZR_PACKAGE_tools lumara-link-tools)
set(ZR_PACKAGE_desktop lumara-link)

set(CPACK_PACKAGE_NAME lumara-link)
set(CPACK_PACKAGE_VENDOR "Lumara Link developers")
set(CPACK_PACKAGE_CONTACT "Lumara Link developers <developers@lumara-link.example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${ZR_PACKAGE_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The packages' own library is found in the build while dependencies are worked out; the
# dependency on it comes from the components' relations below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The Java runtime with AWT for X11 (libawt_xawt.so): the headless one cannot open the window.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "default-jre")
# The shared libraries the tools link (libpng, libmnl, FUSE 3, cairo) come into the
# Depends from dpkg-shlibdeps; cairo, which draws zrlink's contact sheet, is stated too.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libcairo2")
# fusermount3, for zrlink mount (which says so when it is missing).
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "fuse3")

# Descriptions: a summary line, then the long text (lines under 80 characters, an empty line
# between paragraphs).
set(ZR_DESCRIPTION_library "link library for calculator-class handhelds
zr-net talks to a handheld attached by USB, which appears as a USB network
adapter: it finds attached handhelds, reads their status and screen, browses,
sends and fetches their files with progress and cancellation, and starts an
operating system installation on them.

This package holds the shared library.")
set(ZR_DESCRIPTION_dev "link library for calculator-class handhelds (development files)
zr-net talks to a handheld attached by USB, which appears as a USB network
adapter.

This package holds the header zr-net.h, the link libzr-net.so, the pkg-config
file zr-net.pc and the CMake package ZrNet (imported target ZrNet::zr-net).")
set(ZR_DESCRIPTION_tools "command-line tool and DHCP service for calculator-class handhelds
zrlink lists attached handhelds, shows their details, lists, sends and fetches
their files (several at once), takes screenshots and installs their operating
system.

zr-dhcp.exe gives every handheld that is plugged in its address on its USB
network adapter; a udev rule starts its systemd unit when a handheld appears.")
set(ZR_DESCRIPTION_desktop "desktop application for calculator-class handhelds
Lumara Link shows the attached handhelds and their details, browses their
files, sends and fetches files with progress, shows the screen and installs
the operating system.  Start it as kq-lumaralink or from the desktop's menu.")

foreach(c IN LISTS ZR_PACKAGE_COMPONENTS)
  string(TOUPPER ${c} C)
  set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${ZR_PACKAGE_${c}})
  set(CPACK_COMPONENT_${C}_DESCRIPTION "${ZR_DESCRIPTION_${c}}")
  # Each package's documentation folder: copyright and the change log.
  set(_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZR_PACKAGE_${c}})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${_doc} RENAME copyright COMPONENT ${c})
  install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.gz DESTINATION ${_doc} COMPONENT ${c})
endforeach()
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/library/triggers)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/cmake/debian/tools/postinst
  ${PROJECT_SOURCE_DIR}/cmake/debian/tools/prerm
  ${PROJECT_SOURCE_DIR}/cmake/debian/tools/postrm
  ${PROJECT_SOURCE_DIR}/cmake/debian/tools/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Manual pages are installed as written and compressed only in the packages, as Debian wants.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/compress-manuals.cmake)

# The change log in Debian's form, compressed as Debian wants it (no time stamp in the gzip
# header); the packages are native ones, so it is changelog.gz.
string(TIMESTAMP ZR_RELEASE_DATE "%a, %d %b %Y 00:00:00 +0000" UTC)
file(STRINGS ${PROJECT_SOURCE_DIR}/NEWS.md _zr_news REGEX "^## ${PROJECT_VERSION} \\(")
if(_zr_news MATCHES "\\(([0-9]+)-([0-9]+)-([0-9]+)\\)")
  # The release date of this version, as NEWS.md gives it.
  execute_process(COMMAND date -u -d "${CMAKE_MATCH_1}-${CMAKE_MATCH_2}-${CMAKE_MATCH_3}" "+%a, %d %b %Y 00:00:00 +0000"
                  OUTPUT_VARIABLE ZR_RELEASE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE)
else()
  message(FATAL_ERROR "NEWS.md has no entry \"## ${PROJECT_VERSION} (YYYY-MM-DD)\" for this version")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/debian/changelog > ${PROJECT_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(zr-debian-changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)

include(CPack)
cpack_add_component(library)
cpack_add_component(dev DEPENDS library)
cpack_add_component(tools DEPENDS library)
if(ZR_BUILD_DESKTOP)
  cpack_add_component(desktop DEPENDS library)
endif()
