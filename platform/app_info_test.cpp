#include "platform/app_info.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/app_info_values.h"

namespace quillbox {
namespace {

class AppInfoTest : public ::testing::Test {
 protected:
  // An AppInfo over dictionary_, counting how often it is read.
  AppInfo& info() {
    if (!info_) {
      info_ = std::make_unique<AppInfo>([this] {
        ++reads_;
        return dictionary_;
      });
    }
    return *info_;
  }
  std::string title() { return "[" + info().appTitle() + "]"; }

  std::optional<InfoDictionary> dictionary_ = InfoDictionary{};
  std::atomic<int> reads_{0};
  std::unique_ptr<AppInfo> info_;
};

TEST_F(AppInfoTest, TheTitleIsNameSpaceVersionWithMissingPartsEmpty) {
  dictionary_ =
      InfoDictionary{{"CFBundleName", "Quillbox"}, {"CFBundleShortVersionString", "2.3"}, {"Other", "x"}};
  EXPECT_EQ(title(), "[Quillbox 2.3]");
  info_.reset();
  dictionary_ = InfoDictionary{{"CFBundleShortVersionString", "1.0"}};
  EXPECT_EQ(title(), "[ 1.0]");
  info_.reset();
  dictionary_ = InfoDictionary{};
  EXPECT_EQ(title(), "[ ]");
  info_.reset();
  dictionary_ = std::nullopt;
  EXPECT_EQ(title() + info().appName() + info().appVersion(), "[ ]");
}

TEST_F(AppInfoTest, EachValueIsReadOnceAndAChangeAfterwardsIsNotSeen) {
  dictionary_ = InfoDictionary{{"CFBundleName", "Before"}};
  EXPECT_EQ(info().appName(), "Before");
  dictionary_ = InfoDictionary{{"CFBundleName", "After"}, {"CFBundleShortVersionString", "9"}};
  // The version had not been read yet: it is read now, from the dictionary as it is now.
  EXPECT_EQ(title(), "[Before 9]");
  dictionary_ = std::nullopt;
  EXPECT_EQ(title(), "[Before 9]");
  EXPECT_EQ(reads_.load(), 2);
}

TEST_F(AppInfoTest, ThreadsRacingToTheFirstUseReadOnce) {
  dictionary_ = InfoDictionary{{"CFBundleName", "N"}, {"CFBundleShortVersionString", "V"}};
  AppInfo& shared = info();
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (shared.appTitle() != "N V") ++wrong;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(reads_.load(), 2);
}

TEST(MainAppInfoTest, TheAppsOwnTitleIsItsNameAndBuildVersion) {
  EXPECT_EQ(appTitle(), std::string("Quillbox ") + QUILLBOX_BUNDLE_VERSION);
  EXPECT_EQ(mainAppInfo().appName() + "|" + mainAppInfo().appVersion(),
            std::string("Quillbox|") + QUILLBOX_BUNDLE_VERSION);
  EXPECT_STRNE(QUILLBOX_BUNDLE_VERSION, "");
}

}  // namespace
}  // namespace quillbox
