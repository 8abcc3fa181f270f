#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/store/settings_store.h"
#include "platform/view/cell.h"
#include "platform/view/window.h"

namespace quillbox {

// Exit codes of the command line.
inline constexpr int kStoreError = 1;  // a store could not be opened or written
inline constexpr int kUsageError = 2;  // a usage error or a row that does not exist; nothing changed

// How long a closing session (a visit, or the server at its end) waits for its cloud writes to be sent.
inline constexpr int kCloudFlushMs = 1500;

// The flags every command takes.
struct GlobalOptions {
  std::optional<std::string> home;
  std::optional<std::string> cloud;
  std::optional<std::string> cloudCa;
  std::string idiom = "phone";
};

// The chosen command's work, run after parsing: ok, or the failure that ends it (exitCode).
using Command = std::function<Status()>;

// What a group of commands is given: the global flags, the streams, and the slot that receives the
// chosen command's work.
struct CommandContext {
  GlobalOptions& options;
  Command& command;
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

// The stores of one command, with the home's lock held for as long as it lives. Deferred cloud
// writes get one more, bounded, chance when it ends (before the lock is let go).
struct Session {
  std::shared_ptr<SettingsStore> store;
  SettingsStore::Lock lock;
  Environment env;
  ~Session();
};

// The cloud store's spec: --cloud, else $QUILLBOX_CLOUD, else "" (the home's folder).
std::string cloudSpec(const GlobalOptions& options);

// Opens the home, its settings store and the cloud store, and takes the home's lock, waiting a few
// seconds at most ($QUILLBOX_LOCK_WAIT_MS milliseconds when set). Fails (an io or busy failure)
// naming the path and the reason when one cannot be opened, or the holder of the lock when it was
// not let go in time.
Result<std::unique_ptr<Session>> openSession(const GlobalOptions& options);

// Ends a visit: fails (io) when the local store could not read or write a list during it (the
// message names the key, the path and the reason); else reports the cloud store's trouble once, on
// err, with the writes it keeps to send later.
Status endVisit(Session& session, std::ostream& err);

// The exit code of a command's outcome: 0 when ok; kUsageError for what the person named wrongly
// (invalid, not found, changed meanwhile); kStoreError for everything else.
int exitCode(const Status& status);

// The same failure, counted as a store's whatever its code (exit 1): for writes whose refusal is
// never the person's naming.
Status asStoreFailure(const Status& status);

// A window over one screen, opened: its Appear has loaded the screen's lists from the cloud. Fails
// when the local store could not be read or written.
template <class Screen>
Result<std::unique_ptr<Window>> openScreen(Session& session, const Screen& screen) {
  auto window =
      std::make_unique<Window>([screen] { return screen.body(); }, session.store, session.env.device);
  if (Status opened = window->open(); !opened.ok()) return opened;
  return window;
}

}  // namespace quillbox
