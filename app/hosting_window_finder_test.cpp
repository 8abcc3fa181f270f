#include "app/hosting_window_finder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/store/settings_store.h"
#include "platform/temp_folder_test_support.h"
#include "platform/view/window.h"

namespace quillbox {
namespace {

class HostingWindowFinderTest : public ::testing::Test {
 protected:
  HostingWindowFinderTest() { MainQueue::main().runUntilIdle(); }  // whatever an earlier test left behind

  std::unique_ptr<Window> makeWindow(Window::Body body) {
    return std::make_unique<Window>(std::move(body), store_, std::make_shared<Device>(Idiom::phone));
  }
  // Reports to the finder's callback: "window" (the watched one), "other" or "nothing", in order.
  HostingWindowFinder::Callback recorder() {
    return [this](Window* w) {
      reports_ += std::string(w == nullptr ? "nothing" : w == watched_ ? "window" : "other") + " ";
    };
  }

  TempFolder folder_;
  std::shared_ptr<SettingsStore> store_ = SettingsStore::open(folder_.path()).value();
  Window* watched_ = nullptr;
  std::string reports_;
  MainQueue queue_;
};

TEST_F(HostingWindowFinderTest, APlacedViewReportsItsWindowOnceLaterAndADiscardedOneNothing) {
  std::unique_ptr<Window> window = makeWindow([] { return Text("no finder here", true); });
  watched_ = window.get();
  HostingWindowFinder finder(recorder(), queue_);
  std::shared_ptr<UIView> view = finder.makeUIView();
  EXPECT_EQ(reports_ + std::to_string(queue_.pendingCount()), "1");  // the platform has yet to place it
  view->placeIn(window.get());
  queue_.runUntilIdle();
  finder.updateUIView(*view);
  EXPECT_EQ(queue_.runUntilIdle(), 0u);
  std::shared_ptr<UIView> discarded = finder.makeUIView();
  discarded->placeIn(window.get());
  discarded.reset();  // the pending work must not have kept it alive
  EXPECT_EQ(queue_.runUntilIdle(), 1u);
  EXPECT_EQ(reports_, "window nothing ");
}

TEST_F(HostingWindowFinderTest, AWindowHoldingAFinderReportsOnceAcrossRebuildsAndAClosedOneNothing) {
  std::unique_ptr<Window> window =
      makeWindow([this] { return HStack(Text("x", true), HostingWindowFinder::element(recorder())); });
  watched_ = window.get();
  ASSERT_TRUE(window->open().ok());
  reports_ += "| ";  // the report waits for the main queue
  for (int i = 0; i < 3; ++i) {
    MainQueue::main().runUntilIdle();
    ASSERT_TRUE(window->perform([] { return Status::Ok(); }).ok() && window->foreground().ok() &&
                window->appear().ok());
  }
  std::unique_ptr<Window> closed = makeWindow([this] { return HostingWindowFinder::element(recorder()); });
  ASSERT_TRUE(closed->open().ok());
  closed.reset();
  MainQueue::main().runUntilIdle();
  EXPECT_EQ(reports_, "| window nothing ");
}

}  // namespace
}  // namespace quillbox
