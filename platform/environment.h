#pragma once

#include <functional>
#include <memory>

#include "platform/device.h"
#include "platform/store/settings_store.h"
#include "platform/sync/cloud_store.h"

namespace quillbox {

// What a screen is built over: the local settings store, the process-wide cloud store (made on
// first use) and the device query of the window that draws it.
struct Environment {
  std::shared_ptr<SettingsStore> settings;
  std::function<CloudStore&()> cloud;
  std::shared_ptr<Device> device;
};

}  // namespace quillbox
