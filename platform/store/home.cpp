#include "platform/store/home.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/escape.h"
#include "platform/store/home_files.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> nonEmpty(std::optional<std::string> value) {
  if (value && value->empty()) return std::nullopt;
  return value;
}

}  // namespace

Result<fs::path> resolveHome(std::optional<std::string> flag, const EnvironmentLookup& env) {
  fs::path home;
  if (flag) {
    if (flag->empty()) return Status::Error("--home needs a folder");
    home = *flag;
  } else if (auto own = nonEmpty(env("QUILLBOX_HOME"))) {
    home = *own;
  } else if (auto xdg = nonEmpty(env("XDG_DATA_HOME")); xdg && fs::path(*xdg).is_absolute()) {
    home = fs::path(*xdg) / "quillbox";
  } else if (auto user = nonEmpty(env("HOME"))) {
    home = fs::path(*user) / ".local" / "share" / "quillbox";
  } else {
    return Status::Error("no home folder: pass --home DIR or set QUILLBOX_HOME or HOME");
  }
  Result<fs::path> found = homefiles::absolute(home);
  if (!found)
    return Status::Error("cannot find the home folder " + inQuotes(home.string()) + ": " +
                         found.status().message());
  home = found.value();
  if (home.has_filename() == false && home.has_parent_path() && home != home.root_path()) {
    home = home.parent_path();  // drops the trailing separator of "dir/"
  }
  if (Status made = ensureFolder(home); !made) return made;
  if (::access(home.c_str(), W_OK | X_OK) != 0) {
    return Status::Error("cannot use the home folder " + inQuotes(home.string()) + ": " +
                         std::strerror(errno));
  }
  return home;
}

Result<fs::path> resolveHome(std::optional<std::string> flag) {
  return resolveHome(std::move(flag), [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  });
}

}  // namespace quillbox
