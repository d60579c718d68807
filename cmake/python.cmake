# Installs the Python package `quelmar` and the `quelmar` command beside the
# library. The installed package finds the installed library through
# quelmar/_installed_libdir.py, written at install time so that it holds the
# prefix given to `cmake --install --prefix`, not the one configured.
include(GNUInstallDirs)

option(QUELMARALG_INSTALL_PYTHON "Install the Python package quelmar and the quelmar command" ON)
set(QUELMARALG_PYTHON_DIR "lib/python3/dist-packages" CACHE STRING
  "Where the Python package is installed (relative paths are under the install prefix)")
set(QUELMARALG_PYTHON "/usr/bin/python3" CACHE FILEPATH
  "Interpreter of the quelmar command (it needs numpy and matplotlib)")

if(QUELMARALG_INSTALL_PYTHON)
  install(DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/../quelmar/
    DESTINATION ${QUELMARALG_PYTHON_DIR}/quelmar
    FILES_MATCHING PATTERN "*.py" PATTERN "*.html" PATTERN "*.css" PATTERN "*.js"
    PATTERN "__pycache__" EXCLUDE
    PATTERN "_installed_libdir.py" EXCLUDE)

  # Both paths are made absolute at install time, against the prefix in force then.
  install(CODE "
    set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
    foreach(var libdir pydir)
      if(var STREQUAL libdir)
        set(dir \"${CMAKE_INSTALL_LIBDIR}\")
      else()
        set(dir \"${QUELMARALG_PYTHON_DIR}\")
      endif()
      if(NOT IS_ABSOLUTE \"\${dir}\")
        set(dir \"\${prefix}/\${dir}\")
      endif()
      set(\${var} \"\${dir}\")
    endforeach()
    message(STATUS \"Writing: \$ENV{DESTDIR}\${pydir}/quelmar/_installed_libdir.py\")
    file(WRITE \"\$ENV{DESTDIR}\${pydir}/quelmar/_installed_libdir.py\"
      \"# Written by cmake --install: where the installed libQuelmarAlg is.\\nLIBDIR = '\${libdir}'\\n\")
    message(STATUS \"Writing: \$ENV{DESTDIR}\${prefix}/${CMAKE_INSTALL_BINDIR}/quelmar\")
    file(WRITE \"\$ENV{DESTDIR}\${prefix}/${CMAKE_INSTALL_BINDIR}/quelmar\"
      \"#!/bin/sh\\n# The quelmar command of the installed Python package.\\nexec '${QUELMARALG_PYTHON}' -c \\\"import sys; sys.path.insert(0, '\${pydir}'); from quelmar.command.cli import main; sys.exit(main())\\\" \\\"\\$@\\\"\\n\")
    file(CHMOD \"\$ENV{DESTDIR}\${prefix}/${CMAKE_INSTALL_BINDIR}/quelmar\"
      PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  ")
endif()
