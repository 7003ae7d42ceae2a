# Writes OUT, the header with the program version and, in a git checkout, the commit
# it was built from. Runs at every build (cmake -P), so the commit stays current; the
# header is rewritten only when its text changes, so nothing recompiles needlessly.
#
#   cmake -DSOURCE_DIR=... -DVERSION=... -DOUT=... -P version.cmake
#
# Outside a checkout (a source tarball) or without git the commit is empty. A tree
# unpacked inside somebody else's checkout does not take that checkout's commit.
set(commit "")
find_program(GIT_PROGRAM git)
if(GIT_PROGRAM)
  execute_process(COMMAND ${GIT_PROGRAM} -C ${SOURCE_DIR} rev-parse --show-toplevel
                  OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE_DIR}" source)
  endif()
  if(NOT failed AND top STREQUAL source)
    execute_process(COMMAND ${GIT_PROGRAM} -C ${SOURCE_DIR} rev-parse --short=12 HEAD
                    OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE failed ERROR_QUIET)
    if(failed)
      set(commit "")
    else()
      # Changes to tracked files not yet committed.
      execute_process(COMMAND ${GIT_PROGRAM} -C ${SOURCE_DIR} status --porcelain --untracked-files=no
                      OUTPUT_VARIABLE changes ERROR_QUIET)
      if(NOT changes STREQUAL "")
        string(APPEND commit "-dirty")
      endif()
    endif()
  endif()
endif()

if(commit)
  set(version_text "${VERSION} (git ${commit})")
else()
  set(version_text "${VERSION}")
endif()
set(text "// Written by cmake/version.cmake at build time: do not edit.
#pragma once
#define KELVORA_VERSION \"${VERSION}\"
#define KELVORA_COMMIT \"${commit}\"
// What --version prints after the program's name.
#define KELVORA_VERSION_TEXT \"${version_text}\"
")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
else()
  set(old "")
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUT} "${text}")
endif()
