# Run by CPack on its staging tree before the Debian package is made: the
# Python package goes from cmake --install's lib/python3.X/site-packages to
# lib/python3/dist-packages, where Debian's python3 finds it. Both are three
# folders below the prefix, where the extension's run path finds the
# libraries.
set(prefix "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(from "${prefix}/${CPACK_VELMORA_PYTHON_INSTALL_DIR}")
set(to "${prefix}/lib/python3/dist-packages")
if(NOT EXISTS "${from}/velmora/__init__.py")
  message(FATAL_ERROR "the Python package is not in the staging tree at ${from}/velmora")
endif()
if(NOT from STREQUAL to)
  file(MAKE_DIRECTORY "${to}")
  file(RENAME "${from}/velmora" "${to}/velmora")
  # The emptied lib/python3.X/site-packages goes too.
  string(REGEX REPLACE "/[^/]+$" "" emptied "${from}")
  file(REMOVE_RECURSE "${from}")
  file(GLOB left "${emptied}/*")
  if(NOT left)
    file(REMOVE_RECURSE "${emptied}")
  endif()
endif()
