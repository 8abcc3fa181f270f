#pragma once

// The model of the paired phone, as its Web Worker runs it: one window over the settings store and the
// outbox in the browser's storage, its trees and event answers in the web page's own formats (the page
// draws them with the renderer it uses for the server's), and the outbox's traffic with the server's
// cloud endpoint, which the worker carries out with fetch between events.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/browser/worker_transport.h"
#include "platform/environment.h"
#include "platform/page/web_tree.h"
#include "platform/status.h"
#include "platform/store/settings_store.h"
#include "platform/sync/outbox.h"
#include "platform/sync/outbox_cloud_store.h"
#include "platform/view/window.h"

namespace quillbox {

class DeviceSession {
 public:
  // How the server was last found by the worker.
  enum class Network { unknown, reachable, unreachable, revoked };

  using MakeWindow = std::function<std::unique_ptr<Window>(const Environment&)>;

  // Opens the stores in home and the app's window for idiom, syncing through server's /cloud/v1/.
  static Result<std::unique_ptr<DeviceSession>> open(const std::filesystem::path& home, Idiom idiom,
                                                     std::string server, const MakeWindow& makeWindow);

  // How an event went, in the web server's codes: 200, 400 (not an event), 409 (stale: the
  // new tree follows), 503 (a store could not be read or written) or 403; error says why.
  struct Answer {
    int status = 200;
    std::string error;
  };
  // Runs one event of the page (the JSON the page sends its window). Its writes are durable when it
  // returns.
  Answer event(std::string_view json);
  // The page came back into view.
  void foreground();

  // The tree message owed to the page (the data of the web server's "tree" event), or "" when neither
  // the tree nor the status line changed since the last and no rows the page asked for are owed (a
  // message brings a screen's worth of new rows at most).
  std::string takeTree();
  // The whole tree, as a page that was sent nothing would get it (each list's rows in view), for the
  // worker to keep as the last drawing; what the page was sent is left as it is.
  std::string drawing() const;
  std::string statusLine();

  // The writes that may go now, as the body of a conditional group for POST /cloud/v1/; "" when none
  // may. A key whose write is on its way (in a body not yet answered by sent()) sends nothing more
  // until its answer is in.
  std::string outgoing();
  // What the worker does after an answer, as the sync engine decides for its writes: go on sending what
  // waits; fetch the keys (whose loads merge this device's edits onto another device's write) and send
  // again; leave the server alone for a while; or send nothing more until paired again.
  enum class Next { send = 0, fetchAndMerge = 1, backOff = 2, stop = 3 };
  // The server's answer to the body outgoing() gave: its HTTP status (0: no answer) and body. 204, or
  // 200 with a line per write, delivers what it made, each write's value becoming its key's base; any
  // other answer changes nothing. Every body outgoing() gives is answered by one call. What to do next:
  // the gravest of its writes' (stop, then back off, then fetch and merge).
  Next sent(int httpStatus, std::string_view body);
  // What the server holds under key (nothing: 404), as fetched.
  void fetched(std::string_view key, std::optional<std::string> value);
  // After a fetch: the lists whose fetched copy differs from what the screens were built from load again
  // (merging this device's unsent edits), and the screens follow their local strings. True when any did.
  bool reloadIfChanged();
  void setNetwork(Network network, std::string reason = {});
  // The edits not yet sent: the entries the waiting writes add to or take from what the server held.
  Result<std::size_t> editsWaiting();

 private:
  DeviceSession() = default;
  void settle();  // runs what the event left on the main queue

  std::shared_ptr<SettingsStore> settings_;
  std::unique_ptr<OutboxCloudStore> cloud_;
  WorkerTransport* transport_ = nullptr;  // cloud_'s
  std::unique_ptr<Outbox> outbox_;        // the same outbox, for the worker's sending
  std::unique_ptr<Window> window_;

  web::TreeFeed feed_;  // what the page was sent
  bool dirty_ = true;
  std::uint64_t shownRevision_ = 0;
  std::string shownStatus_;

  Network network_ = Network::unknown;
  std::string networkReason_;
  std::vector<Outbox::Pending> inFlight_;  // the writes sent and not yet answered
  std::vector<std::string> changedKeys_;   // fetched since the last reload
};

}  // namespace quillbox
