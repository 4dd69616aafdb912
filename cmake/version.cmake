# Writes OUTPUT with the commit the tree was built from; run at every build,
# it rewrites the file only when the text changes, so nothing else rebuilds.
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -P version.cmake
set(commit "unknown")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE head RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0 AND head)
    set(commit "${head}")
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} diff --quiet HEAD --
                    RESULT_VARIABLE dirty ERROR_QUIET)
    if(NOT dirty EQUAL 0)
      set(commit "${commit}-modified")
    endif()
  endif()
endif()
set(text "// Generated at build time by cmake/version.cmake.\n#pragma once\n#define KESTREL_COMMIT \"${commit}\"\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE ${OUTPUT} "${text}")
endif()
