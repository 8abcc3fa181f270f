#include "platform/app_info.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/app_info_values.h"

namespace quillbox {
namespace {

TEST(AppInfoTest, TheTitleIsNameSpaceVersionWithMissingPartsEmpty) {
  std::string titles;
  for (const std::optional<InfoDictionary>& dictionary :
       {std::optional<InfoDictionary>(InfoDictionary{
            {"CFBundleName", "Quillbox"}, {"CFBundleShortVersionString", "2.3"}, {"Other", "x"}}),
        std::optional<InfoDictionary>(InfoDictionary{{"CFBundleShortVersionString", "1.0"}}),
        std::optional<InfoDictionary>(), std::optional<InfoDictionary>(InfoDictionary{})}) {
    AppInfo info([dictionary] { return dictionary; });
    titles += "[" + info.appTitle() + "]";
  }
  EXPECT_EQ(titles, "[Quillbox 2.3][ 1.0][ ][ ]");
}

// Each value is read once, at its first use, however many threads race to it; a later change is not seen.
TEST(AppInfoTest, EachValueIsReadOnceAtItsFirstUse) {
  std::atomic<int> reads{0};
  std::optional<InfoDictionary> dictionary = InfoDictionary{{"CFBundleName", "N"}};
  AppInfo info([&] {
    ++reads;
    return dictionary;
  });
  EXPECT_EQ(info.appName(), "N");
  dictionary = InfoDictionary{{"CFBundleName", "After"}, {"CFBundleShortVersionString", "V"}};
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (info.appTitle() != "N V") ++wrong;
    });
  }
  for (auto& thread : threads) thread.join();
  dictionary = std::nullopt;
  EXPECT_EQ(info.appTitle() + " " + std::to_string(wrong.load()) + " " + std::to_string(reads.load()),
            "N V 0 2");
}

TEST(AppInfoTest, TheAppsOwnTitleIsItsNameAndBuildVersion) {
  EXPECT_STRNE(QUILLBOX_BUNDLE_VERSION, "");
  EXPECT_EQ(appTitle() + "|" + mainAppInfo().appName() + "|" + mainAppInfo().appVersion(),
            std::string("Quillbox ") + QUILLBOX_BUNDLE_VERSION + "|Quillbox|" + QUILLBOX_BUNDLE_VERSION);
}

}  // namespace
}  // namespace quillbox
