#pragma once

#include <string_view>

namespace quillbox::web {

// A file of the page, compiled into the program: nothing is fetched from anywhere else.
struct Asset {
  std::string_view contentType;
  std::string_view body;
};

// The page's files by path ("/", "/app.js", "/app.css", "/icon.svg"); nullptr for any other.
const Asset* findAsset(std::string_view path);

// The Content-Security-Policy every answer carries: the app's own script, style and icon only.
inline constexpr std::string_view kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "manifest-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

}  // namespace quillbox::web
