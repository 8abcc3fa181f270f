#include "platform/web/browser_windows.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/store/settings_store.h"
#include "platform/temp_folder_test_support.h"

namespace quillbox::web {
namespace {

namespace fs = std::filesystem;

// Windows of one text over a store of their own, at most two with a stream and one more away.
class BrowserWindowsTest : public ::testing::Test {
 protected:
  BrowserWindowsTest() { store_ = SettingsStore::open(home_).value(); }
  ~BrowserWindowsTest() override {
    windows_.clear();
    store_.reset();
  }

  // A new window, attached to a socket of its own: its id, or why not.
  std::string openAttached() {
    std::string error;
    auto made = windows_.open(Idiom::phone, error);
    if (!made) return error;
    auto channel = std::make_shared<Channel>();
    channel->socket = std::make_shared<HttpSocket>();
    windows_.attach(*made, channel);
    return made->id;
  }
  void away(const std::string& id) { windows_.detach(*windows_.find(id)); }
  bool open(const std::string& id) { return windows_.find(id) != nullptr; }

  TempFolder temp_;
  std::filesystem::path home_ = temp_.path();
  std::shared_ptr<SettingsStore> store_;
  std::shared_ptr<Device> device_ = std::make_shared<Device>(Idiom::phone);
  BrowserWindows windows_{
      [this](Idiom) { return std::make_unique<Window>([] { return Text("x", true); }, store_, device_); }, 2,
      1};
};

TEST_F(BrowserWindowsTest, TheWindowAwayLongestMakesRoomAndTooManyWithAStreamAreRefused) {
  const std::string a = openAttached(), b = openAttached();
  ASSERT_NE(a, b);
  std::string seen = openAttached();
  away(b);
  const std::string c = openAttached();
  seen += " " + std::to_string(windows_.size());
  away(a);
  const std::string d = openAttached();  // b has been away longest
  seen += " " + std::to_string(open(a)) + std::to_string(open(b)) + std::to_string(open(c)) +
          std::to_string(open(d));
  std::string error;
  EXPECT_EQ(windows_.takeUp(a, Idiom::phone, error)->id, a);  // taken up again, not made anew
  seen += windows_.takeUp("gone", Idiom::phone, error) == nullptr ? " | " + error : " | made";
  away(c);  // only windows away longer than the bound are closed
  windows_.closeIdle(Clock::now() + std::chrono::seconds(10), std::chrono::seconds(20));
  seen += " " + std::to_string(windows_.size());
  windows_.closeIdle(Clock::now() + std::chrono::seconds(30), std::chrono::seconds(20));
  seen += " " + std::to_string(open(c)) + std::to_string(open(d));
  EXPECT_EQ(seen, "too many windows are open 3 1011 | too many windows are open 3 01");
}

}  // namespace
}  // namespace quillbox::web
