# One set of options for every Quillbox target: the language standard, warnings,
# include paths from the repository root, and the sanitizers of the test build.
function(quillbox_set_options target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
  if(QUILLBOX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(QUILLBOX_SANITIZE)
    target_compile_options(${target} PUBLIC -fsanitize=address,undefined -fno-omit-frame-pointer
                                            -fno-sanitize-recover=undefined)
    target_link_options(${target} PUBLIC -fsanitize=address,undefined)
  endif()
endfunction()

# A library made of the .cpp files of one folder or more, tests, benchmarks and entry points left out,
# and of each pair of sides (name_openssl.cpp or name_posix.cpp, name_browser.cpp) the side this build
# takes.
function(quillbox_library target)
  set(sources "")
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  list(FILTER sources EXCLUDE REGEX "_test\\.cpp$|/main\\.cpp$|/device_main\\.cpp$")
  if(EMSCRIPTEN)
    list(FILTER sources EXCLUDE REGEX "_openssl\\.cpp$|_posix\\.cpp$")
  else()
    list(FILTER sources EXCLUDE REGEX "_browser\\.cpp$")
  endif()
  if(NOT sources)
    # A folder whose code has not landed yet still gives a target to link against.
    set(sources ${PROJECT_BINARY_DIR}/generated/empty.cpp)
    file(WRITE ${sources} "")
  endif()
  add_library(${target} STATIC ${sources})
  quillbox_set_options(${target})
endfunction()

# One test program per folder, from its *_test.cpp files.
function(quillbox_tests target dir)
  if(NOT QUILLBOX_TESTS)
    return()
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*_test.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${target} ${sources})
  quillbox_set_options(${target})
  target_link_libraries(${target} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${target} PRIVATE QUILLBOX_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "QUILLBOX_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()
