#include "platform/web/web_security.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "platform/sync/cloud_wire.h"
#include "platform/sync/memory_transport_test_support.h"
#include "platform/temp_folder_test_support.h"
#include "platform/web/device_tokens.h"

namespace quillbox::web {
namespace {

TEST(ListenAddresses, HostAndPortAreReadAndAnythingElseIsAClearErrorAndOnlyLoopbackIsLoopback) {
  std::string seen;
  for (const char* text :
       {"127.0.0.1:8080", "0.0.0.0:0", "[::1]:9000", "localhost:65535", "127.0.0.1", "127.0.0.1:65536",
        "127.0.0.1:-1", "127.0.0.1:80x", ":8080", "::1:8080", "a b:80"}) {
    Result<ListenAddress> address = parseListenAddress(text);
    seen +=
        (address ? address->host + " " + std::to_string(address->port) : address.status().message()) + "\n";
  }
  // Only the loopback interface counts as loopback.
  for (const char* host : {"127.0.0.1", "127.9.9.9", "::1", "LOCALHOST", "0.0.0.0", "::", "192.168.1.5",
                           "128.0.0.1", "localhost.evil.com"})
    if (isLoopbackHost(host)) seen += std::string(host) + " ";
  const std::string port = "--listen: not a port from 0 to 65535: ",
                    form = "--listen wants HOST:PORT, e.g. 127.0.0.1:8080 or 0.0.0.0:8080\n";
  EXPECT_EQ(seen, "127.0.0.1 8080\n0.0.0.0 0\n::1 9000\nlocalhost 65535\n" + port + "\"\"\n" + port +
                      "\"65536\"\n" + port + "\"-1\"\n" + port + "\"80x\"\n" + form + form +
                      "--listen: not a host name: a b\n127.0.0.1 127.9.9.9 ::1 LOCALHOST ");
}

// The hosts a guard answers to, then whether it takes its token, a token one digit short, and none.
std::string allowed(const RequestGuard& guard, std::vector<std::string> hosts, const std::string& token) {
  std::string seen;
  for (const std::string& host : hosts) seen += host + (guard.hostAllowed(host) ? "=ok " : "=no ");
  for (const std::string& secret : {token, token.substr(1), std::string()})
    seen += guard.tokenMatches(secret) ? "1" : "0";
  return seen;
}

TEST(RequestGuards, ALoopbackServerAnswersOnlyToLoopbackNamesOnItsPortAndOnlyTheAppsOwnPageMaySendEvents) {
  const std::string token(64, 'b');
  EXPECT_EQ(
      allowed(RequestGuard("127.0.0.1", 8080, token),
              {"127.0.0.1:8080", "localhost:8080", "[::1]:8080", "LocalHost:8080", "127.0.0.1:8081",
               "127.0.0.1", "evil.com:8080", "192.168.1.5:8080", "", "[::1", "127.0.0.1:80:80"},
              token),
      "127.0.0.1:8080=ok localhost:8080=ok [::1]:8080=ok LocalHost:8080=ok 127.0.0.1:8081=no 127.0.0.1=no "
      "evil.com:8080=no 192.168.1.5:8080=no =no [::1=no 127.0.0.1:80:80=no 100");
  EXPECT_FALSE(RequestGuard("127.0.0.1", 8080, "").tokenMatches(""));
  // A server on the network answers to addresses and its own names, but not to other names.
  EXPECT_EQ(allowed(RequestGuard("0.0.0.0", 80, token, {"desk", "desk.local"}),
                    {"192.168.1.5", "10.0.0.2:80", "[fe80::1]:80", "desk", "DESK.local:80", "localhost",
                     "rebound.example.com", "desk.example.com", "10.0.0.2:8080"},
                    token),
            "192.168.1.5=ok 10.0.0.2:80=ok [fe80::1]:80=ok desk=ok DESK.local:80=ok localhost=ok "
            "rebound.example.com=no desk.example.com=no 10.0.0.2:8080=no 100");
  // Only the app's own page may post events or open streams, and its token is found among its protocols.
  auto from = [](const char* origin, const char* site, bool secure = false) {
    return RequestGuard::originAllowed(origin, "127.0.0.1:8080", site, secure) ? "1" : "0";
  };
  std::string seen =
      std::string(from("http://127.0.0.1:8080", "same-origin")) + from("", "same-origin") + from("", "") +
      from("http://evil.com", "cross-site") + from("https://127.0.0.1:8080", "") +
      from("https://127.0.0.1:8080", "", true) + from("http://127.0.0.1:8080", "", true) + from("null", "") +
      from("http://localhost:8080", "same-site") + from("", "cross-site") + from("", "same-site");
  for (const char* offered :
       {"quillbox, quillbox.token.abc", "quillbox.token.abc,quillbox", "quillbox, xquillbox.token.abc", ""})
    seen += " " + socketToken(offered);
  EXPECT_EQ(seen, "11100100000 abc abc  ");
}

// A file that holds no well-formed token is replaced by a new one, which is then kept, private.
TEST(TokenFile, ATokenIsMadeOncePrivateAndKeptAcrossRuns) {
  TempFolder temp;
  const std::filesystem::path& home = temp.path();
  std::ofstream(home / "web-token") << "guessable\n";
  auto state = [&] {
    Result<std::string> made = loadOrCreateToken(home);
    struct stat info {};
    ::stat((home / "web-token").c_str(), &info);
    return (made ? made.value() : made.status().message()) + " " + std::to_string(info.st_mode & 0777);
  };
  const std::string first = state();
  EXPECT_EQ(std::regex_replace(first, std::regex("^[0-9a-f]{64} "), "T "), "T 384");  // 0600
  std::filesystem::permissions(home / "web-token",
                               std::filesystem::perms::owner_read | std::filesystem::perms::others_read);
  EXPECT_EQ(state(), first);
  EXPECT_EQ(loadOrCreateToken(home / "missing" / "deeper").status().message().rfind("cannot write ", 0), 0u);
}

class DeviceTokensTest : public ::testing::Test {
 protected:
  std::string add(const std::string& name) {
    Result<std::string> token = devices_.add(name);
    return token.ok() ? token.value() : token.status().message();
  }
  // "NAME added=A seen=S|..."
  std::string listed() {
    Result<std::vector<DeviceRecord>> devices = devices_.list();
    std::string out = devices.ok() ? "" : devices.status().message();
    for (const DeviceRecord& d : devices.ok() ? devices.value() : std::vector<DeviceRecord>{})
      out += (out.empty() ? "" : "|") + d.name + " added=" + std::to_string(d.added) +
             " seen=" + std::to_string(d.lastSeen);
    return out;
  }
  std::string whose(const std::string& token) {
    Result<std::optional<std::string>> found = devices_.check(token);
    return found.ok() ? found.value().value_or("nobody") : "failed";
  }

  std::shared_ptr<MemoryBacking> backing_ = std::make_shared<MemoryBacking>();
  std::int64_t now_ = 100;
  DeviceTokens devices_{std::make_unique<MemoryTransport>(backing_), [this] { return now_; }};
};

TEST_F(DeviceTokensTest, EachDeviceHasItsOwnTokenUntilItIsRevoked) {
  const std::string phone = add("phone");
  now_ = 200;
  const std::string laptop = add("my-laptop.2");
  const std::string tooLong(41, 'a');
  std::string said = std::to_string(phone.size()) + (phone == laptop ? " same " : " ") + add("phone");
  for (const std::string bad : {"", ".hidden", "-x", "a b", "tab\t", "x/y", tooLong.c_str()})
    said += devices_.add(bad).status().code() == Status::Code::invalid ? " invalid" : " taken " + bad;
  EXPECT_EQ(said,
            "64 a device is already named phone invalid invalid invalid invalid invalid invalid invalid");
  EXPECT_EQ(backing_->values["devices"].find(phone), std::string::npos) << "the token itself is kept";
  EXPECT_EQ(whose(phone) + " " + whose(laptop) + " " + whose(std::string(64, '0')) + " " + whose("phone"),
            "phone my-laptop.2 nobody nobody");
  ASSERT_TRUE(devices_.revoke("phone").ok());
  EXPECT_EQ(devices_.revoke("phone").code(), Status::Code::notFound);
  said = whose(phone) + " " + whose(laptop);
  EXPECT_EQ(said + " " + listed(), "nobody my-laptop.2 my-laptop.2 added=200 seen=200");
}

TEST_F(DeviceTokensTest, LastSeenIsWrittenAtMostOncePerIntervalAndAListThatCannotBeReadIsNeverWrittenOver) {
  const std::string phone = add("phone");
  for (int i = 0; i < 5; ++i) (void)whose(phone);
  now_ += DeviceTokens::kSeenEvery.count() - 1;
  std::string seen = whose(phone);
  seen += " " + listed();
  now_ += 1;
  seen += " " + whose(phone);
  EXPECT_EQ(seen + " " + listed(), "phone phone added=100 seen=100 phone phone added=100 seen=160");

  backing_->values["devices"] = "phone not-a-digest 5\n";
  EXPECT_EQ(devices_.add("laptop").status().code(), Status::Code::io);
  EXPECT_EQ(devices_.revoke("phone").code(), Status::Code::io);
  EXPECT_EQ(whose(std::string(64, 'a')) + " " + backing_->values["devices"], "failed phone not-a-digest 5\n");
  backing_->values.erase("devices");
  backing_->away = true;
  EXPECT_EQ(whose(std::string(64, 'a')), "failed");
}

// A group that comes back as it went is shown through the endpoint; here, what is refused.
TEST(CloudWireTest, AMalformedGroupIsRefused) {
  std::string tooMany, refused;
  for (std::size_t i = 0; i <= cloudwire::kMaxGroup; ++i) tooMany += "k" + std::to_string(i) + " - 0\n";
  for (const std::string bad :
       {"", "notesFromCloud - 3\nab", "notesFromCloud - 1\naNotes", "notesFromCloud -\n",
        "notesFromCloud - -1\n", "a - 0\na - 0\n", tooMany.c_str()})
    refused += cloudwire::decodeGroup(bad).ok() ? "taken " : "refused ";
  std::vector<Status> results = cloudwire::decodeResults("ok\nconflict moved\n", 2);
  EXPECT_EQ(refused + std::to_string(results[0].ok()) + results[1].message() +
                std::to_string(cloudwire::decodeResults("ok\n", 2)[0].ok()),
            "refused refused refused refused refused refused refused 1moved0");
}

}  // namespace
}  // namespace quillbox::web
