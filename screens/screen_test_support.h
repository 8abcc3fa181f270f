#pragma once

// What the screens' tests share: a screen over a temporary home, a recording cloud store and a
// device, a window over it, and finders that build the rows and flatten them into short strings.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "base/list_string.h"
#include "platform/device.h"
#include "platform/environment.h"
#include "platform/store/settings_store.h"
#include "platform/sync/cloud_store.h"
#include "platform/temp_folder_test_support.h"
#include "platform/view/view.h"
#include "platform/view/window.h"

namespace quillbox::test {

// A persisted item string made readable, each item separator shown as "|"; stored() is the reverse.
inline std::string replaced(std::string_view text, std::string_view from, std::string_view to) {
  std::string out(text);
  for (std::size_t at = 0; (at = out.find(from, at)) != std::string::npos; at += to.size())
    out.replace(at, from.size(), to);
  return out;
}
inline std::string shown(std::string_view stored) { return replaced(stored, kItemSeparator, "|"); }
inline std::string stored(std::string_view text) { return replaced(text, "|", kItemSeparator); }

// A cloud store that logs each write as "set key=value" (separators shown as "|"), so a test can
// say exactly which writes happened, in order.
class RecordingCloudStore : public MemoryCloudStore {
 public:
  Status setString(std::string_view value, std::string_view key) override {
    log_ += (log_.empty() ? "set " : "; set ") + std::string(key) + "=" + shown(value);
    return MemoryCloudStore::setString(value, key);
  }
  // Puts a string under key as another device would: not logged.
  void put(std::string_view key, std::string_view value) { (void)MemoryCloudStore::setString(value, key); }
  // The writes since the last call, "; " between them; "" when none.
  std::string takeLog() { return std::exchange(log_, ""); }

 private:
  std::string log_;
};

// The id (from root) of the first element under root (root included) that pred accepts, or
// "(missing)".
inline std::string idOf(const Element& root, const std::function<bool(const Element&)>& pred) {
  std::string found = "(missing)";
  forEachElement(root, [&](const Element& e, std::string_view id) {
    if (!pred(e)) return true;
    found = std::string(id);
    return false;
  });
  return found;
}

// A screen's rows, built as a renderer builds them, with their ids: the rows of its last ForEach (the
// tag picker's segments come before it).
inline std::vector<std::pair<std::string, Element>> drawnRows(const Element& screen) {
  const Rows* rows = nullptr;
  std::string listId;
  forEachElement(screen, [&](const Element& e, std::string_view id) {
    if (e.kind() == ElementKind::ForEach) std::tie(rows, listId) = std::pair(e.rows(), id);
    return true;
  });
  std::vector<std::pair<std::string, Element>> out;
  for (std::size_t p = 0; rows != nullptr && p < rows->count; ++p)
    if (rows->isShown(p)) out.emplace_back(listId + "/" + Rows::keyOf(p), Element(rows->row(p)));
  return out;
}

// All drawn rows, "|" between them: "1 a|2 https://x.org (link)". Each row as a person reads it: the
// number and texts as shown, a link as "<title> (link)", a status icon as "[ ]" or "[x]"; a row with
// nothing but its trash icon is "(no label)".
inline std::string rowsText(const Element& screen) {
  std::string out;
  for (const auto& [id, row] : drawnRows(screen)) {
    std::string shown;
    auto part = [&](const std::string& text) { shown += (shown.empty() ? "" : " ") + text; };
    for (const Element& e : row.children) {
      if (const auto* text = e.as<kinds::Text>()) part(text->text);
      if (const auto* link = e.as<kinds::Link>()) part(link->title + " (link)");
      const auto* image = e.as<kinds::Image>();
      if (image && image->systemName == "circle") part("[ ]");
      if (image && image->systemName == "checkmark") part("[x]");
    }
    out += (out.empty() ? "" : "|") + (shown.empty() ? "(no label)" : shown);
  }
  return out;
}

// A fixture for one screen: a temporary home with its settings store, a recording cloud store, a
// phone, the screen (built on first use, as at a start of the app, over what the stores hold by
// then) and a window over it (opened on first use, so the screen's Appear has run).
template <class View>
class ScreenTest : public ::testing::Test {
 protected:
  ScreenTest() { settings_ = openStore(home_); }
  static void expectOk(const Status& status) { EXPECT_TRUE(status.ok()) << status.message(); }

  // Another store object on the home at `at`, as another window would have; home_ / "." gives one with
  // a connection of its own, as another process has (one process shares one store per home, so this one
  // goes in through another spelling of the folder).
  std::shared_ptr<SettingsStore> openStore(const std::filesystem::path& at) {
    auto opened = SettingsStore::open(at);
    if (!opened.ok()) ADD_FAILURE() << opened.status().message();
    return opened.ok() ? opened.value() : nullptr;
  }
  Environment env() {
    return {settings_, [c = cloud_]() -> CloudStore& { return *c; }, device_};
  }

  View& view() {
    if (!view_) view_.emplace(env());
    return *view_;
  }
  // A window over a screen, opened.
  std::unique_ptr<Window> openWindow(const View& screen) {
    auto made = std::make_unique<Window>([screen] { return screen.body(); }, settings_, device_);
    expectOk(made->open());
    return made;
  }
  Window& window() {
    if (!window_) window_ = openWindow(view());
    return *window_;
  }
  // Appear: opens the window the first time, then runs Appear again.
  void appear() { expectOk(window_ ? window_->appear() : (window(), Status::Ok())); }
  // Foreground: every screen shown so far loads again.
  void foreground() { expectOk(window().foreground()); }
  // Runs an operation of the screen as one event: its Change handlers follow, then a rebuild.
  void perform(const std::function<Status()>& operation) { expectOk(window().perform(operation)); }

  // The stores, with separators shown as "|".
  std::string local(std::string_view key) { return shown(settings_->get(key)); }
  void setLocal(std::string_view key, std::string_view text) {
    ASSERT_TRUE(settings_->set(key, stored(text)).ok());
  }
  void setCloud(std::string_view key, std::string_view text) { cloud_->put(key, stored(text)); }
  std::string cloudWrites() { return cloud_->takeLog(); }

  // The drawn tree, by what a person sees and touches.
  std::string rows() { return rowsText(window().tree()); }
  std::string idOf(const std::function<bool(const Element&)>& pred) {
    return test::idOf(window().tree(), pred);
  }
  // The id of the image named a (or b) in the n-th drawn row from the top (counting from 0).
  std::string imageId(std::size_t n, std::string_view a, std::string_view b = "") {
    auto all = drawnRows(window().tree());
    if (n >= all.size()) return "(missing)";
    std::string within = test::idOf(all[n].second, [&](const Element& e) {
      const auto* image = e.as<kinds::Image>();
      return image != nullptr && (image->systemName == a || image->systemName == b);
    });
    return within == "(missing)" ? within : all[n].first + within;
  }
  Status tapTrash(std::size_t n) { return window().tap(imageId(n, "trash")); }
  Status tapStatus(std::size_t n) { return window().tap(imageId(n, "circle", "checkmark")); }
  // The row's label: its Text of the entry or its Link (the last Text or Link of the row).
  Status tapLabel(std::size_t n) {
    auto all = drawnRows(window().tree());
    std::string id = "(missing)";
    for (std::size_t i = 0; n < all.size() && i < all[n].second.children.size(); ++i) {
      const ElementKind kind = all[n].second.children[i].kind();
      if (kind == ElementKind::Text || kind == ElementKind::Link) id = all[n].first + "/" + std::to_string(i);
    }
    return window().tap(id);
  }
  std::string fieldId(std::string_view binding) {
    return idOf(
        [&](const Element& e) { return e.kind() == ElementKind::TextField && e.binding()->name == binding; });
  }
  // Types text into the field bound to that cell (replacing what it held), then submits it.
  void type(std::string_view binding, std::string text) {
    EXPECT_TRUE(window().edit(fieldId(binding), std::move(text)).ok());
  }
  void submit(std::string_view binding) { EXPECT_TRUE(window().submit(fieldId(binding)).ok()); }
  void typeAndSubmit(std::string_view binding, std::string text) {
    type(binding, std::move(text));
    submit(binding);
  }

  // What every list screen does alike, as one scenario over its add field, its stored keys and its
  // delete at a position: three adds (the field emptied after each), a trash that takes every equal
  // entry, positions outside the list and a row a load has removed (nothing happens), then a load of
  // the cloud copy (taken and written back once, not again at the next Appear). What was drawn,
  // stored and written at each step, " / " between the steps.
  std::string listScenario(std::string_view field, std::string_view key, std::string_view cloudKey,
                           const std::function<Status(View&, std::int64_t)>& deleteAt) {
    std::string seen;
    auto step = [&](const std::string& what) { seen += (seen.empty() ? "" : " / ") + what; };
    for (const char* text : {"a", "b", "a"}) typeAndSubmit(field, text);
    step(rows() + " [" + findElement(window().tree(), fieldId(field))->binding()->get() + "] " +
         cloudWrites());
    EXPECT_TRUE(tapTrash(0).ok());
    const std::string one = local(key);
    step(rows() + " " + one + " " + cloudWrites());
    typeAndSubmit(field, "c");
    cloudWrites();
    // The trash action of the second row as drawn now, kept past a load of the cloud copy set to `one` (a
    // tap on a row that the load has just removed); the load's writes are dropped.
    FoundElement trash = findElement(window().tree(), imageId(1, "trash"));
    if (!trash) return seen + " / (no trash icon)";
    Action stale = trash->modifier<OnTapGesture>()->action;
    setCloud(cloudKey, one);
    foreground();
    cloudWrites();
    perform(stale);
    for (std::int64_t position : {7, -1}) perform([&] { return deleteAt(view(), position); });
    step(rows() + " " + local(key) + " [" + cloudWrites() + "] " + std::to_string(tapTrash(5).ok()));
    setCloud(cloudKey, "");
    foreground();
    step("[" + rows() + "] " + local(key) + " " + cloudWrites());
    appear();
    step("[" + cloudWrites() + "]");
    return seen;
  }

  TempFolder temp_;
  std::filesystem::path home_ = temp_.path();
  std::shared_ptr<SettingsStore> settings_;
  std::shared_ptr<RecordingCloudStore> cloud_ = std::make_shared<RecordingCloudStore>();
  std::shared_ptr<Device> device_ = std::make_shared<Device>(Idiom::phone);
  std::optional<View> view_;
  std::unique_ptr<Window> window_;
};

}  // namespace quillbox::test
