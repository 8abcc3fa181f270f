// The entry of the WebAssembly build: the C functions device-worker.js calls on the model it runs for
// the paired phone (see platform/browser/device_session.h). Strings go in as NUL-terminated UTF-8, bytes
// as a pointer and a size; what comes back stays valid until the next call.
#include <emscripten.h>

#include <memory>
#include <string>

#include "app/content_view.h"
#include "platform/browser/device_session.h"

namespace {

using quillbox::DeviceSession;

std::unique_ptr<DeviceSession> session;
std::string result;  // what the last call gave back
std::string error;   // why the last call failed

const char* give(std::string text) {
  result = std::move(text);
  return result.c_str();
}

}  // namespace

extern "C" {

// Opens the stores in /quillbox and the window; 0, or -1 and qb_error() says why.
EMSCRIPTEN_KEEPALIVE int qb_open(const char* idiom, const char* server) {
  quillbox::Idiom parsed = quillbox::Idiom::phone;
  if (!quillbox::parseIdiom(idiom, &parsed)) parsed = quillbox::Idiom::phone;
  auto made = DeviceSession::open("/quillbox", parsed, server, [](const quillbox::Environment& env) {
    return quillbox::QuillboxApp().makeWindow(env);
  });
  if (!made.ok()) {
    error = made.status().message();
    return -1;
  }
  session = std::move(made).value();
  return 0;
}

EMSCRIPTEN_KEEPALIVE const char* qb_error() { return error.c_str(); }

// Runs an event (the JSON the page sends its window): the status the web server would answer;
// qb_error() says why when it is not 200.
EMSCRIPTEN_KEEPALIVE int qb_event(const char* json) {
  DeviceSession::Answer answer = session->event(json);
  error = std::move(answer.error);
  return answer.status;
}

EMSCRIPTEN_KEEPALIVE void qb_foreground() { session->foreground(); }

// The tree message owed to the page, or "".
EMSCRIPTEN_KEEPALIVE const char* qb_tree() { return give(session->takeTree()); }

// The whole tree, for the worker to keep as the last drawing.
EMSCRIPTEN_KEEPALIVE const char* qb_drawing() { return give(session->drawing()); }

// The body of the writes to send, qb_size() bytes long (0: none wait).
EMSCRIPTEN_KEEPALIVE const char* qb_outgoing() { return give(session->outgoing()); }
EMSCRIPTEN_KEEPALIVE int qb_size() { return static_cast<int>(result.size()); }

// What the worker does next (DeviceSession::Next).
EMSCRIPTEN_KEEPALIVE int qb_sent(int status, const char* body, int size) {
  return static_cast<int>(session->sent(status, std::string_view(body, static_cast<std::size_t>(size))));
}

// What the server holds under key: size bytes at value, or nothing when present is 0.
EMSCRIPTEN_KEEPALIVE void qb_fetched(const char* key, int present, const char* value, int size) {
  std::optional<std::string> held;
  if (present != 0) held.emplace(value, static_cast<std::size_t>(size));
  session->fetched(key, std::move(held));
}

// 1 when the screens loaded again because a fetched copy differed.
EMSCRIPTEN_KEEPALIVE int qb_reload() { return session->reloadIfChanged() ? 1 : 0; }

// 1 reachable, 2 unreachable, 3 revoked.
EMSCRIPTEN_KEEPALIVE void qb_network(int state) {
  session->setNetwork(state == 1   ? DeviceSession::Network::reachable
                      : state == 2 ? DeviceSession::Network::unreachable
                      : state == 3 ? DeviceSession::Network::revoked
                                   : DeviceSession::Network::unknown);
}

}  // extern "C"

int main() { return 0; }
