# Installs the build into a scratch folder and packs the .deb, then checks the layouts the
# bridge relies on: the manual at bin/../help/KPLM604.pdf beside the programs, the desktop entry
# and icon only in the package. Run with -DBUILD=<build dir> -DSCRATCH=<scratch dir>.
file(REMOVE_RECURSE ${SCRATCH})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${SCRATCH}/tree
  RESULT_VARIABLE failed OUTPUT_QUIET)
file(GLOB_RECURSE installed RELATIVE ${SCRATCH}/tree ${SCRATCH}/tree/*)
list(SORT installed)
set(expected bin/robot-probe bin/tervian-bridge bin/tervian-sim help/KPLM604.pdf)
if(failed OR NOT installed STREQUAL expected)
  message(FATAL_ERROR "cmake --install laid out '${installed}', expected '${expected}'")
endif()
file(READ ${SCRATCH}/tree/help/KPLM604.pdf head LIMIT 5)
if(NOT head MATCHES "^%PDF-")
  message(FATAL_ERROR "help/KPLM604.pdf is no PDF")
endif()

execute_process(COMMAND cpack -G DEB -B ${SCRATCH}/deb --config ${BUILD}/CPackConfig.cmake
  RESULT_VARIABLE failed OUTPUT_QUIET)
file(GLOB deb ${SCRATCH}/deb/*.deb)
execute_process(COMMAND dpkg-deb -c ${deb} OUTPUT_VARIABLE contents)
foreach(path opt/tervian-bridge/bin/tervian-bridge opt/tervian-bridge/bin/tervian-sim
             opt/tervian-bridge/bin/robot-probe opt/tervian-bridge/help/KPLM604.pdf
             usr/bin/tervian-bridge usr/share/applications/tervian-bridge.desktop
             usr/share/icons/hicolor/48x48/apps/tervian-bridge.png)
  if(failed OR NOT contents MATCHES "\\./${path}( -> [^\n]*)?\n")
    message(FATAL_ERROR "the package lacks ${path}:\n${contents}")
  endif()
endforeach()
