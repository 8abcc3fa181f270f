#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace quillbox {

// Whole files of ours, written and read in one piece through the fault seam.

// The prefix of the temporary files writeFileAtomically makes beside their target. It starts with
// "." so that such a file, left behind by a killed writer, never names a cloud key.
inline constexpr std::string_view kTemporaryPrefix = ".tmp-";

// Replaces the file at path with bytes, or leaves it as it was: the bytes go to a new temporary
// file in the same folder (mode 0600 whatever the umask), which is synced, renamed over path, and
// the folder synced, so once it returns ok the new file survives a kill and a power cut and a
// reader sees the old file or the new one, never a part. Only a file is replaced: a path that names
// anything else (a folder, a FIFO) is refused and left alone. Any failed step (the folder synced
// last included) fails the write, naming the path and the reason, and leaves no temporary file.
Status writeFileAtomically(const std::filesystem::path& path, std::string_view bytes);

// The bytes of the regular file at path; nothing when there is no such file. A path that names
// anything else (a folder, a FIFO, a device) is refused with a clear message before it is opened,
// and the file is opened non-blocking, so no read ever waits for a writer. Fails, naming the path
// and the reason, when it cannot be read.
Result<std::optional<std::string>> readRegularFile(const std::filesystem::path& path);

}  // namespace quillbox
