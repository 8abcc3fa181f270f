#include "platform/web/tls_transport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <string>

namespace quillbox::web {

namespace {

std::string sslReason() {
  unsigned long code = ERR_get_error();
  const char* reason = code == 0 ? nullptr : ERR_reason_error_string(code);
  ERR_clear_error();
  return reason ? reason : "unknown reason";
}

}  // namespace

struct TlsContext::Impl {
  SSL_CTX* context = nullptr;
  ~Impl() {
    if (context) SSL_CTX_free(context);
  }
};

TlsContext::TlsContext(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsContext::~TlsContext() = default;

Result<std::shared_ptr<TlsContext>> TlsContext::load(const std::filesystem::path& certificate,
                                                     const std::filesystem::path& key) {
  auto impl = std::make_unique<Impl>();
  impl->context = SSL_CTX_new(TLS_server_method());
  if (!impl->context) return Status::Error("cannot set up TLS: " + sslReason());
  SSL_CTX_set_min_proto_version(impl->context, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(impl->context, certificate.c_str()) != 1)
    return Status::Error("cannot read the TLS certificate " + certificate.string() + ": " + sslReason());
  if (SSL_CTX_use_PrivateKey_file(impl->context, key.c_str(), SSL_FILETYPE_PEM) != 1)
    return Status::Error("cannot read the TLS key " + key.string() + ": " + sslReason());
  if (SSL_CTX_check_private_key(impl->context) != 1)
    return Status::Error("the TLS key " + key.string() + " does not go with the certificate " +
                         certificate.string());
  return std::shared_ptr<TlsContext>(new TlsContext(std::move(impl)));
}

ssl_ctx_st* TlsContext::native() const { return impl_->context; }

}  // namespace quillbox::web
