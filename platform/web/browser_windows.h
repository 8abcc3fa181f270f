#pragma once

// The app windows that browser pages show, apart from HTTP: each page's window, the socket its
// trees go out on, the trees it was sent, and how many may be open. Main queue only.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/device.h"
#include "platform/page/web_tree.h"
#include "platform/view/window.h"
#include "platform/web/http_server.h"

namespace quillbox::web {

using Clock = std::chrono::steady_clock;

// 128 random bits in hex: the id of a window, not to be guessed by another page.
std::string randomId();

// A page's socket: its window's events come up it, and its window's trees go down it.
struct Channel {
  std::shared_ptr<HttpSocket> socket;

  bool open() const { return socket && !socket->closed(); }
};

// One page's app window, the socket its trees go out on, and what the page was fed of them (the
// mirror, the trees the person may be looking at when an event arrives, the last event run).
struct BrowserWindow : TreeFeed {
  std::string id;
  std::unique_ptr<Window> window;
  std::uint64_t seenRevision = 0;  // the window's revision when it was last marked
  bool dirty = false;              // the socket is owed the tree's change
  std::shared_ptr<Channel> channel;
  Clock::time_point detached = Clock::now();  // when it last had no socket

  bool attached() const { return channel && channel->open(); }
  // Since when the browser has been away.
  Clock::time_point awaySince() const;
};

class BrowserWindows {
 public:
  using MakeWindow = std::function<std::unique_ptr<Window>(Idiom)>;

  // At most maxWindows with a socket, and maxIdleWindows more whose browser is away (the one away
  // longest makes room for a new one).
  BrowserWindows(MakeWindow make, std::size_t maxWindows, std::size_t maxIdleWindows);

  // A new window, opened; nothing, and why in error, when too many are open or the app makes none.
  std::shared_ptr<BrowserWindow> open(Idiom idiom, std::string& error);
  // The window of that id, taken up again (it picks up what changed meanwhile), or a new one when
  // there is none by that id.
  std::shared_ptr<BrowserWindow> takeUp(const std::string& id, Idiom idiom, std::string& error);
  BrowserWindow* find(const std::string& id);
  std::size_t size() const { return windows_.size(); }

  // The window's trees go out on channel from now on, starting with the whole tree; the socket it
  // had before ends (another tab took the window up).
  void attach(BrowserWindow& window, const std::shared_ptr<Channel>& channel);
  // The window's socket ends, and the window waits for its page to come back.
  void detach(BrowserWindow& window);

  // Every attached window that is owed its tree's change is sent it, with the status line. True
  // when a tree held rows back: those windows are owed the rest, by another call.
  bool sendChanges(const std::string& status);
  // After an event of origin (nullptr: another process's write): every window whose browser is
  // there picks up what it wrote; one whose browser is away does so when it comes back.
  void afterEvent(BrowserWindow* origin);
  // Every window is owed its tree again (the status line changed).
  void markAllChanged();
  // Closes the windows whose browser has been away longer than keepIdle.
  void closeIdle(Clock::time_point now, Clock::duration keepIdle);
  void clear() { windows_.clear(); }

 private:
  std::string takeMessage(BrowserWindow& window, const std::string& status);

  MakeWindow make_;
  std::size_t maxWindows_;
  std::size_t maxIdleWindows_;
  std::map<std::string, std::shared_ptr<BrowserWindow>> windows_;
};

}  // namespace quillbox::web
