# Writes OUTPUT, a header with the program's version: the project's version,
# then what `git describe` says when SOURCE_DIR is a git checkout. Run at every
# build; the file changes only when the version does, so nothing rebuilds needlessly.
set(text "${VERSION}")
find_program(GIT git)
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(
    COMMAND "${GIT}" describe --tags --always --dirty
    WORKING_DIRECTORY "${SOURCE_DIR}"
    OUTPUT_VARIABLE described
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE failed)
  if(NOT failed AND described)
    set(text "${text} (git ${described})")
  endif()
endif()
set(content "#define SHEDMATE_VERSION \"${text}\"\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL content)
  file(WRITE "${OUTPUT}" "${content}")
endif()
