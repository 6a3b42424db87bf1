# Run by CPack on the staged files, before it builds the package: every
# directory 0755, whatever the umask of whoever packs (install() creates
# directories through the umask; files get their modes set explicitly).
file(GLOB_RECURSE dirs LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(dir IN LISTS dirs)
  if(IS_DIRECTORY "${dir}" AND NOT IS_SYMLINK "${dir}")
    file(CHMOD "${dir}" PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
