#include "app/hosting_window_finder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/cli_test_support.h"
#include "platform/settings_store.h"
#include "platform/window.h"

namespace quillbox {
namespace {

class HostingWindowFinderTest : public ::testing::Test {
 protected:
  HostingWindowFinderTest() {
    Result<std::shared_ptr<SettingsStore>> opened = SettingsStore::open(folder_.path());
    EXPECT_TRUE(opened.ok()) << opened.status().message();
    store_ = opened.value();
    window_ = makeWindow([] { return Text("no finder here", true); });
    MainQueue::main().runUntilIdle();  // whatever an earlier test left behind
  }

  std::unique_ptr<Window> makeWindow(Window::Body body) {
    return std::make_unique<Window>(std::move(body), store_, std::make_shared<Device>(Idiom::phone));
  }
  // A callback that records what it was given.
  HostingWindowFinder::Callback recorder() {
    return [this](Window* window) { reported_.push_back(window); };
  }
  // What the callback got so far: "window" (the test's window), "other" or "nothing", in order.
  std::string reports() const {
    std::string out;
    for (Window* window : reported_) {
      out += out.empty() ? "" : " ";
      out += window == nullptr ? "nothing" : window == watched_ ? "window" : "other";
    }
    return out;
  }

  clitest::TempFolder folder_;
  std::shared_ptr<SettingsStore> store_;
  std::unique_ptr<Window> window_;
  Window* watched_ = nullptr;
  std::vector<Window*> reported_;
  MainQueue queue_;
};

TEST_F(HostingWindowFinderTest, AViewDiscardedBeforeTheWorkRunsReportsNothing) {
  HostingWindowFinder finder(recorder(), queue_);
  std::shared_ptr<UIView> view = finder.makeUIView();
  watched_ = window_.get();
  view->placeIn(window_.get());
  view.reset();  // the pending work must not have kept it alive
  EXPECT_EQ(queue_.runUntilIdle(), 1u);
  EXPECT_EQ(reports(), "nothing");
}

TEST_F(HostingWindowFinderTest, APlacedViewReportsItsWindowOnceNeverInsideMakeAndUpdatesNeverReport) {
  HostingWindowFinder finder(recorder(), queue_);
  std::shared_ptr<UIView> view = finder.makeUIView();
  EXPECT_EQ(reports(), "");  // not from inside make: the platform has yet to place the view
  EXPECT_EQ(queue_.pendingCount(), 1u);
  watched_ = window_.get();
  view->placeIn(window_.get());
  queue_.runUntilIdle();
  EXPECT_EQ(reports(), "window");

  finder.updateUIView(*view);
  finder.updateUIView(*view);
  EXPECT_EQ(queue_.runUntilIdle(), 0u);
  EXPECT_EQ(reports(), "window");

  // Another view made by the same finder is new: it reports once, for itself.
  std::shared_ptr<UIView> second = finder.makeUIView();
  queue_.runUntilIdle();
  EXPECT_EQ(reports(), "window nothing");
}

TEST_F(HostingWindowFinderTest, AWindowHoldingAFinderReportsOnceAcrossRebuilds) {
  int calls = 0;
  Window* got = nullptr;
  auto window = makeWindow([&calls, &got] {
    return HStack(Text("x", true), HostingWindowFinder::element([&calls, &got](Window* w) {
                    ++calls;
                    got = w;
                  }));
  });
  ASSERT_TRUE(window->open().ok());
  EXPECT_EQ(calls, 0);  // the report waits for the main queue
  MainQueue::main().runUntilIdle();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(got, window.get());

  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(window->perform([] { return Status::Ok(); }).ok());
    ASSERT_TRUE(window->foreground().ok());
    ASSERT_TRUE(window->appear().ok());
    MainQueue::main().runUntilIdle();
  }
  EXPECT_EQ(calls, 1);
}

TEST_F(HostingWindowFinderTest, AWindowClosedBeforeTheReportRunsGivesNothingNotADanglingWindow) {
  int calls = 0;
  Window* got = window_.get();
  auto window = makeWindow([&calls, &got] {
    return HostingWindowFinder::element([&calls, &got](Window* w) {
      ++calls;
      got = w;
    });
  });
  ASSERT_TRUE(window->open().ok());
  window.reset();
  MainQueue::main().runUntilIdle();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(got, nullptr);
}

}  // namespace
}  // namespace quillbox
