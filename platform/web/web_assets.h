#pragma once

#include <string_view>

namespace quillbox::web {

// A file of the page, compiled into the program: nothing is fetched from anywhere else.
struct Asset {
  std::string_view contentType;
  std::string_view body;
  // A file of the device app (under /device/): it holds no lists, and is served without the
  // page's token, to be kept by the app's service worker.
  bool device = false;
  // A file of the device app this program was built without (its worker and module).
  bool absent = false;
};

// The page's files by path ("/", "/app.js", "/app.css", the icons) and the device app's
// ("/device/", "/device/app.js", ..., "/device/manifest.webmanifest", "/device/sw.js",
// "/device/device-worker.js", "/device/quillbox-device.wasm"); nullptr for any other.
const Asset* findAsset(std::string_view path);

// The version of this build's files: it changes whenever one of them does.
std::string_view assetsVersion();

// The Content-Security-Policy every answer carries: the app's own script, style and icon only.
inline constexpr std::string_view kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "manifest-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// The device app's: its worker also compiles the app's WebAssembly module.
inline constexpr std::string_view kDeviceContentSecurityPolicy =
    "default-src 'none'; script-src 'self' 'wasm-unsafe-eval'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; worker-src 'self'; manifest-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

}  // namespace quillbox::web
