# Puts the default settings file into DIR unless a settings file (any letter
# case) is already there: the operator's own settings always win.
file(GLOB existing "${DIR}/*")
foreach(f IN LISTS existing)
  get_filename_component(name "${f}" NAME)
  string(TOUPPER "${name}" upper)
  if(upper STREQUAL "KTR.INI")
    return()
  endif()
endforeach()
file(COPY "${SRC}" DESTINATION "${DIR}")
