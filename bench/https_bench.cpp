// Save and load of a 10k-entry list string (about 210 KB) through the cloud endpoint of a server
// over HTTPS on loopback (TLS, the device token checked against the device list in Redis, the
// value in Redis), beside a plain Redis SET and GET of the same bytes on one kept connection: the
// difference is what the endpoint adds. The server runs in this process, on threads of its own.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/list_string.h"
#include "platform/transports/cloud_store_spec.h"
#include "platform/transports/https_transport.h"
#include "platform/transports/redis_test_server.h"
#include "platform/web/cloud_endpoint.h"
#include "platform/web/device_tokens.h"
#include "platform/web/http_server.h"
#include "platform/web/tls_transport.h"

namespace {

using namespace quillbox;

constexpr int kEntries = 10000;
constexpr std::string_view kKey = "notesFromCloud";

const std::string& listString() {
  static const std::string text = [] {
    std::string stored;
    for (int i = 0; i < kEntries; ++i) stored.append("n" + std::to_string(100000 + i)).append(kItemSeparator);
    return stored;
  }();
  return text;
}

template <class T>
T must(Result<T> made) {
  if (!made.ok()) throw std::runtime_error(made.status().message());
  return std::move(made.value());
}

struct Bench {
  Bench() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillbox-https-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    dir = pattern;
    std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=localhost -addext subjectAltName=IP:127.0.0.1 -keyout " +
        (dir / "key.pem").string() + " -out " + (dir / "cert.pem").string() + " 2>/dev/null";
    if (std::system(make.c_str()) != 0) throw std::runtime_error("the openssl command made no certificate");
    const std::string store = redis.address() + "/?namespace=bench";
    auto devices = std::shared_ptr<DeviceTokens>(must(DeviceTokens::forCloud(CloudOptions(store), dir)));
    std::string token = must(devices->add("bench"));
    web::CloudEndpointOptions unlimited;
    unlimited.requestsPerSecond = unlimited.requestBurst = 1e9;
    auto endpoint = std::make_shared<web::CloudEndpoint>(must(openCloudBacking(CloudOptions(store), dir)),
                                                         devices, unlimited);
    std::shared_ptr<web::TlsContext> tls = must(web::TlsContext::load(dir / "cert.pem", dir / "key.pem"));
    web::HttpServerOptions options;
    options.screen = [endpoint](const web::HttpRequest& r) { return endpoint->screen(r); };
    options.handle = [endpoint](const web::HttpRequest& r) { return endpoint->handle(r); };
    options.tls = tls;
    server = std::make_unique<web::HttpServer>(options);
    if (!server->start().ok()) throw std::runtime_error("the server did not start");
    HttpsAddress address =
        must(parseHttpsAddress("https://127.0.0.1:" + std::to_string(server->port()) + "/"));
    device = std::make_unique<HttpsTransport>(must(HttpsClient::open(address, (dir / "cert.pem").string())),
                                              token);
    plain = must(openCloudBacking(CloudOptions(store), dir));
  }
  ~Bench() {
    server->stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  std::filesystem::path dir;
  RedisTestServer redis;
  std::unique_ptr<web::HttpServer> server;
  std::unique_ptr<HttpsTransport> device;
  std::unique_ptr<CloudTransport> plain;
};

Bench& bench() {
  static Bench instance;
  return instance;
}

void BM_EndpointSave(benchmark::State& state) {
  Bench& b = bench();
  for (auto _ : state) {
    if (!b.device->set(kKey, listString()).ok()) state.SkipWithError("the save failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * listString().size()));
}
BENCHMARK(BM_EndpointSave)->Unit(benchmark::kMillisecond);

void BM_EndpointLoad(benchmark::State& state) {
  Bench& b = bench();
  (void)b.device->set(kKey, listString());
  for (auto _ : state) {
    Result<std::optional<std::string>> got = b.device->get(kKey);
    if (!got.ok() || got.value()->size() != listString().size()) state.SkipWithError("the load failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * listString().size()));
}
BENCHMARK(BM_EndpointLoad)->Unit(benchmark::kMillisecond);

void BM_RedisSet(benchmark::State& state) {
  Bench& b = bench();
  for (auto _ : state) {
    if (!b.plain->set(kKey, listString()).ok()) state.SkipWithError("SET failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * listString().size()));
}
BENCHMARK(BM_RedisSet)->Unit(benchmark::kMillisecond);

void BM_RedisGet(benchmark::State& state) {
  Bench& b = bench();
  (void)b.plain->set(kKey, listString());
  for (auto _ : state) {
    Result<std::optional<std::string>> got = b.plain->get(kKey);
    if (!got.ok() || !got.value()) state.SkipWithError("GET failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * listString().size()));
}
BENCHMARK(BM_RedisGet)->Unit(benchmark::kMillisecond);

}  // namespace
