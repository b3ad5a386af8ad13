# Read by cpack before it makes the package: Depends names the C library version that the
# programs need, the highest GLIBC_ version among their ELF version references (the 32-bit
# build refers to the 64-bit time functions, which came with 2.34).
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
# Time stamps in the packages: SOURCE_DATE_EPOCH when the builder gives one, else the last
# commit's time, read when the build was configured.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_GW_SOURCE_EPOCH)
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_GW_SOURCE_EPOCH})
endif()
set(gw_need "")
foreach(program IN LISTS CPACK_GW_PROGRAMS)
  execute_process(COMMAND ${CPACK_GW_READELF} --version-info ${CPACK_GW_PROGRAM_DIR}/${program}
                  OUTPUT_VARIABLE gw_info RESULT_VARIABLE gw_status)
  if(NOT gw_status EQUAL 0)
    message(FATAL_ERROR "cannot read the version references of ${program}: build it first")
  endif()
  string(REGEX MATCHALL "GLIBC_[0-9]+(\\.[0-9]+)+" gw_versions "${gw_info}")
  foreach(gw_version IN LISTS gw_versions)
    string(REPLACE "GLIBC_" "" gw_version ${gw_version})
    if(NOT gw_need OR gw_version VERSION_GREATER gw_need)
      set(gw_need ${gw_version})
    endif()
  endforeach()
endforeach()
if(NOT gw_need)
  message(FATAL_ERROR "no C library version reference found in ${CPACK_GW_PROGRAMS}")
endif()
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libc6 (>= ${gw_need})")
