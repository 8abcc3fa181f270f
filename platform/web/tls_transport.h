#pragma once

#include <filesystem>
#include <memory>

#include "platform/status.h"
#include "platform/web/http_server.h"

namespace quillbox::web {

// The server side of TLS for the HTTP front: a certificate chain and its private key, loaded once,
// and the transport that wraps each accepted socket. The handshake runs inside the connection's
// first reads, without blocking, so it falls under the front's head deadline. TLS 1.2 or later.
class TlsContext {
 public:
  // Loads a PEM certificate chain and the PEM private key that goes with it. Fails, naming the
  // file and the reason, when either cannot be read or they do not match.
  static Result<std::shared_ptr<TlsContext>> load(const std::filesystem::path& certificate,
                                                  const std::filesystem::path& key);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // A TLS transport over the non-blocking socket fd (which the front still owns and closes). It
  // reports secure(); a client that does not speak TLS fails its first read.
  std::unique_ptr<HttpTransport> wrap(int fd) const;

 private:
  struct Impl;
  explicit TlsContext(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillbox::web
