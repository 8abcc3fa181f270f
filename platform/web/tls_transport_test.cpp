#include "platform/web/tls_transport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "platform/temp_folder_test_support.h"
#include "platform/transports/https_client.h"
#include "platform/web/http_server.h"

namespace quillbox::web {
namespace {

namespace fs = std::filesystem;

// A server over TLS with a certificate made for names, and a client that trusts that certificate.
class TlsTransportTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (server_) server_->stop();
  }
  void serve(const std::string& names) {
    std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=test -addext subjectAltName=" +
        names + " -keyout " + (dir_ / "key.pem").string() + " -out " + (dir_ / "cert.pem").string() +
        " 2>/dev/null";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "the openssl command cannot make a certificate";
    HttpServerOptions options;
    options.tls = TlsContext::load(dir_ / "cert.pem", dir_ / "key.pem").value();
    options.handle = [](const HttpRequest& r) {
      return HttpResponse::text(200,
                                std::string(r.secure ? "secure " : "clear ") + std::to_string(r.body.size()));
    };
    server_ = std::make_unique<HttpServer>(options);
    ASSERT_TRUE(server_->start().ok());
  }
  // "STATUS body" of one request from a client that trusts the certificate in trusted (the test's
  // own when empty), or why it failed.
  std::string ask(const std::string& host, const std::string& body, const std::string& trusted = "cert.pem") {
    auto address = parseHttpsAddress("https://" + host + ":" + std::to_string(server_->port()) + "/");
    Result<HttpsReply> reply =
        HttpsClient::open(address.value(), (dir_ / trusted).string()).value()->request("POST", "/", {}, body);
    return reply.ok() ? std::to_string(reply->status) + " " + reply->body : reply.status().message();
  }

  TempFolder temp_;
  std::filesystem::path dir_ = temp_.path();
  std::unique_ptr<HttpServer> server_;
};

TEST_F(TlsTransportTest, OnlyACertificateForThisAddressCarriesBodiesAndOnlyWithItsOwnKey) {
  serve("IP:127.0.0.1");
  EXPECT_EQ(ask("127.0.0.1", std::string(3 << 20, 'x')), "200 secure 3145728");
  fs::copy_file(dir_ / "cert.pem", dir_ / "first.pem");
  serve("IP:127.0.0.1");  // this address's name, but not the certificate the client trusts
  EXPECT_FALSE(TlsContext::load(dir_ / "first.pem", dir_ / "key.pem").ok());
  std::string refused = ask("127.0.0.1", "x", "first.pem") + "|";
  serve("DNS:elsewhere.example");
  refused += ask("127.0.0.1", "x");
  EXPECT_EQ(std::regex_replace(refused, std::regex("[^|]*does not verify[^|]*"), "refused"),
            "refused|refused");
  EXPECT_FALSE(TlsContext::load(dir_ / "missing.pem", dir_ / "key.pem").ok());
}

}  // namespace
}  // namespace quillbox::web
