# The Debian package, made by CPack from the install rules: build/packages/
# gateway-tools_<version>_<arch>.deb, one per build preset that goes to a machine.
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE gw_host_arch
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(GW_DEB_ARCH)  # set by a cross toolchain
  set(gw_deb_arch ${GW_DEB_ARCH})
else()
  set(gw_deb_arch ${gw_host_arch})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME gateway-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The gateway tools developers")
set(CPACK_PACKAGE_CONTACT "The gateway tools developers <gateway-tools@example.org>")
# Each package's description, synopsis first (no CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack
# would put that one in front of both).
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "vehicle gateway board tools: FlexRay, CAN, LIN and GPS
Seven small programs for the vehicle gateway board: framerelayd relays
FlexRay frames from the FR-MCU into the virtual FlexRay device, nodectl sends
it control commands, linkwatch watches and resets its link, clockcast sends it
the time, trxset programs the TJA1145 CAN transceivers over SPI, schedcfg
configures the LIN co-processor and nmeaview shows GPS fixes. framerelayd,
clockcast and linkwatch come with systemd units, installed but not enabled.")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_SOURCE_DIR}/build/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${gw_deb_arch})
# Two packages, one per install component: gateway-tools_<version>_<arch>.deb (component
# tools) and gateway-tools-dbgsym_<version>_<arch>.deb (component dbgsym), the programs' debug
# information under /usr/lib/debug/.build-id/ as Debian's own -dbgsym packages hold it. The
# programs in gateway-tools are stripped by their install rules and keep their build IDs, which
# name the files in gateway-tools-dbgsym.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools dbgsym)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME gateway-tools)
set(CPACK_DEBIAN_TOOLS_FILE_NAME gateway-tools_${PROJECT_VERSION}_${gw_deb_arch}.deb)
set(CPACK_DEBIAN_DBGSYM_PACKAGE_NAME gateway-tools-dbgsym)
set(CPACK_DEBIAN_DBGSYM_FILE_NAME gateway-tools-dbgsym_${PROJECT_VERSION}_${gw_deb_arch}.deb)
set(CPACK_DEBIAN_DBGSYM_PACKAGE_SECTION debug)
set(CPACK_DEBIAN_DBGSYM_PACKAGE_DEPENDS "gateway-tools (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DBGSYM_DESCRIPTION
    "debug symbols for gateway-tools
The debug information of the seven programs of gateway-tools, which gdb finds
by the build IDs of the stripped programs: to read a core dump from the board
with the function names, source lines and variables of its programs.")
set_property(GLOBAL PROPERTY GW_DEB_FILE
             ${CPACK_PACKAGE_DIRECTORY}/${CPACK_DEBIAN_TOOLS_FILE_NAME})
set_property(GLOBAL PROPERTY GW_DBGSYM_FILE
             ${CPACK_PACKAGE_DIRECTORY}/${CPACK_DEBIAN_DBGSYM_FILE_NAME})
# The same bytes from any build of a commit: every time stamp in the packages is the last
# commit's (cpack-project.cmake), and no mode comes from the builder's umask (cpack-umask.cmake).
set(CPACK_GW_SOURCE_EPOCH ${GW_SOURCE_EPOCH})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cpack-umask.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cpack-umask.cmake)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/conffiles ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/prerm ${CMAKE_CURRENT_SOURCE_DIR}/debian/postrm)

# Depends: the C library version the programs really need, read off their ELF version
# references when the package is made (cpack-project.cmake).
get_property(gw_programs GLOBAL PROPERTY GW_PROGRAMS)
set(CPACK_GW_PROGRAMS ${gw_programs})
set(CPACK_GW_PROGRAM_DIR ${CMAKE_BINARY_DIR}/bin)
if(CMAKE_READELF)
  set(CPACK_GW_READELF ${CMAKE_READELF})
else()
  set(CPACK_GW_READELF readelf)
endif()
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cpack-project.cmake)

include(CPack)
