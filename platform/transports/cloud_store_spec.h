#pragma once

#include <string_view>

#include "platform/status.h"

namespace quillbox {

// Whether a cloud store spec is one makeCloudStore understands: "" (the home's folder), a folder
// path, "file://" and a path, "redis://...", "unix://...", "https://...", and "http://..." only to
// a server on this machine (127.0.0.0/8, [::1], localhost), whose tokens never cross a network.
// Any other "SCHEME:" form is Invalid, naming the forms taken, so that a mistyped address never
// becomes a folder named after its scheme.
Status checkCloudSpec(std::string_view spec);

// The folder a "file://" spec names, or the spec itself for any other.
std::string_view cloudFolderPath(std::string_view spec);

}  // namespace quillbox
