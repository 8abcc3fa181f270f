# The WebAssembly build (em++ through emcmake, into build-wasm/): the model the paired phone runs in a
# Web Worker, and the shared tables of cases run under node. Only what the browser has a use for: no
# Redis, no HTTPS client or server, no command line. SQLite is Debian's own, the version and patches
# the native build links: `make wasm` unpacks its source package into QUILLBOX_SQLITE_SOURCE, and the
# build makes it one file with the options below. ICU's part is the browser's own
# (base/text_browser.cpp).
enable_language(C)
include(cmake/quillbox_options.cmake)

# The phone downloads this build: optimised for size, across translation units, with no run-time type
# information (no type is asked its name or cast down by it) and no exceptions (its throws end the
# program, as emscripten's build would have them do anyway: none is caught there).
add_compile_options(-Oz -flto -fno-rtti -fno-exceptions)
add_link_options(-Oz -flto)

set(QUILLBOX_SQLITE_SOURCE "${PROJECT_BINARY_DIR}/deps/sqlite3" CACHE PATH "SQLite's source tree")
set(QUILLBOX_GTEST_DIR "/usr/src/googletest" CACHE PATH "GoogleTest's sources")

# nlohmann/json is header-only: its Debian headers are used as they are, and nothing else of /usr/include.
set(wasm_include ${PROJECT_BINARY_DIR}/sysinclude)
file(MAKE_DIRECTORY ${wasm_include})
if(NOT EXISTS ${wasm_include}/nlohmann)
  file(CREATE_LINK /usr/include/nlohmann ${wasm_include}/nlohmann SYMBOLIC)
endif()
configure_file(platform/app_info_values.h.in ${PROJECT_BINARY_DIR}/generated/platform/app_info_values.h)

# A single thread with no file system of its own but ours (platform/browser/browser_vfs.cpp), and
# without what the store never asks for. SQLite's own build generates its parser and keyword table
# with the same options, so the parts left out leave the grammar too (an amalgamation made without
# them could not be compiled with them). The store keeps no real numbers, so SQLite is built without
# floating point; nothing of ours calls its functions of doubles, which that option's header gives
# another type.
set(sqlite_options SQLITE_OS_OTHER=1 SQLITE_THREADSAFE=0 SQLITE_TEMP_STORE=3 SQLITE_DQS=0
  SQLITE_DEFAULT_MEMSTATUS=0 SQLITE_MAX_EXPR_DEPTH=0 SQLITE_MAX_MMAP_SIZE=0 SQLITE_UNTESTABLE
  SQLITE_OMIT_LOAD_EXTENSION SQLITE_OMIT_DEPRECATED SQLITE_OMIT_SHARED_CACHE SQLITE_OMIT_PROGRESS_CALLBACK
  SQLITE_OMIT_JSON SQLITE_OMIT_DATETIME_FUNCS SQLITE_OMIT_LOCALTIME SQLITE_OMIT_UTF16 SQLITE_OMIT_COMPLETE
  SQLITE_OMIT_DECLTYPE SQLITE_OMIT_GET_TABLE SQLITE_OMIT_TCL_VARIABLE SQLITE_OMIT_COMPILEOPTION_DIAGS
  SQLITE_OMIT_INTROSPECTION_PRAGMAS SQLITE_OMIT_AUTHORIZATION SQLITE_OMIT_INCRBLOB SQLITE_OMIT_TRACE
  SQLITE_OMIT_DESERIALIZE SQLITE_OMIT_AUTOMATIC_INDEX SQLITE_OMIT_LIKE_OPTIMIZATION SQLITE_OMIT_OR_OPTIMIZATION
  SQLITE_OMIT_BETWEEN_OPTIMIZATION SQLITE_OMIT_FLAG_PRAGMAS SQLITE_OMIT_SCHEMA_PRAGMAS
  SQLITE_OMIT_INTEGRITY_CHECK SQLITE_OMIT_AUTOVACUUM SQLITE_OMIT_XFER_OPT SQLITE_OMIT_QUICKBALANCE
  SQLITE_OMIT_BTREECOUNT SQLITE_OMIT_TRUNCATE_OPTIMIZATION SQLITE_OMIT_CASE_SENSITIVE_LIKE_PRAGMA
  SQLITE_OMIT_HEX_INTEGER SQLITE_OMIT_BLOB_LITERAL SQLITE_OMIT_LOOKASIDE SQLITE_OMIT_AUTORESET
  SQLITE_OMIT_WINDOWFUNC SQLITE_OMIT_VIRTUALTABLE SQLITE_OMIT_TRIGGER SQLITE_OMIT_ANALYZE
  SQLITE_OMIT_FOREIGN_KEY SQLITE_OMIT_CTE SQLITE_OMIT_VIEW SQLITE_OMIT_VACUUM SQLITE_OMIT_REINDEX
  SQLITE_OMIT_EXPLAIN SQLITE_OMIT_GENERATED_COLUMNS SQLITE_OMIT_CHECK SQLITE_OMIT_COMPOUND_SELECT
  SQLITE_OMIT_TEMPDB SQLITE_OMIT_MEMORYDB SQLITE_OMIT_UPSERT SQLITE_OMIT_FLOATING_POINT)
list(TRANSFORM sqlite_options PREPEND -D OUTPUT_VARIABLE sqlite_flags)
list(JOIN sqlite_flags " " sqlite_flags)
set(sqlite_dir ${PROJECT_BINARY_DIR}/deps/sqlite3-made)
add_custom_command(OUTPUT ${sqlite_dir}/sqlite3.c ${sqlite_dir}/sqlite3.h
  COMMAND ${CMAKE_COMMAND} -DSOURCE=${QUILLBOX_SQLITE_SOURCE} -DOUT=${sqlite_dir} -DOPTIONS=${sqlite_flags}
          -P ${PROJECT_SOURCE_DIR}/cmake/make_sqlite.cmake
  DEPENDS ${QUILLBOX_SQLITE_SOURCE}/src/parse.y ${CMAKE_CURRENT_LIST_FILE} ${PROJECT_SOURCE_DIR}/cmake/make_sqlite.cmake
  VERBATIM)
add_library(qb_sqlite STATIC ${sqlite_dir}/sqlite3.c)
target_include_directories(qb_sqlite SYSTEM PUBLIC ${sqlite_dir})
target_compile_definitions(qb_sqlite PRIVATE ${sqlite_options})
target_compile_options(qb_sqlite PRIVATE -w)

# A library of whole folders, with nlohmann/json and the generated headers on its include path.
function(wasm_library target)
  quillbox_library(${target} ${ARGN})
  target_include_directories(${target} SYSTEM PUBLIC ${wasm_include} ${PROJECT_BINARY_DIR}/generated)
endfunction()

wasm_library(qb_base base)

# The platform's shared wings and the browser's own side; no transports, no server.
wasm_library(qb_platform platform platform/store platform/crypto platform/sync platform/view platform/page
             platform/browser)
target_link_libraries(qb_platform PUBLIC qb_base qb_sqlite)

wasm_library(qb_screens screens screens/notes screens/tasks screens/tags app)
target_link_libraries(qb_screens PUBLIC qb_platform)

# The worker's module: quillbox-device.{js,wasm}, with device-worker.js and kept-drawing.js beside it.
# Without emscripten's file system: the store's files are the worker's handles (browser_vfs.cpp), and
# the home has no folder (platform/store/home_files_browser.cpp). Its glue takes no option from the
# worker but instantiateWasm (its own Module.qbHandles aside), and decodes text with TextDecoder only.
set(device_dir ${PROJECT_BINARY_DIR}/device)
add_executable(quillbox-device app/device_main.cpp)
quillbox_set_options(quillbox-device)
target_link_libraries(quillbox-device PRIVATE qb_screens)
set_target_properties(quillbox-device PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${device_dir} SUFFIX ".js")
target_link_options(quillbox-device PRIVATE
  -sMODULARIZE=1 -sEXPORT_NAME=QuillboxDevice -sENVIRONMENT=worker,node -sALLOW_MEMORY_GROWTH=1
  -sEXPORTED_FUNCTIONS=_main,_malloc,_free -sEXPORTED_RUNTIME_METHODS=ccall -sINCOMING_MODULE_JS_API=instantiateWasm
  -sTEXTDECODER=2 -sDYNAMIC_EXECUTION=0 -sINITIAL_MEMORY=16777216 -sTOTAL_STACK=1048576 -sFILESYSTEM=0
  -sEXIT_RUNTIME=0 -sMALLOC=emmalloc)
set(worker_files ${PROJECT_SOURCE_DIR}/platform/web/device/device-worker.js
                 ${PROJECT_SOURCE_DIR}/platform/web/device/kept-drawing.js)
add_custom_command(OUTPUT ${device_dir}/device-worker.js ${device_dir}/kept-drawing.js
  COMMAND ${CMAKE_COMMAND} -E copy ${worker_files} ${device_dir}/
  DEPENDS ${worker_files})
add_custom_target(device-worker ALL DEPENDS ${device_dir}/device-worker.js ${device_dir}/kept-drawing.js)
add_dependencies(quillbox-device device-worker)
# The link optimises the module for size once; binaryen's optimiser run again until nothing changes
# takes off a little more.
find_program(QUILLBOX_WASM_OPT wasm-opt REQUIRED)
add_custom_command(TARGET quillbox-device POST_BUILD
  COMMAND ${QUILLBOX_WASM_OPT} -Oz --converge ${device_dir}/quillbox-device.wasm
          -o ${device_dir}/quillbox-device.wasm
  VERBATIM)

# The shared tables of cases, under node: GoogleTest built from Debian's sources.
add_library(qb_gtest STATIC ${QUILLBOX_GTEST_DIR}/googletest/src/gtest-all.cc
                            ${QUILLBOX_GTEST_DIR}/googletest/src/gtest_main.cc)
target_include_directories(qb_gtest SYSTEM PUBLIC ${QUILLBOX_GTEST_DIR}/googletest/include
                                                  ${QUILLBOX_GTEST_DIR}/googlemock/include
                                           PRIVATE ${QUILLBOX_GTEST_DIR}/googletest)
function(wasm_tests target)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${T_SOURCES})
  quillbox_set_options(${target})
  target_link_libraries(${target} PRIVATE ${T_LIBS} qb_gtest)
  target_link_options(${target} PRIVATE -sENVIRONMENT=node -sALLOW_MEMORY_GROWTH=1 -sNODERAWFS=1 -sEXIT_RUNTIME=1
                      -sEXPORTED_FUNCTIONS=_main,_malloc,_free
                      -sTOTAL_STACK=1048576)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests SUFFIX ".js")
endfunction()
file(GLOB base_tests CONFIGURE_DEPENDS base/*_test.cpp)
wasm_tests(base_tests SOURCES ${base_tests} LIBS qb_base)
# The browser's own SHA-256, against the standard's answers and node's digests.
file(GLOB crypto_tests CONFIGURE_DEPENDS platform/crypto/*_test.cpp)
wasm_tests(crypto_tests SOURCES ${crypto_tests} LIBS qb_platform)
# The screens' edge cases, over SQLite files held in memory (make test-wasm leaves out the one that forks).
file(GLOB screen_tests CONFIGURE_DEPENDS screens/*/*_test.cpp)
wasm_tests(screens_tests SOURCES ${screen_tests} LIBS qb_screens)
# The store over SQLite as the phone's module compiles it.
file(GLOB browser_tests CONFIGURE_DEPENDS platform/browser/*_test.cpp)
wasm_tests(browser_tests SOURCES ${browser_tests} LIBS qb_platform)
