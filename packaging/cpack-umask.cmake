# Run by cpack twice, so that the packages do not take modes from the builder's umask:
#   before it packs (CPACK_PRE_BUILD_SCRIPTS): every directory of the staging tree gets mode 755,
#     whatever the mkdir calls of the install left after the umask;
#   after it packs (CPACK_POST_BUILD_SCRIPTS): the members of each .deb (debian-binary,
#     control.tar.gz, data.tar.gz) get mode 100644 in their ar headers, as dpkg-deb writes them;
#     cpack copies the modes of the files it wrote there.
if(NOT DEFINED CPACK_PACKAGE_FILES)
  file(GLOB_RECURSE gw_dirs LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
  foreach(gw_dir IN ITEMS "${CPACK_TEMPORARY_DIRECTORY}" LISTS gw_dirs)
    if(IS_DIRECTORY "${gw_dir}" AND NOT IS_SYMLINK "${gw_dir}")
      file(CHMOD "${gw_dir}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
  return()
endif()

# An ar archive: "!<arch>\n", then per member a 60-byte header (name 16, time 12, owner 6,
# group 6, mode 8, size 10, "`\n") and the member, padded to an even length.
set(gw_mode "${CPACK_TOPLEVEL_DIRECTORY}/ar-mode")
file(WRITE "${gw_mode}" "100644  ")
foreach(gw_deb IN LISTS CPACK_PACKAGE_FILES)
  file(SIZE "${gw_deb}" gw_total)
  set(gw_at 8)
  while(gw_at LESS gw_total)
    math(EXPR gw_size_at "${gw_at} + 48")
    file(READ "${gw_deb}" gw_size OFFSET ${gw_size_at} LIMIT 10)
    string(STRIP "${gw_size}" gw_size)
    if(NOT gw_size MATCHES "^[0-9]+$")
      message(FATAL_ERROR "${gw_deb}: no ar member header at ${gw_at}")
    endif()
    math(EXPR gw_mode_at "${gw_at} + 40")
    execute_process(COMMAND dd "of=${gw_deb}" bs=1 seek=${gw_mode_at} conv=notrunc status=none
                    INPUT_FILE "${gw_mode}" COMMAND_ERROR_IS_FATAL ANY)
    math(EXPR gw_at "${gw_at} + 60 + ${gw_size} + ${gw_size} % 2")
  endwhile()
endforeach()
file(REMOVE "${gw_mode}")
