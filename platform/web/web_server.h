#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/main_queue.h"
#include "platform/status.h"
#include "platform/store/settings_store.h"
#include "platform/view/window.h"
#include "platform/web/cloud_endpoint.h"
#include "platform/web/http_server.h"
#include "platform/web/web_security.h"

namespace quillbox::web {

struct WebServerOptions {
  ListenAddress listen{"127.0.0.1", 8080};
  // The secret the page's socket must carry, on loopback too (in Sec-WebSocket-Protocol, see
  // socketToken). start() fails without one.
  std::string token;
  // Further names this machine answers to, for a server off loopback (see RequestGuard).
  std::vector<std::string> machineNames;
  // The origins ("https://HOST[:PORT]") devices use to reach this server from elsewhere, such as
  // through a reverse proxy (`serve --public-origin`): the page, its socket and /device/ answer to them.
  std::vector<std::string> publicOrigins;
  // A new window of the app for a browser window on a device of that idiom. Called on the main
  // queue.
  std::function<std::unique_ptr<Window>(Idiom)> makeWindow;
  // The idiom of a browser that does not say.
  Idiom defaultIdiom = Idiom::phone;
  // The store the windows share: polled for other processes' writes. May be null.
  std::shared_ptr<SettingsStore> store;
  // Runs on the main queue at every poll (a cloud store's deferred writes, for one).
  std::function<void()> tick;
  // A line every window shows while it is not empty (a cloud store's trouble). Asked on the main
  // queue at every poll.
  std::function<std::string()> statusLine;

  // The cloud endpoint for the person's devices, under /cloud/v1/; none when null.
  std::shared_ptr<CloudEndpoint> cloud;

  // The HTTP front's limits and deadlines (body limit, connection bounds, timeouts); its address,
  // callbacks and common headers are the server's own.
  HttpServerOptions http;
  std::size_t maxWindows = 32;      // windows with an open socket
  std::size_t maxIdleWindows = 16;  // windows kept while their browser is away
  std::chrono::milliseconds pollInterval{200};
  std::chrono::seconds keepIdle{900};  // how long a window outlives its socket
};

// The app for browsers: the page and its script, one app window per browser tab, and the events
// that drive them, over one WebSocket a tab.
//
//   GET  /                    the page (and /app.js and its other scripts, /app.css, /icon.svg): they
//                             hold no lists, and are served to anyone whose Host names this server.
//                             /?token=T (the address an older version printed) moves to /#token=T.
//   GET  /api/socket          the page's WebSocket, offered the subprotocols "quillbox" and
//                             "quillbox.token." followed by the token (see socketToken); the answer
//                             names "quillbox". ?idiom=phone|pad opens a new window on it; ?window=ID
//                             takes that window up again (a new one when it is gone), and ends the
//                             socket it had. Down it go the window's trees, {"window", "rev", "ack",
//                             "full", "status", "nodes": [element records, see web_tree.h]}, the whole
//                             tree first and when full, else the elements that are new or changed;
//                             and one answer for each event, after the tree that follows it:
//                             {"answer": seq, "status": S} with "error" for a failure, S as an HTTP
//                             status: 204 done; 400 malformed; 409 when it names no element that
//                             takes it, or a tap on a row that changed after the tree the person saw;
//                             503 when the event's operation failed because a store could not be
//                             read or written. Up it come events (see web_events.h), run in order;
//                             one over the body limit closes the socket.
//
//   /cloud/v1/...             the cloud endpoint (see CloudEndpoint), when the server has one: its
//                             requests carry a device token instead, and pass its checks alone.
//
// Every other request is refused (403), from its head alone and before anything else is done, and
// so is every request whose Host header does not name this server, and a socket without the token
// or opened from another site. Every answer carries a Content-Security-Policy that allows only the
// app's own script and style.
//
// Everything a window does runs on the main queue, one at a time; the HTTP front's workers only
// post to it and wait, and the sockets are handed what to send. After each event every open window
// picks up the store's changes, and each window whose tree changed is sent the change. Other processes'
// writes are picked up at every poll.
class WebServer {
 public:
  // queue must outlive the server and run (or be run) for requests to be answered.
  WebServer(WebServerOptions options, MainQueue& queue);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Binds the address and starts serving on threads of its own. Fails, naming the address, when
  // it cannot be bound, and when there is no token.
  Status start();

  // The port bound (the one the system picked for port 0). 0 before start().
  int port() const;

  // Ends every socket, stops listening and waits for the server's threads. The queue must
  // still be running or stopped, not blocked. Safe to call more than once.
  void stop();

  // How many app windows are open (waits for the main queue).
  std::size_t windowCount();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillbox::web
