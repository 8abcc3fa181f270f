#pragma once

#include <filesystem>
#include <string>

#include "platform/status.h"

namespace quillbox {

// Makes a command run on a home as the home's owner, so that every file it leaves there is one the
// owner (a service's own user, say) can read: the owner runs it as is; root takes the owner's user
// and group for the rest of the process; anyone else is refused (Invalid), told how to run it
// ("sudo -u OWNER quillbox WORDS"). A home that does not exist yet is the caller's own. Fails
// (io) when the home cannot be examined or root cannot become its owner.
Status actAsHomeOwner(const std::filesystem::path& home, const std::string& words);

}  // namespace quillbox
