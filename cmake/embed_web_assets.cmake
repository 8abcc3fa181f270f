# Writes OUTPUT, a C++ source that compiles the page's files from CLIENT into the program, so the
# page is served by the binary itself. Run at every build; only a real change touches OUTPUT.
#   cmake -DCLIENT=<folder> -DOUTPUT=<file.cpp> [-DDEVICE=<folder>] [-DESBUILD=<esbuild>] -P embed_web_assets.cmake
#
# The page is served at / (behind the page's token) and, with the manifest and the service worker,
# as the device app at /device/. DEVICE holds the device app's worker and WebAssembly module
# (device-worker.js, kept-drawing.js, quillbox-device.js, quillbox-device.wasm); without them, those
# paths say the program was built without the device app. With ESBUILD, the page's scripts and
# stylesheet, the device app's worker scripts and the module's glue go minified (the service worker
# goes as written).

set(arrays "")
set(entries "")
set(index 0)
set(digests "")
set(deviceFiles "")

# Runs esbuild on file, minifying, with the options after var, into out; sets var to out.
function(esbuilt file out var)
  execute_process(COMMAND "${ESBUILD}" --minify --log-level=warning ${ARGN} "--outfile=${out}" "${file}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "esbuild could not make ${out} from ${file}")
  endif()
  set(${var} "${out}" PARENT_SCOPE)
endfunction()

# Sets var to file minified by esbuild into a file beside OUTPUT named after it, or to file itself
# when it is no script or stylesheet, or no esbuild was given.
function(minified file var)
  get_filename_component(name "${file}" NAME)
  set(${var} "${file}" PARENT_SCOPE)
  if(NOT ESBUILD OR NOT name MATCHES "\\.(js|css)$")
    return()
  endif()
  esbuilt("${file}" "${OUTPUT}.min/${name}" out)
  set(${var} "${out}" PARENT_SCOPE)
endfunction()

# Adds the bytes of file (minified) as the array kFile<index>; its variable name is left in `array`.
macro(add_array file)
  minified("${file}" served)
  add_served_array("${file}" "${served}")
endmacro()

# Adds the bytes of served, made from file, as add_array adds a file. The version follows what is
# served: a bundle changes with any of its modules.
macro(add_served_array file served)
  file(READ "${served}" hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  get_filename_component(shown "${file}" NAME)
  string(APPEND arrays "// ${shown}\nconst unsigned char kFile${index}[] = {${bytes}};\n\n")
  set(array "text(kFile${index}, ${size})")
  file(SHA256 "${served}" digest)
  string(APPEND digests "${digest}")
  math(EXPR index "${index} + 1")
endmacro()

# Adds the text held by the variable named var, made here from a file, as add_array adds a file.
macro(add_text_array var)
  file(WRITE "${OUTPUT}.${var}" "${${var}}")
  add_array("${OUTPUT}.${var}")
  file(REMOVE "${OUTPUT}.${var}")
endmacro()

# A ";" would split a CMake list: the types are written with "|" in its place.
macro(add_entry path type body device)
  string(REPLACE "|" ";" contentType "${type}")
  string(APPEND entries "      {\"${path}\", {\"${contentType}\", ${body}, ${device}, false}},\n")
  if("${device}" STREQUAL "true")
    string(APPEND deviceFiles "'${path}', ")
  endif()
endmacro()

set(js "text/javascript| charset=utf-8")
set(files index.html app.js events.js tree.js lists.js controls.js icons.js socket.js device.js undo.js history.js app.css icon.svg icon-192.png icon-512.png manifest.webmanifest)
set(types "text/html| charset=utf-8" "${js}" "${js}" "${js}" "${js}" "${js}" "${js}" "${js}" "${js}" "${js}" "${js}" "text/css| charset=utf-8" "image/svg+xml" "image/png"
          "image/png" "application/manifest+json")
foreach(file type IN ZIP_LISTS files types)
  if(file STREQUAL "index.html")
    add_array("${CLIENT}/index.html")
    add_entry("/" "${type}" "${array}" false)
    # The device app's page takes its files from under /device/, and names its manifest.
    file(READ "${CLIENT}/index.html" page)
    string(REPLACE "apple-touch-icon\" href=\"/icon.svg" "apple-touch-icon\" href=\"/icon-192.png" page "${page}")
    string(REPLACE "=\"/" "=\"/device/" page "${page}")
    string(REPLACE "</head>" "<link rel=\"manifest\" href=\"/device/manifest.webmanifest\">\n</head>" page "${page}")
    add_text_array(page)
    add_entry("/device/" "${type}" "${array}" true)
    continue()
  endif()
  if(NOT file MATCHES "^(device.js|icon-192.png|icon-512.png|manifest.webmanifest)$")
    add_array("${CLIENT}/${file}")
    add_entry("/${file}" "${type}" "${array}" false)
  endif()
  # The device app's scripts are one bundle of app.js and the modules it imports, so that a phone
  # fetches and compiles one script. The server's socket stays out: the device app never asks for it.
  if(file STREQUAL "app.js")
    esbuilt("${CLIENT}/app.js" "${OUTPUT}.min/device-app.js" served --bundle --format=esm
            --external:./socket.js)
    add_served_array("${CLIENT}/app.js" "${served}")
    add_entry("/device/app.js" "${type}" "${array}" true)
  elseif(NOT file MATCHES "\\.js$")
    add_array("${CLIENT}/${file}")
    add_entry("/device/${file}" "${type}" "${array}" true)
  endif()
endforeach()

# The worker and the module: large, so the assembler takes them in whole.
set(modules device-worker.js kept-drawing.js quillbox-device.js quillbox-device.wasm)
set(moduleTypes "${js}" "${js}" "${js}" "application/wasm")
set(incbins "")
foreach(file type IN ZIP_LISTS modules moduleTypes)
  if(DEVICE AND EXISTS "${DEVICE}/${file}")
    file(SHA256 "${DEVICE}/${file}" digest)
    string(APPEND digests "${digest}")
    # The module's glue too: its compiler leaves out the spaces, esbuild shortens the names.
    minified("${DEVICE}/${file}" served)
    file(SIZE "${served}" size)
    string(APPEND incbins "__asm__(\".section .rodata\\n.balign 16\\n.globl quillbox_module${index}\\n"
           ".hidden quillbox_module${index}\\nquillbox_module${index}:\\n.incbin \\\"${served}\\\"\\n"
           ".previous\\n\");\nextern \"C\" const unsigned char quillbox_module${index}[];\n")
    add_entry("/device/${file}" "${type}" "text(quillbox_module${index}, ${size})" true)
    math(EXPR index "${index} + 1")
  else()
    string(APPEND entries "      {\"/device/${file}\", {\"\", {}, true, true}},\n")
  endif()
endforeach()

# The service worker keeps the device app's files under the name of this build's version.
file(SHA256 "${CLIENT}/sw.js" digest)
string(APPEND digests "${digest}")
string(SHA256 version "${digests}")
string(SUBSTRING "${version}" 0 16 version)
file(READ "${CLIENT}/sw.js" worker)
string(REPLACE "@VERSION@" "${version}" worker "${worker}")
string(REPLACE "@FILES@" "${deviceFiles}" worker "${worker}")
add_text_array(worker)
add_entry("/device/sw.js" "${js}" "${array}" true)

file(WRITE "${OUTPUT}.new" "// Generated at build time from platform/web/client by cmake/embed_web_assets.cmake.
#include \"platform/web/web_assets.h\"

#include <cstddef>

${incbins}
namespace quillbox::web {

namespace {

${arrays}std::string_view text(const unsigned char* bytes, std::size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

struct Entry {
  std::string_view path;
  Asset asset;
};

}  // namespace

const Asset* findAsset(std::string_view path) {
  static const Entry kEntries[] = {
${entries}  };
  for (const Entry& entry : kEntries) {
    if (entry.path == path) return &entry.asset;
  }
  return nullptr;
}

std::string_view assetsVersion() { return \"${version}\"; }

}  // namespace quillbox::web
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
