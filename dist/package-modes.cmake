# Run by CPack on the staged tree before it is packed: directories made while staging carry the
# builder's umask (mkdir honours it), so each one is set to 0755 here.
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(path ${staged})
  if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
    file(CHMOD "${path}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                               GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
