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
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "vehicle gateway board tools: FlexRay, CAN, LIN and GPS")
set(CPACK_PACKAGE_DESCRIPTION
    "Seven small programs for the vehicle gateway board: framerelayd relays
FlexRay frames from the FR-MCU into the virtual FlexRay device, nodectl sends
it control commands, linkwatch watches and resets its link, clockcast sends it
the time, trxset programs the TJA1145 CAN transceivers over SPI, schedcfg
configures the LIN co-processor and nmeaview shows GPS fixes. framerelayd,
clockcast and linkwatch come with systemd units, installed but not enabled.")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_SOURCE_DIR}/build/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${gw_deb_arch})
set(CPACK_DEBIAN_FILE_NAME gateway-tools_${PROJECT_VERSION}_${gw_deb_arch}.deb)
set_property(GLOBAL PROPERTY GW_DEB_FILE ${CPACK_PACKAGE_DIRECTORY}/${CPACK_DEBIAN_FILE_NAME})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
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
