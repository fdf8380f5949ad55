# Run by CPack after it has built the packages: takes the entry of /opt itself out of the .deb.
# /opt is the system's (base-files creates it) and no package owns it; a package that lists it
# makes dpkg try to delete it with the package, and warn on every purge that it is not empty.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(work ${deb}.repack)
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work}/tree)
  execute_process(COMMAND ar x ${deb} WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND tar -xpf data.tar.gz -C tree WORKING_DIRECTORY ${work}
    COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND tar -tf data.tar.gz WORKING_DIRECTORY ${work}
    OUTPUT_VARIABLE entries COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "(^|\n)\\./opt/\n" "\\1" entries "${entries}")
  file(WRITE ${work}/entries "${entries}")
  execute_process(
    COMMAND tar -cf - --no-recursion --owner=0 --group=0 --numeric-owner -C tree -T entries
    COMMAND gzip -9n
    WORKING_DIRECTORY ${work} OUTPUT_FILE ${work}/data.tar.gz COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${deb})
  execute_process(COMMAND ar rc ${deb} debian-binary control.tar.gz data.tar.gz
    WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${work})
endforeach()
