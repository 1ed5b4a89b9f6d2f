# The Debian package, made in the build folder with
#
#   cpack -G DEB          -> ktr6_<version>_<arch>.deb
#
# The programs keep their rule of finding the settings file and the comN port
# links in their own folder: they live in /usr/lib/ktr6, each on the PATH
# through a link in /usr/bin (the programs resolve that link to find their
# folder), and /usr/lib/ktr6/KTR.INI is a link to /etc/ktr6/KTR.INI, which the
# maintainer scripts create from the default /usr/share/ktr6/KTR.INI (root,
# group dialout, mode 0664) and delete only on purge.
#
# The counting service ktr6d lives there too, on the PATH of root as
# /usr/sbin/ktr6d (a link, like the others), with its systemd unit in
# /lib/systemd/system (installed, not enabled), its example configuration as
# the conffile /etc/ktr6/ktr6d.conf (every line a comment: nothing is counted
# until the administrator names a relay) and its counts in /var/lib/ktr6,
# which systemd makes for the system user ktr6 (group dialout) that postinst
# creates; purge deletes the counts.
#
# Everything here is the install component "debian", left out of a plain
# "cmake --install" and of the portable .tar.gz (packaging/CPackOptions.cmake
# selects it for the DEB generator). Paths are relative to /usr.

set(ktr6_deb ${CMAKE_CURRENT_LIST_DIR}/debian)
set(ktr6_deb_component COMPONENT debian EXCLUDE_FROM_ALL)

# Packages the programs need that their libraries do not name: listed here,
# they are added to what dpkg-shlibdeps finds in the binaries. ktr6ctl
# commission draws its record in DejaVu Sans, a font no library names;
# ktr6d and ktr6ctl counts open their database through Qt's SQLite driver, a
# plug-in no program links; postinst creates the system user ktr6 with
# adduser. libmosquitto1 is named too, for the MQTT link of ktr6d.
set(KTR6_DEB_DEPENDS fonts-dejavu-core libqt6sql6-sqlite libmosquitto1 adduser)

install(TARGETS ktr6 ktr6ctl ktr6-sim ktr6d RUNTIME DESTINATION lib/ktr6 ${ktr6_deb_component})
install(FILES resources/KTR.INI DESTINATION share/ktr6 ${ktr6_deb_component})
install(FILES resources/ktr6.desktop DESTINATION share/applications ${ktr6_deb_component})
install(FILES resources/icon.svg DESTINATION share/icons/hicolor/scalable/apps RENAME ktr6.svg
        ${ktr6_deb_component})
install(FILES ${ktr6_deb}/copyright DESTINATION share/doc/ktr6 ${ktr6_deb_component})

# Man pages (ktr6ctl's, ktr6-sim's and ktr6d's from their --help by help2man), the
# compressed changelog, the links, the unit and the configuration outside
# /usr are made when the package is staged:
# a plain build needs none of the packaging tools.
find_program(KTR6_HELP2MAN help2man)
find_program(KTR6_GZIP gzip)
find_program(KTR6_DPKG_PARSECHANGELOG dpkg-parsechangelog)
install(CODE "
  set(KTR6_VERSION \"${PROJECT_VERSION}\")
  set(KTR6_DEB_DIR \"${ktr6_deb}\")
  set(KTR6_STAGE_WORK \"${CMAKE_BINARY_DIR}/packaging\")
  set(KTR6_PROGRAMS \"$<TARGET_FILE:ktr6>;$<TARGET_FILE:ktr6ctl>;$<TARGET_FILE:ktr6-sim>;$<TARGET_FILE:ktr6d>\")
  set(KTR6_HELP2MAN \"${KTR6_HELP2MAN}\")
  set(KTR6_GZIP \"${KTR6_GZIP}\")
  set(KTR6_DPKG_PARSECHANGELOG \"${KTR6_DPKG_PARSECHANGELOG}\")
  set(KTR6_STRIP \"${CMAKE_STRIP}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/StageDebian.cmake\")
" ${ktr6_deb_component})

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "set up and watch a KTR6 impulse summing relay")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tools with which a technician commissions an Orvelt KTR6, a DIN-rail relay
with six impulse inputs and two outputs on a serial line:
 - ktr6, the desktop program: reads the relay's parameter set (firmware
   variant, each input's coefficient and sign, the output value), edits it,
   writes it back and verifies it, and counts the relay's impulses on-line;
 - ktr6ctl, the same read, write and watch from a shell, for scripts;
 - ktr6-sim, a simulated relay on a pseudo-terminal, for trying both out;
 - ktr6d, a service that counts the impulses of many relays for months
   into an SQLite database and publishes them over MQTT (installed, not
   enabled: systemctl enable --now ktr6d once /etc/ktr6/ktr6d.conf names
   the relays).
The port settings are kept in /etc/ktr6/KTR.INI, which members of the
group dialout may change.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Orvelt <${KTR6_CONTACT_EMAIL}>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
list(JOIN KTR6_DEB_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${ktr6_deb}/postinst ${ktr6_deb}/prerm ${ktr6_deb}/postrm
                                       ${ktr6_deb}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
