#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

#include "app/cli/cli_test_support.h"

namespace quillbox {
namespace {

class DeviceAddressTest : public clitest::CommandLineFixture {
 protected:
  // The phone's address `devices add` printed, its token in place of "TOKEN".
  std::string phoneAddress(const std::vector<std::string>& args) {
    std::string out = ok(args);
    std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
    return std::regex_replace(last, std::regex("[0-9a-f]{64}"), "TOKEN");
  }
  void keepAddress(const std::string& text) { std::ofstream(phone_.home() / "web-address") << text; }
};

TEST_F(DeviceAddressTest, ThePhonesAddressComesFromTheOptionOrWhatServeAnnouncedElseItIsAPath) {
  EXPECT_EQ(phoneAddress({"devices", "add", "one"}), "  /device/#token=TOKEN\n");
  keepAddress("https://homeserver.local:8443\n");
  EXPECT_EQ(phoneAddress({"devices", "add", "two"}), "  https://homeserver.local:8443/device/#token=TOKEN\n");
  EXPECT_EQ(phoneAddress({"devices", "add", "three", "--address", "https://[fd00::2]:8443/"}),
            "  https://[fd00::2]:8443/device/#token=TOKEN\n");
  // What is not an origin of ours in the file is never printed: a path, a scheme, terminal controls.
  for (const char* junk : {"https://a.example/x", "javascript:alert(1)", "http://a\x1b[2J", "http://"}) {
    keepAddress(junk);
    EXPECT_EQ(phoneAddress({"devices", "add", "four"}), "  /device/#token=TOKEN\n") << junk;
    ok({"devices", "revoke", "four"});
  }
}

}  // namespace
}  // namespace quillbox
