#include "app/cli/home_owner.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/escape.h"

namespace quillbox {

Status actAsHomeOwner(const std::filesystem::path& home, const std::string& words) {
  struct stat about {};
  if (::stat(home.c_str(), &about) != 0) {
    if (errno == ENOENT) return Status::Ok();
    return Status::Error("cannot examine the home " + home.string() + ": " + std::strerror(errno));
  }
  const uid_t me = ::geteuid();
  if (about.st_uid == me) return Status::Ok();
  const passwd* owner = ::getpwuid(about.st_uid);
  const std::string name = owner != nullptr ? owner->pw_name : std::to_string(about.st_uid);
  if (me != 0) {
    return Status::Invalid("the home " + terminalSafe(home.string()) + " belongs to the user " +
                           terminalSafe(name) + ": run this as that user (sudo -u " + terminalSafe(name) +
                           " quillbox " + terminalSafe(words) + ")");
  }
  const gid_t group = owner != nullptr ? owner->pw_gid : about.st_gid;
  if (::setgroups(1, &group) != 0 || ::setgid(group) != 0 || ::setuid(about.st_uid) != 0) {
    return Status::Error("cannot act as " + name + ", the owner of the home " + home.string() + ": " +
                         std::strerror(errno));
  }
  return Status::Ok();
}

}  // namespace quillbox
