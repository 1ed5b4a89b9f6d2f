# Run by the install step of the "debian" component (packaging/Debian.cmake),
# last, into the package's staging tree: the links, the man pages and the
# compressed changelog, and ktr6d's unit and configuration outside /usr.
# Expects KTR6_VERSION, KTR6_DEB_DIR, KTR6_STAGE_WORK, KTR6_PROGRAMS (ktr6,
# ktr6ctl, ktr6-sim, ktr6d as built), KTR6_HELP2MAN, KTR6_GZIP,
# KTR6_DPKG_PARSECHANGELOG and KTR6_STRIP.

# file(INSTALL) adds DESTDIR itself; the other file() commands need it here.
set(prefix "${CMAKE_INSTALL_PREFIX}")
set(usr "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
# The package's root, for /lib and /etc (the prefix is its /usr).
get_filename_component(root "${prefix}" DIRECTORY)
if(root STREQUAL "/")
  set(root "")
endif()
# A folder of its own: two packs from one build may run at once.
string(RANDOM LENGTH 8 run)
set(work "${KTR6_STAGE_WORK}/stage-${run}")
set(file_mode PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# Directories as Debian wants them, whatever the umask of the one who packs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

foreach(tool KTR6_HELP2MAN KTR6_GZIP KTR6_DPKG_PARSECHANGELOG)
  if(NOT ${tool})
    string(REPLACE "KTR6_" "" name "${tool}")
    string(TOLOWER "${name}" name)
    string(REPLACE "_" "-" name "${name}")
    message(FATAL_ERROR "The Debian package needs ${name}, which this build did not find: install "
                        "what scripts/setup installs, then configure the build again.")
  endif()
endforeach()

# The changelog's newest entry is the package's version; a release that
# forgot to add one is stopped here rather than shipped with a wrong history.
execute_process(COMMAND "${KTR6_DPKG_PARSECHANGELOG}" -l "${KTR6_DEB_DIR}/changelog" -S Version
                OUTPUT_VARIABLE changelog_version OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE failed)
if(failed OR NOT changelog_version STREQUAL KTR6_VERSION)
  message(FATAL_ERROR "packaging/debian/changelog begins with version \"${changelog_version}\", "
                      "the project is ${KTR6_VERSION}: add an entry for this release "
                      "(dch -v ${KTR6_VERSION}, or by hand).")
endif()
# The pages carry the release's date, not the day the package was made.
execute_process(COMMAND "${KTR6_DPKG_PARSECHANGELOG}" -l "${KTR6_DEB_DIR}/changelog" -S Timestamp
                OUTPUT_VARIABLE timestamp OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND "${CMAKE_COMMAND}" -E env LC_ALL=C date -u -d "@${timestamp}" "+%B %Y"
                OUTPUT_VARIABLE KTR6_RELEASE_MONTH OUTPUT_STRIP_TRAILING_WHITESPACE)

file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}/man")

# Compresses FILE into FILE.gz as Debian wants it: best compression, no name
# or time stamp inside.
function(compress file)
  execute_process(COMMAND "${KTR6_GZIP}" -9 -n -c "${file}" OUTPUT_FILE "${file}.gz"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${file} failed")
  endif()
endfunction()

# ktr6ctl, ktr6-sim and ktr6d: their own --help and --version. Run by name
# from the build's folder so the pages show "ktr6-sim", not the path it was
# built at. The service is an administrator's command: section 8.
list(GET KTR6_PROGRAMS 1 ctl)
get_filename_component(bin "${ctl}" DIRECTORY)
set(ktr6ctl_name "read, write and watch a KTR6 impulse summing relay from the shell")
set(ktr6-sim_name "simulated KTR6 impulse summing relay on a pseudo-terminal")
set(ktr6d_name "count the impulses of KTR6 relays into a database, for months")
set(ktr6ctl_section 1)
set(ktr6-sim_section 1)
set(ktr6d_section 8)
foreach(program ktr6ctl ktr6-sim ktr6d)
  set(page "${work}/man/${program}.${${program}_section}")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -E env "PATH=${bin}:$ENV{PATH}" LC_ALL=C.UTF-8
            "SOURCE_DATE_EPOCH=${timestamp}" --unset=KTR6_PROGRAM_DIR
            "${KTR6_HELP2MAN}" --no-info "--section=${${program}_section}" "--name=${${program}_name}"
            "--include=${KTR6_DEB_DIR}/${program}.h2m" "--output=${page}" ${program}
    RESULT_VARIABLE failed ERROR_VARIABLE error)
  if(failed OR error)
    message(FATAL_ERROR "help2man ${program} failed: ${error}")
  endif()
endforeach()
# The desktop program has no command line: its page is written by hand.
configure_file("${KTR6_DEB_DIR}/ktr6.1.in" "${work}/man/ktr6.1" @ONLY)
foreach(page ktr6.1 ktr6ctl.1 ktr6-sim.1 ktr6d.8)
  compress("${work}/man/${page}")
  string(REGEX REPLACE ".*\\." "" section "${page}")
  file(INSTALL "${work}/man/${page}.gz" DESTINATION "${prefix}/share/man/man${section}" ${file_mode})
endforeach()

# ktr6d's unit, installed but not enabled, and its example configuration, a
# conffile (packaging/debian/conffiles): dpkg keeps the administrator's
# changes on upgrade and deletes it on purge.
file(INSTALL "${KTR6_DEB_DIR}/ktr6d.service" DESTINATION "${root}/lib/systemd/system" ${file_mode})
file(INSTALL "${KTR6_DEB_DIR}/ktr6d.conf" DESTINATION "${root}/etc/ktr6" ${file_mode})

configure_file("${KTR6_DEB_DIR}/changelog" "${work}/changelog" COPYONLY)
compress("${work}/changelog")
file(INSTALL "${work}/changelog.gz" DESTINATION "${prefix}/share/doc/ktr6" ${file_mode})
file(REMOVE_RECURSE "${work}")

# Stripped (cpack strips the installed programs) also of the compiler's
# notes, as Debian strips its own.
if(CMAKE_INSTALL_DO_STRIP AND KTR6_STRIP)
  foreach(program IN LISTS KTR6_PROGRAMS)
    get_filename_component(name "${program}" NAME)
    execute_process(COMMAND "${KTR6_STRIP}" --remove-section=.comment --remove-section=.note
                            "${usr}/lib/ktr6/${name}" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "strip ${usr}/lib/ktr6/${name} failed")
    endif()
  endforeach()
endif()

# Each program on the PATH, relative within /usr as Debian asks (the service
# in sbin, the administrator's); the settings file beside them, absolute
# into /etc.
file(MAKE_DIRECTORY "${usr}/bin" "${usr}/sbin")
foreach(program IN LISTS KTR6_PROGRAMS)
  get_filename_component(name "${program}" NAME)
  set(on_path bin)
  if(name STREQUAL "ktr6d")
    set(on_path sbin)
  endif()
  message(STATUS "Installing: ${usr}/${on_path}/${name} -> ../lib/ktr6/${name}")
  file(CREATE_LINK "../lib/ktr6/${name}" "${usr}/${on_path}/${name}" SYMBOLIC)
endforeach()
message(STATUS "Installing: ${usr}/lib/ktr6/KTR.INI -> /etc/ktr6/KTR.INI")
file(CREATE_LINK /etc/ktr6/KTR.INI "${usr}/lib/ktr6/KTR.INI" SYMBOLIC)

# Folders made above (and by earlier steps) under a strict or loose umask.
set(top "$ENV{DESTDIR}${root}")
file(GLOB_RECURSE dirs LIST_DIRECTORIES true "${usr}/*")
foreach(dir IN LISTS dirs ITEMS "${usr}" "${top}/lib" "${top}/lib/systemd" "${top}/lib/systemd/system"
                                "${top}/etc" "${top}/etc/ktr6")
  if(IS_DIRECTORY "${dir}" AND NOT IS_SYMLINK "${dir}")
    file(CHMOD "${dir}" PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
  endif()
endforeach()
