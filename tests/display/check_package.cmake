# Installs the build into a scratch folder and packs the .deb, then checks the layouts the
# bridge relies on (the manual at bin/../help/KPLM604.pdf beside the programs; the desktop entry,
# icons, manual pages and documentation only in the package) and what an administrator's tools
# say of the package. Run with -DBUILD=<build dir> -DSCRATCH=<scratch dir> -DVERSION=<version>
# [-DINSTRUMENTED=<sanitizer>].
file(REMOVE_RECURSE ${SCRATCH})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${SCRATCH}/tree
  RESULT_VARIABLE failed OUTPUT_QUIET)
file(GLOB_RECURSE installed RELATIVE ${SCRATCH}/tree ${SCRATCH}/tree/*)
list(SORT installed)
set(expected bin/robot-probe bin/tervian-bridge bin/tervian-history bin/tervian-sim
  help/KPLM604.pdf)
if(failed OR NOT installed STREQUAL expected)
  message(FATAL_ERROR "cmake --install laid out '${installed}', expected '${expected}'")
endif()
file(READ ${SCRATCH}/tree/help/KPLM604.pdf head LIMIT 5)
if(NOT head MATCHES "^%PDF-")
  message(FATAL_ERROR "help/KPLM604.pdf is no PDF")
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(failed)
    message(FATAL_ERROR "${ARGN} failed (${failed}):\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

run(cpack -G DEB -B ${SCRATCH}/deb --config ${BUILD}/CPackConfig.cmake)
file(GLOB deb ${SCRATCH}/deb/*.deb)
run(dpkg-deb -c ${deb})
set(doc usr/share/doc/tervian-bridge)
set(paths opt/tervian-bridge/help/KPLM604.pdf usr/share/applications/tervian-bridge.desktop
  usr/share/icons/hicolor/scalable/apps/tervian-bridge.svg
  usr/share/metainfo/invalid.tervian.bridge.metainfo.xml ${doc}/copyright ${doc}/changelog.gz
  ${doc}/KPLM604.pdf ${doc}/examples/autostart/tervian-bridge.desktop
  lib/systemd/system/tervian-bridge.service usr/lib/systemd/user/tervian-bridge-window.service
  usr/lib/[^/\n]+/wireshark/plugins/tervian.lua)
foreach(size 16 32 48 128 256)
  list(APPEND paths usr/share/icons/hicolor/${size}x${size}/apps/tervian-bridge.png)
endforeach()
set(programs tervian-bridge robot-probe tervian-sim tervian-history)
foreach(program ${programs})
  list(APPEND paths opt/tervian-bridge/bin/${program} usr/bin/${program}
    usr/share/man/man1/${program}.1.gz)
endforeach()
foreach(path ${paths})
  if(NOT out MATCHES "\\./${path}( -> [^\n]*)?\n")
    message(FATAL_ERROR "the package lacks ${path}:\n${out}")
  endif()
endforeach()
if(out MATCHES " \\./opt/\n")
  message(FATAL_ERROR "the package owns /opt, so dpkg would try to delete it with the package")
endif()

set(root ${SCRATCH}/root)
run(dpkg-deb -x ${deb} ${root})
foreach(program ${programs})
  # Generated from the program's --help, with the version it reports.
  run(env MANWIDTH=80 man --warnings -l ${root}/usr/share/man/man1/${program}.1.gz)
  if(err OR NOT out MATCHES "NAME\n +${program} +- .*--help.*\n${program} ${VERSION} ")
    message(FATAL_ERROR "the manual page of ${program} renders as:\n${out}${err}")
  endif()
endforeach()
# The window's fixed geometry was laid out for this font; another one cuts its texts.
run(dpkg-deb -f ${deb} Depends)
if(NOT out MATCHES "(^|, )fonts-liberation(,|\n)" OR NOT out MATCHES "(^|, )libsystemd0[ ,\n]")
  message(FATAL_ERROR "the package does not depend on fonts-liberation and libsystemd0: ${out}")
endif()
run(appstreamcli validate --no-net ${root}/usr/share/metainfo/invalid.tervian.bridge.metainfo.xml)

# What follows holds for a release build; an instrumented one is packed with its symbols.
if(INSTRUMENTED)
  message(STATUS "instrumented build: stripping, dbgsym and lint checks skipped")
  return()
endif()
foreach(program ${programs})
  run(file ${root}/opt/tervian-bridge/bin/${program})
  if(NOT out MATCHES ", stripped\n")
    message(FATAL_ERROR "${program} is not stripped: ${out}")
  endif()
endforeach()
file(GLOB dbgsym ${SCRATCH}/deb/tervian-bridge-dbgsym_*)
run(dpkg-deb -c ${dbgsym})
string(REGEX MATCHALL "/usr/lib/debug/\\.build-id/[^\n]*\\.debug\n" symbols "${out}")
list(LENGTH symbols count)
list(LENGTH programs expected_count)
if(NOT count EQUAL expected_count)
  message(FATAL_ERROR "the dbgsym package holds ${count} symbol files, not ${expected_count}:\n${out}")
endif()

# The tags that installing under /opt implies, and nothing else: the files are there by design
# (docs/install.md, "Install and package"), and /opt itself is the system's, not the package's.
# (A bracket would split a CMake list, hence the dots.)
set(allowed_tags "dir-or-file-in-opt .opt/tervian-bridge/" "missing-intermediate-directory .opt/.$")
find_program(LINTIAN lintian)
if(NOT LINTIAN)
  message(STATUS "lintian is not installed: the package's lint check is skipped")
  return()
endif()
execute_process(COMMAND ${LINTIAN} ${deb} OUTPUT_VARIABLE out ERROR_QUIET)
string(REGEX MATCHALL "[EW]: tervian-bridge: [^\n]*" tags "${out}")
foreach(allowed ${allowed_tags})
  list(FILTER tags EXCLUDE REGEX "^[EW]: tervian-bridge: ${allowed}")
endforeach()
if(tags)
  string(REPLACE ";" "\n" tags "${tags}")
  message(FATAL_ERROR "lintian:\n${tags}")
endif()
