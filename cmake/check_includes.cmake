# Fails when a source file of FOLDER includes a header of one of the folders in FORBIDDEN
# (comma-separated); touches STAMP otherwise. Run as a build step per folder of src/, so that
# the dependencies between the folders stay as the targets declare them.
#   cmake -DFOLDER=<dir> -DFORBIDDEN=extract,launcher -DSTAMP=<file> -P check_includes.cmake
cmake_minimum_required(VERSION 3.20)
string(REPLACE "," ";" forbidden "${FORBIDDEN}")
file(GLOB sources "${FOLDER}/*.h" "${FOLDER}/*.cpp")
set(offences "")
foreach(source ${sources})
  file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][A-Za-z0-9_]+/")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([A-Za-z0-9_]+)/.*$" "\\1" included "${line}")
    if(included IN_LIST forbidden)
      string(STRIP "${line}" line)
      string(APPEND offences "\n  ${source}: ${line}")
    endif()
  endforeach()
endforeach()
if(offences)
  message(FATAL_ERROR "${FOLDER} may not include ${FORBIDDEN}:${offences}")
endif()
if(STAMP)
  file(TOUCH "${STAMP}")
endif()
