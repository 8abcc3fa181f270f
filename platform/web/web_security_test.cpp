#include "platform/web/web_security.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace quillbox::web {
namespace {

TEST(ListenAddresses, HostAndPortAreReadAndAnythingElseIsAClearError) {
  std::string seen;
  for (const char* text :
       {"127.0.0.1:8080", "0.0.0.0:0", "[::1]:9000", "localhost:65535", "127.0.0.1", "127.0.0.1:65536",
        "127.0.0.1:-1", "127.0.0.1:80x", ":8080", "::1:8080", "a b:80"}) {
    Result<ListenAddress> address = parseListenAddress(text);
    seen +=
        (address ? address->host + " " + std::to_string(address->port) : address.status().message()) + "\n";
  }
  const std::string port = "--listen: not a port from 0 to 65535: ",
                    form = "--listen wants HOST:PORT, e.g. 127.0.0.1:8080 or 0.0.0.0:8080\n";
  EXPECT_EQ(seen, "127.0.0.1 8080\n0.0.0.0 0\n::1 9000\nlocalhost 65535\n" + port + "\"\"\n" + port +
                      "\"65536\"\n" + port + "\"-1\"\n" + port + "\"80x\"\n" + form + form +
                      "--listen: not a host name: a b\n");
}

TEST(Loopback, OnlyTheLoopbackInterfaceCountsAsLoopback) {
  std::string seen;
  for (const char* host : {"127.0.0.1", "127.9.9.9", "::1", "LOCALHOST", "0.0.0.0", "::", "192.168.1.5",
                           "128.0.0.1", "localhost.evil.com"}) {
    seen += std::string(host) + (isLoopbackHost(host) ? "=yes " : "=no ");
  }
  EXPECT_EQ(seen,
            "127.0.0.1=yes 127.9.9.9=yes ::1=yes LOCALHOST=yes 0.0.0.0=no ::=no 192.168.1.5=no 128.0.0.1=no "
            "localhost.evil.com=no ");
}

// The hosts a guard answers to, then whether it takes its token, a token one digit short, and none.
std::string allowed(const RequestGuard& guard, std::vector<std::string> hosts, const std::string& token) {
  std::string seen;
  for (const std::string& host : hosts) seen += host + (guard.hostAllowed(host) ? "=ok " : "=no ");
  for (const std::string& secret : {token, token.substr(1), std::string()})
    seen += guard.tokenMatches(secret) ? "1" : "0";
  return seen;
}

TEST(RequestGuards, ALoopbackServerAnswersOnlyToLoopbackNamesOnItsOwnPort) {
  const std::string token(64, 'b');
  EXPECT_EQ(
      allowed(RequestGuard("127.0.0.1", 8080, token),
              {"127.0.0.1:8080", "localhost:8080", "[::1]:8080", "LocalHost:8080", "127.0.0.1:8081",
               "127.0.0.1", "evil.com:8080", "192.168.1.5:8080", "", "[::1", "127.0.0.1:80:80"},
              token),
      "127.0.0.1:8080=ok localhost:8080=ok [::1]:8080=ok LocalHost:8080=ok 127.0.0.1:8081=no 127.0.0.1=no "
      "evil.com:8080=no 192.168.1.5:8080=no =no [::1=no 127.0.0.1:80:80=no 100");
  EXPECT_FALSE(RequestGuard("127.0.0.1", 8080, "").tokenMatches(""));
}

TEST(RequestGuards, AServerOnTheNetworkAnswersToAddressesAndItsOwnNamesButNotToOtherNames) {
  const std::string token(64, 'a');
  EXPECT_EQ(allowed(RequestGuard("0.0.0.0", 80, token, {"desk", "desk.local"}),
                    {"192.168.1.5", "10.0.0.2:80", "[fe80::1]:80", "desk", "DESK.local:80", "localhost",
                     "rebound.example.com", "desk.example.com", "10.0.0.2:8080"},
                    token),
            "192.168.1.5=ok 10.0.0.2:80=ok [fe80::1]:80=ok desk=ok DESK.local:80=ok localhost=ok "
            "rebound.example.com=no desk.example.com=no 10.0.0.2:8080=no 100");
}

TEST(RequestGuards, OnlyTheAppsOwnPageMayPostEventsOrOpenStreamsAndItsTokenIsFoundAmongItsProtocols) {
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
  const std::filesystem::path home =
      std::filesystem::temp_directory_path() / ("quillbox-token-" + std::to_string(::getpid()));
  std::filesystem::remove_all(home);
  std::filesystem::create_directories(home);
  std::ofstream(home / "web-token") << "guessable\n";
  auto state = [&] {
    Result<std::string> made = loadOrCreateToken(home);
    struct stat info {};
    ::stat((home / "web-token").c_str(), &info);
    return (made ? made.value() : made.status().message()) + " " + std::to_string(info.st_mode & 0777);
  };
  const std::string first = state();
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), 64u) << first;
  EXPECT_EQ(first.substr(64), " 384");  // 0600
  std::filesystem::permissions(home / "web-token",
                               std::filesystem::perms::owner_read | std::filesystem::perms::others_read);
  EXPECT_EQ(state(), first);
  EXPECT_EQ(loadOrCreateToken(home / "missing" / "deeper").status().message().rfind("cannot write ", 0), 0u);
  std::filesystem::remove_all(home);
}

}  // namespace
}  // namespace quillbox::web
