# Writes OUTPUT, a C++ source that compiles the page's files from CLIENT into the program, so the
# page is served by the binary itself. Run at build time whenever one of the files changes.
#   cmake -DCLIENT=<folder> -DOUTPUT=<file.cpp> -P embed_web_assets.cmake

set(arrays "")
set(entries "")
set(index 0)
macro(embed path file type)
  file(READ "${CLIENT}/${file}" hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "// ${file}\nconst unsigned char kFile${index}[] = {${bytes}};\n\n")
  # A ";" would split a CMake list: the types are written with "|" in its place.
  string(REPLACE "|" ";" contentType "${type}")
  string(APPEND entries "      {\"${path}\", {\"${contentType}\", text(kFile${index}, ${size})}},\n")
  math(EXPR index "${index} + 1")
endmacro()

embed("/" "index.html" "text/html| charset=utf-8")
embed("/app.js" "app.js" "text/javascript| charset=utf-8")
embed("/app.css" "app.css" "text/css| charset=utf-8")
embed("/icon.svg" "icon.svg" "image/svg+xml")

file(WRITE "${OUTPUT}.new" "// Generated at build time from platform/web/client by cmake/embed_web_assets.cmake.
#include \"platform/web/web_assets.h\"

#include <cstddef>

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

}  // namespace quillbox::web
")
# Only a real change touches the output, so an unchanged page compiles nothing again.
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
