#include "platform/web/tls_transport.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

namespace quillbox::web {

namespace {

std::string sslReason() {
  unsigned long code = ERR_get_error();
  const char* reason = code == 0 ? nullptr : ERR_reason_error_string(code);
  ERR_clear_error();
  return reason ? reason : "unknown reason";
}

// A socket BIO whose writes never raise SIGPIPE when the client has gone (send with MSG_NOSIGNAL),
// so a process that serves TLS need not ignore the signal.
int writeWithoutSignal(BIO* bio, const char* data, int size) {
  int fd = -1;
  BIO_get_fd(bio, &fd);
  ssize_t written = ::send(fd, data, static_cast<std::size_t>(size), MSG_NOSIGNAL);
  BIO_clear_retry_flags(bio);
  if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
  return static_cast<int>(written);
}

const BIO_METHOD* quietSocket() {
  static const BIO_METHOD* method = [] {
    const BIO_METHOD* socket = BIO_s_socket();
    BIO_METHOD* made =
        BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "quiet socket");
    if (!made) return socket;
    BIO_meth_set_write(made, writeWithoutSignal);
    BIO_meth_set_read(made, BIO_meth_get_read(socket));
    BIO_meth_set_puts(made, BIO_meth_get_puts(socket));
    BIO_meth_set_ctrl(made, BIO_meth_get_ctrl(socket));
    BIO_meth_set_create(made, BIO_meth_get_create(socket));
    BIO_meth_set_destroy(made, BIO_meth_get_destroy(socket));
    return static_cast<const BIO_METHOD*>(made);
  }();
  return method;
}

class TlsTransport : public HttpTransport {
 public:
  explicit TlsTransport(SSL* ssl) : ssl_(ssl) {}
  ~TlsTransport() override {
    if (ssl_) SSL_free(ssl_);
  }
  TlsTransport(const TlsTransport&) = delete;
  TlsTransport& operator=(const TlsTransport&) = delete;

  long read(char* data, std::size_t size) override {
    if (!ssl_) return kFailed;
    ERR_clear_error();
    int n = SSL_read(ssl_, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
    return n > 0 ? n : outcome(n);
  }
  long write(const char* data, std::size_t size) override {
    if (!ssl_) return kFailed;
    if (size == 0) return 0;
    ERR_clear_error();
    int n = SSL_write(ssl_, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
    return n > 0 ? n : outcome(n);
  }
  bool secure() const override { return true; }
  bool buffered() const override { return ssl_ && SSL_pending(ssl_) > 0; }

 private:
  long outcome(int result) {
    switch (SSL_get_error(ssl_, result)) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        return kWouldBlock;
      case SSL_ERROR_ZERO_RETURN:
        return 0;
      case SSL_ERROR_SYSCALL:
        if (errno == EAGAIN || errno == EINTR) return kWouldBlock;
        return result == 0 ? 0 : kFailed;
      default:
        ERR_clear_error();
        return kFailed;
    }
  }

  SSL* ssl_;
};

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
  // The front may hand a write the rest of a longer buffer than before, at another address.
  SSL_CTX_set_mode(impl->context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (SSL_CTX_use_certificate_chain_file(impl->context, certificate.c_str()) != 1)
    return Status::Error("cannot read the TLS certificate " + certificate.string() + ": " + sslReason());
  if (SSL_CTX_use_PrivateKey_file(impl->context, key.c_str(), SSL_FILETYPE_PEM) != 1)
    return Status::Error("cannot read the TLS key " + key.string() + ": " + sslReason());
  if (SSL_CTX_check_private_key(impl->context) != 1)
    return Status::Error("the TLS key " + key.string() + " does not go with the certificate " +
                         certificate.string());
  return std::shared_ptr<TlsContext>(new TlsContext(std::move(impl)));
}

std::unique_ptr<HttpTransport> TlsContext::wrap(int fd) const {
  SSL* ssl = SSL_new(impl_->context);
  BIO* bio = ssl ? BIO_new(quietSocket()) : nullptr;
  if (bio) {
    BIO_set_fd(bio, fd, BIO_NOCLOSE);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_accept_state(ssl);
  } else if (ssl) {
    SSL_free(ssl);
    ssl = nullptr;
  }
  return std::make_unique<TlsTransport>(ssl);
}

}  // namespace quillbox::web
