# Install step of cmake --install: the morvex7 Python package, editable (its commands follow the
# checkout), with the same pip line tools/setup.sh has always used; no network is used.
# Debian's pip puts a root install's commands in /usr/local/bin. For any other prefix (or a
# DESTDIR staging install) the step is skipped: pip keeps one copy of a package per interpreter
# and would remove the /usr/local one to install elsewhere.
string(REGEX REPLACE "/+$" "" prefix "${CMAKE_INSTALL_PREFIX}")
if(NOT prefix STREQUAL "/usr/local" OR NOT "$ENV{DESTDIR}" STREQUAL "")
  message(STATUS "Python package: not installed into $ENV{DESTDIR}${CMAKE_INSTALL_PREFIX} "
                 "(its commands go to /usr/local/bin only)")
  return()
endif()

if(NOT DEFINED MORVEX7_PYTHON)
  set(MORVEX7_PYTHON /usr/bin/python3)  # the interpreter tools/setup.sh equips
endif()
set(python ${MORVEX7_PYTHON})
execute_process(COMMAND ${python} -m pip --version RESULT_VARIABLE no_pip OUTPUT_QUIET ERROR_QUIET)
if(no_pip)
  message(WARNING "Python package: not installed, ${python} has no pip "
                  "(bash tools/setup.sh installs it)")
  return()
endif()
message(STATUS "Installing: the morvex7 Python package (editable, from ${MORVEX7_PYTHON_DIR}) "
               "and its commands in /usr/local/bin")
execute_process(
  COMMAND ${python} -m pip install --quiet --no-deps --no-build-isolation --no-index
          --break-system-packages --root-user-action=ignore -e ${MORVEX7_PYTHON_DIR}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "pip could not install the morvex7 Python package from ${MORVEX7_PYTHON_DIR}")
endif()
