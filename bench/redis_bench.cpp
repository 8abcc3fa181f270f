// Load and save of a 10k-entry list string (about 210 KB) through the Redis cloud store, on a redis-server
// of the benchmark's own on loopback, beside two neighbours: plain hiredis GET/SET on one kept connection
// (the floor: what the store's durable local copy adds shows as the difference), and the folder store.
// RedisStoreLoadOffline reads while the server is away, from the local copy alone.

#include <benchmark/benchmark.h>
#include <hiredis/hiredis.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/list_string.h"
#include "platform/sync/cloud_store.h"
#include "platform/transports/cloud_store_spec.h"
#include "platform/transports/redis_test_server.h"
#include "platform/transports/redis_transport.h"

namespace {

using quillbox::CloudStore;

constexpr int kEntries = 10000;
constexpr std::string_view kKey = "notesFromCloud";

const std::string& listString() {
  static const std::string text = [] {
    std::string stored;
    for (int i = 0; i < kEntries; ++i)
      stored.append("n" + std::to_string(100000 + i)).append(quillbox::kItemSeparator);
    return stored;
  }();
  return text;
}

struct Bench {
  Bench() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillbox-redis-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    homes = pattern;
  }
  ~Bench() {
    server.reset();
    std::error_code ignored;
    std::filesystem::remove_all(homes, ignored);
  }

  std::unique_ptr<CloudStore> store(const std::string& address, const std::string& home) {
    auto made = quillbox::makeCloudStore(quillbox::CloudOptions(address), homes / home);
    if (!made.ok()) throw std::runtime_error(made.status().message());
    return std::move(made.value());
  }

  std::filesystem::path homes;
  std::unique_ptr<quillbox::RedisTestServer> server = std::make_unique<quillbox::RedisTestServer>();
};

Bench& bench() {
  static Bench instance;
  return instance;
}

void check(CloudStore& store, benchmark::State& state) {
  if (!store.health().ok()) state.SkipWithError(store.health().message().c_str());
}

void RedisStoreSave(benchmark::State& state) {
  auto store = bench().store(bench().server->address(), "save");
  for (auto _ : state) benchmark::DoNotOptimize(store->setString(listString(), kKey));
  check(*store, state);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(listString().size()));
}
BENCHMARK(RedisStoreSave)->Unit(benchmark::kMicrosecond);

void RedisStoreLoad(benchmark::State& state) {
  auto store = bench().store(bench().server->address(), "load");
  benchmark::DoNotOptimize(store->setString(listString(), kKey));
  for (auto _ : state) benchmark::DoNotOptimize(store->stringForKey(kKey));
  check(*store, state);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(listString().size()));
}
BENCHMARK(RedisStoreLoad)->Unit(benchmark::kMicrosecond);

// A screen's load: the value and whether an unsent write waits to be merged onto it.
void RedisStoreLoadCopy(benchmark::State& state) {
  auto store = bench().store(bench().server->address(), "loadcopy");
  benchmark::DoNotOptimize(store->setString(listString(), kKey));
  for (auto _ : state) benchmark::DoNotOptimize(store->loadCopy(kKey));
  check(*store, state);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(listString().size()));
}
BENCHMARK(RedisStoreLoadCopy)->Unit(benchmark::kMicrosecond);

void RedisStoreLoadOffline(benchmark::State& state) {
  // A port nobody listens on: the first read fails at once, the rest come from the local copy.
  auto store = bench().store("redis://127.0.0.1:1", "offline");
  benchmark::DoNotOptimize(store->setString(listString(), kKey));
  for (auto _ : state) benchmark::DoNotOptimize(store->stringForKey(kKey));
  if (store->stringForKey(kKey) != listString()) state.SkipWithError("the local copy did not answer");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(listString().size()));
}
BENCHMARK(RedisStoreLoadOffline)->Unit(benchmark::kMicrosecond);

struct PlainConnection {
  PlainConnection() {
    timeval timeout{1, 0};
    context = redisConnectWithTimeout("127.0.0.1", bench().server->port(), timeout);
    if (!context || context->err) throw std::runtime_error("cannot reach the benchmark's redis-server");
  }
  ~PlainConnection() { redisFree(context); }
  redisReply* run(const char* format, const std::string& value = "") {
    return static_cast<redisReply*>(
        redisCommand(context, format, "quillbox:plain", std::size_t{14}, value.data(), value.size()));
  }
  redisContext* context;
};

void PlainHiredisSet(benchmark::State& state) {
  PlainConnection connection;
  for (auto _ : state) freeReplyObject(connection.run("SET %b %b", listString()));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(listString().size()));
}
BENCHMARK(PlainHiredisSet)->Unit(benchmark::kMicrosecond);

void PlainHiredisGet(benchmark::State& state) {
  PlainConnection connection;
  freeReplyObject(connection.run("SET %b %b", listString()));
  for (auto _ : state) {
    redisReply* reply = connection.run("GET %b");
    benchmark::DoNotOptimize(std::string(reply->str, reply->len));
    freeReplyObject(reply);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(listString().size()));
}
BENCHMARK(PlainHiredisGet)->Unit(benchmark::kMicrosecond);

void FolderStoreSave(benchmark::State& state) {
  auto store = bench().store((bench().homes / "folder").string(), "folder-home");
  for (auto _ : state) benchmark::DoNotOptimize(store->setString(listString(), kKey));
  check(*store, state);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(listString().size()));
}
BENCHMARK(FolderStoreSave)->Unit(benchmark::kMicrosecond);

void FolderStoreLoad(benchmark::State& state) {
  auto store = bench().store((bench().homes / "folder").string(), "folder-home");
  benchmark::DoNotOptimize(store->setString(listString(), kKey));
  for (auto _ : state) benchmark::DoNotOptimize(store->stringForKey(kKey));
  check(*store, state);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(listString().size()));
}
BENCHMARK(FolderStoreLoad)->Unit(benchmark::kMicrosecond);

}  // namespace
