# Where the products go outside the build folder.
#   Linux: `cmake --install` in Debian's layout, `make package` (the build's
#   `package` target) three Debian packages built by CPack.
#   Windows: the `package-windows` target, the SCADA integrator's zip.

if(WIN32)
  # The product is the 32-bit build; the x86-64 tree (Wine tests) can write
  # its own zip for trying the layout.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(KEL_WINDOWS_ZIP ${CMAKE_BINARY_DIR}/derevu1-${PROJECT_VERSION}-win32.zip)
  else()
    set(KEL_WINDOWS_ZIP ${CMAKE_BINARY_DIR}/derevu1-${PROJECT_VERSION}-win64.zip)
  endif()
  add_custom_target(package-windows
    COMMAND ${CMAKE_COMMAND} -DZIP=${KEL_WINDOWS_ZIP} -DSTAGE=${CMAKE_BINARY_DIR}/package-windows
            -DDRIVER=$<TARGET_FILE:derevu1> -DKELHOST=$<TARGET_FILE:kelhost> -DHOSTLIB=$<TARGET_FILE:kalvro>
            -DREADME=${CMAKE_SOURCE_DIR}/packaging/windows/README.txt -DSTRIP=${CMAKE_STRIP}
            -P ${CMAKE_SOURCE_DIR}/cmake/windows-zip.cmake
    DEPENDS derevu1 kelhost kalvro ${CMAKE_SOURCE_DIR}/packaging/windows/README.txt
    COMMENT "Writing ${KEL_WINDOWS_ZIP}"
    VERBATIM)
  return()
endif()

# Debian's layout: /usr/bin, /usr/lib/<multiarch>, /usr/include, /etc (the
# prefix /usr is the linux preset's and the default, see CMakeLists.txt).
include(GNUInstallDirs)

# Debian 12 keeps system units in /lib/systemd/system.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(KEL_SYSTEMD_UNIT_DIR /lib/systemd/system)
else()
  set(KEL_SYSTEMD_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(KEL_CONFIG_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/kelgate)

# Package names: the library package carries the SONAME's number.
set(KEL_LIB_PACKAGE libderevu1-${KEL_SOVERSION})
set(KEL_DEV_PACKAGE libderevu1-dev)
set(KEL_TOOLS_PACKAGE derevu1-tools)

# The driver and the host library it logs through; their unversioned names
# (for linking) belong to the development package.
install(TARGETS derevu1 kalvro
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
install(FILES driver/host_interface.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/derevu1 COMPONENT dev)
install(FILES host_api/records.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/derevu1/host_api COMPONENT dev)
configure_file(packaging/derevu1.pc.in ${CMAKE_BINARY_DIR}/packaging/derevu1.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/derevu1.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

set(KEL_TOOLS kelhost)
foreach(tool kelgate plcsim)
  if(TARGET ${tool})
    list(APPEND KEL_TOOLS ${tool})
  endif()
endforeach()
install(TARGETS ${KEL_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

configure_file(packaging/kelgate@.service.in ${CMAKE_BINARY_DIR}/packaging/kelgate@.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/kelgate@.service DESTINATION ${KEL_SYSTEMD_UNIT_DIR} COMPONENT tools)
set(KEL_EXAMPLE_CONFIG ${CMAKE_SOURCE_DIR}/docs/kelgate.example.toml)
if(EXISTS ${KEL_EXAMPLE_CONFIG})
  install(FILES ${KEL_EXAMPLE_CONFIG}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${KEL_TOOLS_PACKAGE}/examples COMPONENT tools)
endif()

# Manual pages, written in scdoc and compressed as Debian ships them.
find_program(KEL_SCDOC scdoc)
find_program(KEL_GZIP gzip)
if(KEL_SCDOC AND KEL_GZIP)
  set(pages)
  foreach(tool ${KEL_TOOLS})
    set(source ${CMAKE_SOURCE_DIR}/packaging/man/${tool}.1.scd)
    set(page ${CMAKE_BINARY_DIR}/packaging/man/${tool}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging/man
      COMMAND sh -c "'${KEL_SCDOC}' < '${source}' | '${KEL_GZIP}' -9n > '${page}'"
      DEPENDS ${source}
      VERBATIM)
    list(APPEND pages ${page})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
else()
  message(STATUS "scdoc or gzip not found: no manual pages (scripts/install-deps installs scdoc)")
endif()

# Every package carries the copyright notice and the changelog.
configure_file(packaging/debian/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
set(KEL_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${KEL_CHANGELOG_GZ}
  COMMAND sh -c "gzip -9n < '${CMAKE_BINARY_DIR}/packaging/changelog' > '${KEL_CHANGELOG_GZ}'"
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${KEL_CHANGELOG_GZ})
foreach(component lib dev tools)
  string(TOUPPER ${component} upper)
  install(FILES packaging/debian/copyright ${KEL_CHANGELOG_GZ}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${KEL_${upper}_PACKAGE} COMPONENT ${component})
endforeach()

# CPack: one Debian package per component.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME derevu1)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "DEREVU1 developers <derevu1@example.com>")
set(CPACK_PACKAGE_VENDOR "DEREVU1 developers")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE derevu1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools need the library package's own libraries, which are not installed
# on the machine that builds the packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(KEL_EXACT_LIB "${KEL_LIB_PACKAGE} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${KEL_LIB_PACKAGE})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The loader's cache is refreshed by dpkg's ldconfig trigger.
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_DEBIAN_LIB_DESCRIPTION "SNP/SNPX serial driver for Series 90 PLCs
DEREVU1 reads and writes the memory of Series 90 class PLCs over RS-232 or
an RS-485 multi-drop line, in the serial protocols SNP and SNPX. A host
loads the driver module (libderevu1.so.1) and calls its one entry point,
KelMain. The package also holds libkalvro.so.1, the host library through
which the driver reports its messages.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${KEL_DEV_PACKAGE})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS ${KEL_EXACT_LIB})
set(CPACK_DEBIAN_DEV_DESCRIPTION "SNP/SNPX serial driver for Series 90 PLCs - development files
The header with KelMain and every record exchanged between a host and the
DEREVU1 driver (host_interface.h), the pkg-config file derevu1.pc, and the
names to link the driver and its host library with.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${KEL_TOOLS_PACKAGE})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ${KEL_EXACT_LIB})
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "Modbus TCP gateway, commissioning tool and simulator for Series 90 PLCs
kelgate serves the PLCs of one serial line to Modbus TCP clients through the
DEREVU1 driver; kelgate@.service runs one gateway per configuration file in
/etc/kelgate as an unprivileged systemd service. kelhost loads the driver
as a SCADA host does and reads, writes, scans and polls tags. plcsim
simulates SNP and SNPX stations on a serial line or a pseudo-terminal.")

include(CPack)
