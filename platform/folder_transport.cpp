#include "platform/folder_transport.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/home.h"
#include "platform/whole_file.h"

namespace quillbox {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxKeyBytes = 255;  // a file name's limit on the usual file systems
// A temporary file this old was left by a writer that was killed: no write takes an hour.
constexpr auto kStaleAfter = std::chrono::hours(1);

// The key as it can be shown in a message: control bytes written as \xNN.
std::string printable(std::string_view key) {
  std::string shown;
  for (unsigned char c : key) {
    if (c < 0x20 || c == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      shown += escaped;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

// In double quotes. (Built by appending: GCC 12 wrongly warns about "\"" + string.)
std::string quoted(const fs::path& path) {
  std::string text = "\"";
  text += path.string();
  text += '"';
  return text;
}

}  // namespace

bool FolderTransport::isPlainKey(std::string_view key) {
  if (key.empty() || key.size() > kMaxKeyBytes || key.front() == '.') return false;  // ".", ".." included
  for (unsigned char c : key) {
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

Result<std::unique_ptr<FolderTransport>> FolderTransport::open(fs::path folder) {
  if (Status made = ensureFolder(folder); !made) return made;
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    return Status::Error("cannot write the cloud folder " + quoted(folder) + ": " + std::strerror(errno));
  }
  std::unique_ptr<FolderTransport> transport(new FolderTransport(std::move(folder)));
  transport->removeStaleTemporaries();
  return transport;
}

void FolderTransport::removeStaleTemporaries() {
  std::error_code error;
  auto now = fs::file_time_type::clock::now();
  for (fs::directory_iterator entry(folder_, error), end; !error && entry != end; entry.increment(error)) {
    if (!entry->path().filename().string().starts_with(kTemporaryPrefix)) continue;
    std::error_code ignored;
    auto written = entry->last_write_time(ignored);
    if (!ignored && now - written > kStaleAfter) fs::remove(entry->path(), ignored);
  }
}

Status FolderTransport::checkKey(std::string_view key) const {
  if (isPlainKey(key)) return Status::Ok();
  return Status::Invalid("refused the cloud key \"" + printable(key) + "\": not a plain file name");
}

Result<std::optional<std::string>> FolderTransport::get(std::string_view key) {
  if (Status valid = checkKey(key); !valid.ok()) return valid;
  return readRegularFile(folder_ / std::string(key));
}

Status FolderTransport::set(std::string_view key, std::string_view value) {
  if (Status valid = checkKey(key); !valid.ok()) return valid;
  const fs::path path = folder_ / std::string(key);
  if (::access(folder_.c_str(), F_OK) != 0) {
    if (Status made = ensureFolder(folder_); !made) return made;  // the folder was removed under us
  }
  return writeFileAtomically(path, value);
}

}  // namespace quillbox
