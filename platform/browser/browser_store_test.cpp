// The store over SQLite as the phone's module compiles it (make test-wasm): the options that leave
// SQLite's parts out keep what the screens poll at every event.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/store/settings_store.h"

namespace quillbox {

// The screens read the lists again only when the generation moves: a generation that moved at every
// call would read and compare every list at every keystroke.
TEST(BrowserStoreTest, TheGenerationStandsStillUntilAWrite) {
  std::string home = (std::filesystem::temp_directory_path() / "quillbox-browser-XXXXXX").string();
  ASSERT_NE(::mkdtemp(home.data()), nullptr);
  auto store = SettingsStore::open(home).value();
  const std::uint64_t first = store->generation();
  const std::uint64_t still = store->generation();
  ASSERT_TRUE(store->set("stringNotes", "a").ok());
  const std::uint64_t after = store->generation();
  EXPECT_EQ(std::to_string(still - first) + " " + std::to_string(after != still), "0 1");
  store.reset();
  std::filesystem::remove_all(home);
}

}  // namespace quillbox
