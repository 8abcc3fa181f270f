#include "platform/app_info.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/app_info_values.h"

namespace quillbox {
namespace {

// Missing parts are empty; the app's own title is its name and build version.
TEST(AppInfoTest, TheTitleIsNameSpaceVersion) {
  using Info = std::optional<InfoDictionary>;
  std::string titles;
  for (const Info& dictionary :
       {Info(InfoDictionary{
            {"CFBundleName", "Quillbox"}, {"CFBundleShortVersionString", "2.3"}, {"Other", "x"}}),
        Info(InfoDictionary{{"CFBundleShortVersionString", "1.0"}}), Info(), Info(InfoDictionary{})})
    titles += "[" + AppInfo([dictionary] { return dictionary; }).appTitle() + "]";
  EXPECT_EQ(titles + appTitle() + "|" + mainAppInfo().appName() + "|" + mainAppInfo().appVersion(),
            std::string("[Quillbox 2.3][ 1.0][ ][ ]Quillbox ") + QUILLBOX_BUNDLE_VERSION + "|Quillbox|" +
                QUILLBOX_BUNDLE_VERSION);
  EXPECT_STRNE(QUILLBOX_BUNDLE_VERSION, "");
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
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { wrong += info.appTitle() != "N V"; });
  for (auto& thread : threads) thread.join();
  dictionary = std::nullopt;
  EXPECT_EQ(info.appTitle() + " " + std::to_string(wrong.load()) + " " + std::to_string(reads.load()),
            "N V 0 2");
}

}  // namespace
}  // namespace quillbox
