#include "platform/web/browser_windows.h"

#include <iterator>
#include <random>

namespace quillbox::web {

std::string randomId() {
  std::random_device device;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 4; ++i) {
    std::uint32_t word = device();
    for (int b = 0; b < 8; ++b) id += kHex[(word >> (4 * b)) & 0xf];
  }
  return id;
}

Clock::time_point BrowserWindow::awaySince() const {
  return channel && channel->socket->closed() ? channel->socket->closedAt() : detached;
}

BrowserWindows::BrowserWindows(MakeWindow make, std::size_t maxWindows, std::size_t maxIdleWindows)
    : make_(std::move(make)), maxWindows_(maxWindows), maxIdleWindows_(maxIdleWindows) {}

std::shared_ptr<BrowserWindow> BrowserWindows::open(Idiom idiom, std::string& error) {
  std::size_t attached = 0;
  std::shared_ptr<BrowserWindow> oldestIdle;
  for (auto& [id, window] : windows_) {
    if (window->attached()) {
      ++attached;
    } else if (!oldestIdle || window->awaySince() < oldestIdle->awaySince()) {
      oldestIdle = window;
    }
  }
  if (attached >= maxWindows_) {
    error = "too many windows are open";
    return nullptr;
  }
  if (windows_.size() >= maxWindows_ + maxIdleWindows_ && oldestIdle) windows_.erase(oldestIdle->id);
  if (!make_) {
    error = "the app makes no windows";
    return nullptr;
  }
  auto made = std::make_shared<BrowserWindow>();
  made->id = randomId();
  made->window = make_(idiom);
  if (!made->window) {
    error = "the app made no window";
    return nullptr;
  }
  // A store that cannot be read shows in the status line; the window opens all the same.
  (void)made->window->open();
  made->seenRevision = made->window->revision();
  windows_.emplace(made->id, made);
  // Opening ran the first tab's Appear, which may have changed the store for the others.
  afterEvent(made.get());
  return made;
}

std::shared_ptr<BrowserWindow> BrowserWindows::takeUp(const std::string& id, Idiom idiom,
                                                      std::string& error) {
  auto it = id.empty() ? windows_.end() : windows_.find(id);
  if (it == windows_.end()) return open(idiom, error);
  it->second->window->refresh();
  it->second->seenRevision = it->second->window->revision();
  return it->second;
}

BrowserWindow* BrowserWindows::find(const std::string& id) {
  auto it = windows_.find(id);
  return it == windows_.end() ? nullptr : it->second.get();
}

void BrowserWindows::attach(BrowserWindow& window, const std::shared_ptr<Channel>& channel) {
  if (window.channel && window.channel != channel) window.channel->socket->end();
  window.channel = channel;
  window.needFull = true;
  window.dirty = true;
}

void BrowserWindows::detach(BrowserWindow& window) {
  if (window.channel) window.channel->socket->end();
  window.channel.reset();
  window.detached = Clock::now();
}

bool BrowserWindows::sendChanges(const std::string& status) {
  bool owed = false;
  // A window whose browser is away is sent its whole tree when it comes back.
  for (auto& [id, window] : windows_) {
    if (!window->dirty || !window->attached()) continue;
    window->dirty = false;
    if (!window->channel->socket->send(window->takeMessage(window->id, *window->window, status))) {
      window->needFull = true;
    } else if (window->mirror.owesRows()) {
      window->dirty = true;
      owed = true;
    }
  }
  return owed;
}

void BrowserWindows::afterEvent(BrowserWindow* origin) {
  for (auto& [id, window] : windows_) {
    if (window.get() != origin && window->attached()) window->window->refresh();
  }
  if (origin != nullptr) origin->dirty = true;
  for (auto& [id, window] : windows_) {
    if (window->window->revision() != window->seenRevision) {
      window->seenRevision = window->window->revision();
      window->dirty = true;
    }
  }
}

void BrowserWindows::markAllChanged() {
  for (auto& [id, window] : windows_) window->dirty = true;
}

void BrowserWindows::closeIdle(Clock::time_point now, Clock::duration keepIdle) {
  for (auto it = windows_.begin(); it != windows_.end();) {
    const BrowserWindow& window = *it->second;
    bool expired = !window.attached() && now - window.awaySince() > keepIdle;
    it = expired ? windows_.erase(it) : std::next(it);
  }
}

}  // namespace quillbox::web
