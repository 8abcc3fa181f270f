# Makes SQLite's one-file source (sqlite3.c, sqlite3.h) in a new folder OUT from its source tree,
# with the given options (C defines, separated by spaces) also given to its parser generator:
#
#   cmake -DSOURCE=<tree> -DOUT=<folder> -DOPTIONS="-DSQLITE_OMIT_... ..." -P make_sqlite.cmake
#
# The tree's own build does it, with the host's compiler; its output goes to configure.log and
# make.log, shown when a step fails.

file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
foreach(step configure make)
  if(step STREQUAL "configure")
    set(command ${CMAKE_COMMAND} -E env CC=cc CFLAGS=-O2 ${SOURCE}/configure --disable-tcl)
  else()
    set(command make sqlite3.c "OPTS=${OPTIONS}")
  endif()
  execute_process(COMMAND ${command} WORKING_DIRECTORY ${OUT} OUTPUT_FILE ${OUT}/${step}.log
                  ERROR_FILE ${OUT}/${step}.log RESULT_VARIABLE failed)
  if(failed)
    file(READ ${OUT}/${step}.log log)
    message(FATAL_ERROR "SQLite's ${step} failed:\n${log}")
  endif()
endforeach()
