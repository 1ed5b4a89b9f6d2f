# Read by cpack for each generator it runs (CPACK_PROJECT_CONFIG_FILE).
# The portable .tar.gz keeps the one-folder layout of "cmake --install"; the
# Debian package installs only the "debian" component (packaging/Debian.cmake)
# under /usr, with stripped programs.
if(CPACK_GENERATOR STREQUAL "DEB")
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 ktr6_build_dir)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${ktr6_build_dir};ktr6;debian;/")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
      GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
