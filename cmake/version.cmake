# Writes the program version source (cmake -P): VERSION from the project, with the commit when the
# source folder is a git checkout ("3.5.0 (git 1a2b3c4)"). The file is rewritten only when its text
# changes, so an unchanged version rebuilds nothing.
#   -DSOURCE_DIR=... -DOUTPUT=.../version.cpp -DVERSION=3.5.0 [-DGIT=/usr/bin/git]
set(full "${VERSION}")
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse --short=7 HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE r)
  if(r EQUAL 0 AND commit)
    set(full "${VERSION} (git ${commit})")
  endif()
endif()
set(text "// Written by cmake/version.cmake at build time.
#include \"core/version.h\"

const char* program_version() { return \"${full}\"; }
const char* program_release() { return \"${VERSION}\"; }
")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
  if(old STREQUAL text)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${text}")
