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

std::string listen(std::string_view text) {
  Result<ListenAddress> address = parseListenAddress(text);
  if (!address) return "error: " + address.status().message();
  return address->host + " " + std::to_string(address->port);
}

TEST(ListenAddresses, HostAndPortAreReadAndAnythingElseIsAClearError) {
  EXPECT_EQ(listen("127.0.0.1:8080"), "127.0.0.1 8080");
  EXPECT_EQ(listen("0.0.0.0:0"), "0.0.0.0 0");
  EXPECT_EQ(listen("[::1]:9000"), "::1 9000");
  EXPECT_EQ(listen("localhost:65535"), "localhost 65535");
  EXPECT_EQ(listen("127.0.0.1"), "error: --listen: not a port from 0 to 65535: \"\"");
  EXPECT_EQ(listen("127.0.0.1:65536"), "error: --listen: not a port from 0 to 65535: \"65536\"");
  EXPECT_EQ(listen("127.0.0.1:-1"), "error: --listen: not a port from 0 to 65535: \"-1\"");
  EXPECT_EQ(listen("127.0.0.1:80x"), "error: --listen: not a port from 0 to 65535: \"80x\"");
  EXPECT_EQ(listen(":8080"), "error: --listen wants HOST:PORT, e.g. 127.0.0.1:8080 or 0.0.0.0:8080");
  EXPECT_EQ(listen("::1:8080"), "error: --listen wants HOST:PORT, e.g. 127.0.0.1:8080 or 0.0.0.0:8080");
  EXPECT_EQ(listen("a b:80"), "error: --listen: not a host name: a b");
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

std::string allowed(const RequestGuard& guard, std::vector<std::string> hosts) {
  std::string seen;
  for (const std::string& host : hosts) seen += host + (guard.hostAllowed(host) ? "=ok " : "=no ");
  return seen;
}

TEST(RequestGuards, ALoopbackServerAnswersOnlyToLoopbackNamesOnItsOwnPort) {
  RequestGuard guard("127.0.0.1", 8080, std::string(64, 'b'));
  EXPECT_EQ(
      allowed(guard, {"127.0.0.1:8080", "localhost:8080", "[::1]:8080", "LocalHost:8080", "127.0.0.1:8081",
                      "127.0.0.1", "evil.com:8080", "192.168.1.5:8080", "", "[::1", "127.0.0.1:80:80"}),
      "127.0.0.1:8080=ok localhost:8080=ok [::1]:8080=ok LocalHost:8080=ok 127.0.0.1:8081=no 127.0.0.1=no "
      "evil.com:8080=no 192.168.1.5:8080=no =no [::1=no 127.0.0.1:80:80=no ");
  EXPECT_TRUE(guard.tokenMatches(std::string(64, 'b')));
  EXPECT_FALSE(guard.tokenMatches(""));  // loopback asks for the token as well
  EXPECT_FALSE(RequestGuard("127.0.0.1", 8080, "").tokenMatches(""));
}

TEST(RequestGuards, AServerOnTheNetworkAnswersToAddressesAndItsOwnNamesButNotToOtherNames) {
  RequestGuard guard("0.0.0.0", 80, std::string(64, 'a'), {"desk", "desk.local"});
  EXPECT_EQ(allowed(guard, {"192.168.1.5", "10.0.0.2:80", "[fe80::1]:80", "desk", "DESK.local:80",
                            "localhost", "rebound.example.com", "desk.example.com", "10.0.0.2:8080"}),
            "192.168.1.5=ok 10.0.0.2:80=ok [fe80::1]:80=ok desk=ok DESK.local:80=ok localhost=ok "
            "rebound.example.com=no desk.example.com=no 10.0.0.2:8080=no ");
  EXPECT_TRUE(guard.tokenMatches(std::string(64, 'a')));
  EXPECT_FALSE(guard.tokenMatches(std::string(63, 'a')));
  EXPECT_FALSE(guard.tokenMatches(""));
}

TEST(RequestGuards, OnlyTheAppsOwnPageMayPostEventsOrOpenStreams) {
  EXPECT_TRUE(RequestGuard::originAllowed("http://127.0.0.1:8080", "127.0.0.1:8080", "same-origin"));
  EXPECT_TRUE(RequestGuard::originAllowed("", "127.0.0.1:8080", "same-origin"));
  EXPECT_TRUE(RequestGuard::originAllowed("", "127.0.0.1:8080", ""));  // not a browser
  EXPECT_FALSE(RequestGuard::originAllowed("http://evil.com", "127.0.0.1:8080", "cross-site"));
  EXPECT_FALSE(RequestGuard::originAllowed("https://127.0.0.1:8080", "127.0.0.1:8080", ""));
  EXPECT_TRUE(RequestGuard::originAllowed("https://127.0.0.1:8080", "127.0.0.1:8080", "", true));
  EXPECT_FALSE(RequestGuard::originAllowed("http://127.0.0.1:8080", "127.0.0.1:8080", "", true));
  EXPECT_FALSE(RequestGuard::originAllowed("null", "127.0.0.1:8080", ""));
  EXPECT_FALSE(RequestGuard::originAllowed("http://localhost:8080", "127.0.0.1:8080", "same-site"));
  EXPECT_FALSE(RequestGuard::originAllowed("", "127.0.0.1:8080", "cross-site"));
  EXPECT_FALSE(RequestGuard::originAllowed("", "127.0.0.1:8080", "same-site"));
}

TEST(SocketProtocols, TheTokenIsFoundAmongTheOfferedProtocols) {
  EXPECT_EQ(socketToken("quillbox, quillbox.token.abc"), "abc");
  EXPECT_EQ(socketToken("quillbox.token.abc,quillbox"), "abc");
  EXPECT_EQ(socketToken("quillbox, xquillbox.token.abc"), "");
  EXPECT_EQ(socketToken(""), "");
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
