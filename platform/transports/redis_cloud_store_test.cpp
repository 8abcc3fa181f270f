#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "platform/sync/outbox_cloud_store.h"
#include "platform/temp_folder_test_support.h"
#include "platform/transports/cloud_store_spec.h"
#include "platform/transports/redis_address.h"
#include "platform/transports/redis_test_server.h"

namespace quillbox {
namespace {

// ---------------------------------------------------------------------------------------------
// Addresses

std::string parsed(std::string_view text) {
  Result<RedisAddress> address = parseRedisAddress(text);
  if (!address.ok()) return address.status().message();
  const RedisAddress& a = address.value();
  std::string out = a.isUnixSocket ? "unix " + a.socketPath : "tcp " + a.host + " " + std::to_string(a.port);
  out += " db=" + std::to_string(a.db) + " ns=" + a.nameSpace + " timeout=" + std::to_string(a.timeoutMs);
  if (a.user) out += " user=" + *a.user;
  if (a.password) out += " password=" + *a.password;
  return out + " | " + a.masked();
}

TEST(RedisAddressTest, ReadsServerAddressesWithTheirDefaults) {
  EXPECT_EQ(parsed("redis://localhost"),
            "tcp localhost 6379 db=0 ns=quillbox timeout=250 | redis://localhost:6379/0?namespace=quillbox");
  EXPECT_EQ(parsed("REDIS://10.0.0.7:6380/"),
            "tcp 10.0.0.7 6380 db=0 ns=quillbox timeout=250 | redis://10.0.0.7:6380/0?namespace=quillbox");
  EXPECT_EQ(parsed("redis://al%69ce:p%40ss:w%2F@[::1]:6390/3?namespace=alice&timeout_ms=90"),
            "tcp ::1 6390 db=3 ns=alice timeout=90 user=alice password=p@ss:w/ | "
            "redis://alice:****@[::1]:6390/3?namespace=alice&timeout_ms=90");
  EXPECT_EQ(parsed("redis://:secret@host?&namespace=a.b-c_d&"),
            "tcp host 6379 db=0 ns=a.b-c_d timeout=250 password=secret | "
            "redis://:****@host:6379/0?namespace=a.b-c_d");
  EXPECT_EQ(parsed("unix:///run/redis/redis.sock"),
            "unix /run/redis/redis.sock db=0 ns=quillbox timeout=250 | "
            "unix:///run/redis/redis.sock?namespace=quillbox");
  EXPECT_EQ(parsed("unix://bob:pw@/tmp/a%20b.sock?db=2&namespace=bob"),
            "unix /tmp/a b.sock db=2 ns=bob timeout=250 user=bob password=pw | "
            "unix://bob:****@/tmp/a%20b.sock?namespace=bob&db=2");
}

TEST(RedisAddressTest, RefusesMalformedAddressesAndMasksWhateverCouldBeAPassword) {
  // Each address, then the reason; a password ("s3...") is shown as "****".
  const std::pair<std::string, const char*> cases[] = {
      {"localhost:6379", "it must begin with redis:// or unix://"},
      {"http://u:s3cret@h", "the scheme must be redis:// or unix://"},
      {"rediss://h", "TLS (rediss://) is not supported; use redis:// or unix://"},
      {"redis://u:s3cret@", "it names no host"},
      {"redis://u:s3cret@h:99999", "the port \"99999\" is not a number from 1 to 65535"},
      {"redis://h:", "the port \"\" is not a number from 1 to 65535"},
      {"redis://h/x1", "the database \"x1\" is not a number from 0"},
      {"redis://u:s3%zzcret@h", "a '%' in the user name or password is not followed by two hex digits"},
      {"redis://u:s3cr/et@h", "unexpected '@' after the host (write it as %40 in a user name or password)"},
      {"redis://u:s3c#ret@h", "'#' has no place in it (write it as %23 in a user name or password)"},
      {"redis://h?namespace=a:b", "the namespace must be 1 to 100 letters, digits, '_', '-' or '.'"},
      {"redis://h?namespace=", "the namespace must be 1 to 100 letters, digits, '_', '-' or '.'"},
      {"redis://h?namespace=a&namespace=b", "the parameter \"namespace\" is given twice"},
      {"redis://h?timeout_ms=0", "timeout_ms must be a number of milliseconds from 1 to 60000"},
      {"redis://h?namesapce=a", "unknown parameter \"namesapce\" (known: namespace, timeout_ms)"},
      {"redis://h?db=1", "unknown parameter \"db\" (known: namespace, timeout_ms)"},
      {"unix://tmp/r.sock", "a Unix socket address is unix:///absolute/path/to/socket"},
      {"unix:///tmp/", "it names no socket file"},
      {"redis://[::1", "an IPv6 address in '[' has no closing ']'"},
      {"redis://bad host", "\"bad host\" is not a host name or address"},
      {"unix:///" + std::string(120, 'x'), "the socket path is longer than 107 bytes"},
  };
  for (const auto& [address, reason] : cases) {
    EXPECT_EQ(parsed(address), "bad Redis address \"" +
                                   std::regex_replace(address, std::regex(":s3[^@]*@"), ":****@") +
                                   "\": " + reason);
  }
  EXPECT_EQ(maskRedisAddress("redis://alice@h") + " " + maskRedisAddress("redis://u:p@ss@h?x") + " " +
                maskRedisAddress("u:s3cret@h") + " " + maskRedisAddress("redis://h:6379"),
            "redis://alice@h redis://u:****@h?x u:****@h redis://h:6379");
}

// ---------------------------------------------------------------------------------------------
// The store against a real server

constexpr std::string_view kNotes = "notesFromCloud";
constexpr std::string_view kTasks = "tasksFromCloud";

class RedisCloudStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!RedisTestServer::available()) GTEST_SKIP() << RedisTestServer::kServerPath << " is missing";
    server_ = std::make_unique<RedisTestServer>();  // a test may start another in its place
  }

  // A device: a store on its own home (a fresh object each time, as a new process would make), on the
  // test server's address with credentials and a path or query.
  OutboxCloudStore& device(const std::string& name, const std::string& credentials = "",
                           const std::string& rest = "") {
    std::string address = server_->address() + rest;
    if (!credentials.empty()) address.insert(address.find("://") + 3, credentials + "@");
    Result<std::unique_ptr<CloudStore>> made = makeCloudStore(CloudOptions(address), homes_.path() / name);
    if (!made.ok()) throw std::runtime_error(made.status().message());
    return *devices_.emplace_back(std::move(made.value()))->outbox();
  }

  static void write(CloudStore& store, std::string_view value, std::string_view key) {
    Status kept = store.setString(value, key);
    EXPECT_TRUE(kept.ok()) << kept.message();
  }

  static std::string read(CloudStore& store, std::string_view key) {
    return store.stringForKey(key).value_or("(nothing)");
  }

  static std::string pending(const OutboxCloudStore& store) {
    std::string out;
    for (const std::string& key : store.pendingKeys()) out += (out.empty() ? "" : ",") + key;
    return out.empty() ? "(none)" : out;
  }

  TempFolder homes_;
  std::unique_ptr<RedisTestServer> server_;
  std::vector<std::unique_ptr<CloudStore>> devices_;
};

TEST_F(RedisCloudStoreTest, AWriteOnOneDeviceIsReadOnTheOtherOfItsNamespaceAndDatabaseOnly) {
  OutboxCloudStore &a = device("A"), &b = device("B");
  OutboxCloudStore& bob = device("bob", "", "?namespace=bob");
  std::string log = read(b, kNotes) + " ";
  write(a, "milk|", kNotes);
  log += read(b, kNotes) + " | ";
  write(b, "milk|eggs|", kNotes);
  write(b, "", kTasks);
  write(bob, "b|", kNotes);
  log += read(a, kNotes) + " [" + read(a, kTasks) + "] " + read(bob, kNotes) + " " +
         server_->held("quillbox:notesFromCloud") + " " + server_->held("bob:notesFromCloud") + " " +
         pending(a) + " " + pending(b) + " " + a.health().message() + std::to_string(a.reachable()) + " " +
         a.describe();
  OutboxCloudStore& two = device("d1", "", "/1?namespace=bob");  // a database is chosen by the path
  log += " | " + read(two, kNotes) + " ";
  write(two, "two|", kNotes);
  EXPECT_EQ(log + server_->held("bob:notesFromCloud", "", 1) + " " + server_->held("bob:notesFromCloud"),
            "(nothing) milk| | milk|eggs| [] b| milk|eggs| b| (none) (none) 1 redis://127.0.0.1:" +
                std::to_string(server_->port()) + "/0?namespace=quillbox | (nothing) two| b|");
}

// A's own last write, not the server's older copy; B's copy of what it last read. Once the server is
// back (empty), the write is sent; a key the server holds nothing under is then forgotten by the copy
// too (the connection broken by a restart is replaced without a failure).
TEST_F(RedisCloudStoreTest, AnOutageKeepsTheWritePendingUntilTheServerIsBack) {
  OutboxCloudStore &a = device("A"), &b = device("B");
  write(a, "first|", kNotes);
  ASSERT_EQ(read(b, kNotes), "first|");
  server_->stop();
  write(a, "first|offline|", kNotes);
  std::string log = pending(a) + " " + read(a, kNotes) + " " + read(b, kNotes) + " " + a.health().message() +
                    " " + std::to_string(a.reachable()) + " | ";
  server_->start();
  a.flushPending(2000);
  log += pending(a) + " " + a.health().message() + " " + read(device("B"), kNotes) + " | ";
  server_->stop();
  server_->start();
  log += std::to_string(a.reachable());
  log += " " + read(a, kNotes) + " ";
  server_->stop();
  EXPECT_EQ(
      log + read(device("A"), kNotes),
      "notesFromCloud first|offline| first| cannot reach the Redis server at redis://127.0.0.1:" +
          std::to_string(server_->port()) +
          "/0?namespace=quillbox: Connection refused 0 | (none)  first|offline| | 1 (nothing) (nothing)");
}

TEST_F(RedisCloudStoreTest, ASilentServerCostsOneTimeoutThenTheLocalCopyAnswersAtOnce) {
  OutboxCloudStore &a = device("A", "", "?timeout_ms=100"), &b = device("B");
  write(a, "mine|", kNotes);
  write(b, "theirs|", kTasks);

  server_->pause();
  write(a, "mine|later|", kNotes);
  std::string log = a.health().message() + " | ";
  server_->resume();
  // Within the back-off the server is left alone: A does not see B's to-dos yet.
  log += read(a, kNotes) + " " + read(a, kTasks) + " " + pending(a) + " | ";
  a.flushPending(1000);  // tries whatever the back-off
  EXPECT_EQ(log + read(a, kTasks) + " " + pending(a) + " " + server_->held("quillbox:notesFromCloud"),
            "the Redis server at redis://127.0.0.1:" + std::to_string(server_->port()) +
                "/0?namespace=quillbox&timeout_ms=100 did not answer within 100 ms | mine|later| (nothing) "
                "notesFromCloud | theirs| (none) mine|later|");
}

// ---------------------------------------------------------------------------------------------
// Logins and permissions

// A refused login, a missing one and a denied namespace are named; the write waits. (The right
// password sending what waited: the command line's own test.)
TEST_F(RedisCloudStoreTest, ALoginOrANamespaceTheServerRefusesIsNamedAndTheWriteWaits) {
  server_ = std::make_unique<RedisTestServer>(RedisTestServer::Options{
      .unixSocket = false, .config = {"requirepass adminpw", "user alice on >alice-pw ~alice:* +@all"}});
  const std::string at = "the Redis server at redis://";
  const std::string port = "@127.0.0.1:" + std::to_string(server_->port()) + "/0?namespace=";
  OutboxCloudStore& a = device("A", "alice:wrong-pw", "?namespace=alice");
  write(a, "kept|", kNotes);
  std::string log = read(a, kNotes) + " " + pending(a) + " " + std::to_string(a.reachable()) + " ";
  OutboxCloudStore& anonymous = device("B", "", "?namespace=alice");
  log += a.health().message() + " | " + read(anonymous, kNotes) + " ";
  EXPECT_EQ(log + anonymous.health().message(),
            "kept| notesFromCloud 0 " + at + "alice:****" + port +
                "alice refused the login: WRONGPASS invalid username-password pair or user is disabled. | "
                "(nothing) " +
                at + port.substr(1) +
                "alice wants a login (give a password in the address or in "
                "$QUILLBOX_REDIS_PASSWORD): NOAUTH Authentication required.");

  write(device("admin", ":adminpw", "?namespace=bob"), "bob's|", kNotes);
  OutboxCloudStore& alice = device("alice", "alice:alice-pw", "?namespace=bob");
  const std::string denied =
      at + "alice:****" + port + "bob denies this user the keys of namespace \"bob\" (GET): NOPERM";
  log = read(alice, kNotes);
  log += " " + std::to_string(alice.health().message().starts_with(denied)) + " | ";
  write(alice, "alice's|", kNotes);
  log += read(alice, kNotes) + " " + pending(alice) + " " + server_->held("bob:notesFromCloud", "adminpw");
  alice.flushPending(1000);
  const std::string message = alice.health().message();
  EXPECT_EQ(log + " " + pending(alice) + " " +
                std::to_string(message.find("): NOPERM") != std::string::npos) +
                std::to_string(message.find("alice-pw") == std::string::npos),
            "(nothing) 1 | alice's| notesFromCloud bob's| notesFromCloud 11")
      << message;
}

// ---------------------------------------------------------------------------------------------
// Values

TEST_F(RedisCloudStoreTest, HugeAndBinaryValuesRoundTripUnchanged) {
  server_ = std::make_unique<RedisTestServer>(RedisTestServer::Options{.unixSocket = true, .config = {}});
  OutboxCloudStore &a = device("A"), &b = device("B");
  std::string entries = "a\xff\xfe|", huge;
  for (int byte = 0; byte < 256; ++byte) entries += static_cast<char>(byte);
  while (huge.size() < (10u << 20)) huge += "entry " + std::to_string(huge.size()) + " \xe2\x9c\x93|";
  write(a, entries, kNotes);
  write(a, huge, kTasks);
  auto same = [&](CloudStore& on) {
    return std::to_string(on.stringForKey(kNotes) == entries && on.stringForKey(kTasks) == huge);
  };
  const std::string log = same(b) + a.health().message();
  server_->stop();  // now both copies answer
  EXPECT_EQ(log + same(a) + same(b), "111");
}

}  // namespace
}  // namespace quillbox
