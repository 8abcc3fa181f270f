#pragma once

#include <filesystem>
#include <memory>

#include "platform/status.h"

struct ssl_ctx_st;

namespace quillbox::web {

// The server side of TLS for the HTTP front (HttpServerOptions::tls): a certificate chain and its
// private key, loaded once. TLS 1.2 or later.
class TlsContext {
 public:
  // Loads a PEM certificate chain and the PEM private key that goes with it. Fails, naming the
  // file and the reason, when either cannot be read or they do not match.
  static Result<std::shared_ptr<TlsContext>> load(const std::filesystem::path& certificate,
                                                  const std::filesystem::path& key);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // OpenSSL's context, owned by this object (a user that keeps it takes a reference of its own).
  ssl_ctx_st* native() const;

 private:
  struct Impl;
  explicit TlsContext(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillbox::web
