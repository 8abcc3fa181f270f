// What a person setting up a home server meets: the addresses devices are sent to, the cloud
// stores --cloud takes, usage errors, and delete and toggle guarded by the row's text.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "app/cli/cli_test_support.h"
#include "app/cli/serve_test_support.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

class HomeServerTest : public clitest::CommandLineFixture {
 protected:
  // Runs `serve` on the phone's home until it has announced itself: the first address it printed.
  std::string announced(std::vector<std::string> args, bool journal = false) {
    args.insert(args.begin(), {"--home", phone_.home().string(), "serve"});
    const std::string said = clitest::ServeProcess(args, folder_.path() / "serve.log", journal).said();
    std::smatch first;
    return std::regex_search(said, first, std::regex("\n  (\\S+)\n")) ? first[1].str() : said;
  }
  // What `devices add` printed: the laptop's origin and the phone's link, the token as "T".
  std::string sentTo(const std::string& name, std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"devices", "add", name});
    std::string out = std::regex_replace(ok(more), std::regex("[0-9a-f]{64}"), "T");
    std::smatch laptop, phone;
    std::regex_search(out, laptop, std::regex("QUILLBOX_CLOUD=(\\S+) "));
    std::regex_search(out, phone, std::regex("\n  (\\S+/device/\\S+)\n"));
    return laptop[1].str() + " " + phone[1].str();
  }
};

TEST_F(HomeServerTest, DevicesAreSentToTheOneOriginServeAnnounced) {
  // Before serve has announced anything, or when what the file holds is no origin of ours (a path,
  // a scheme, terminal controls), nothing is printed and no device is added.
  fs::create_directories(phone_.home());
  for (const char* junk : {"", "https://a.example/x", "javascript:alert(1)", "http://a\x1b[2J", "http://"}) {
    std::ofstream(phone_.home() / "web-address") << junk;
    EXPECT_EQ(refused({"devices", "add", "early"}).substr(0, 55),
              "2 quillbox: devices add: no server address is known yet")
        << junk;
  }
  std::string page = announced({"--listen", "127.0.0.1:0"});
  std::string origin = page.substr(0, page.find("/#token="));
  std::string flat = std::regex_replace(origin, std::regex(":[0-9]+$"), ":PORT") + " | " +
                     std::regex_replace(sentTo("laptop"), std::regex(origin), "ORIGIN") + " | " +
                     (ok({"address"}) == page + "\n" ? "address" : ok({"address"}));
  // Behind a proxy; and to the journal, which the page's secret stays out of.
  flat += " | " + announced({"--listen", "127.0.0.1:0", "--public-origin", "https://q.example.org/",
                             "--public-origin", "https://q2.example.org:8443"},
                            true);
  flat += " | " + sentTo("phone") + " | " + sentTo("tablet", {"--server", "https://[fd00::2]:8443/"});
  EXPECT_EQ(flat,
            "http://127.0.0.1:PORT | ORIGIN/ ORIGIN/device/#token=T | address | https://q.example.org/ | "
            "https://q.example.org/ "
            "https://q.example.org/device/#token=T | https://[fd00::2]:8443/ "
            "https://[fd00::2]:8443/device/#token=T");
  // On every interface over TLS: named as its certificate names it, the name a device's check accepts.
  ASSERT_TRUE(clitest::makeCertificate(folder_.path()));
  std::string wide =
      announced({"--listen", "0.0.0.0:0", "--tls-cert", file("cert.pem"), "--tls-key", file("key.pem")});
  EXPECT_EQ(std::regex_replace(wide, std::regex(":[0-9]+/#token=.*"), ":PORT"),
            "https://homeserver.test:PORT");
  EXPECT_EQ(refused({"serve", "--public-origin", "https://q.example.org/path"}),
            "2 quillbox: --public-origin wants an origin, https://HOST[:PORT] with no path: "
            "https://q.example.org/path");
}

TEST_F(HomeServerTest, ACloudFormItDoesNotKnowExits2AndMakesNothing) {
  for (const char* spec : {"ftp://x", "rediss://h:6379", "http://192.168.1.5:8080/", "http://u@127.0.0.1/"}) {
    clitest::Device odd(folder_.path() / "odd", spec, folder_.path());
    EXPECT_EQ(refusedOn(odd, {"notes", "add", "x"}).substr(0, 20), "2 quillbox: --cloud:") << spec;
    EXPECT_FALSE(fs::exists(std::string(spec).substr(0, std::string(spec).find(':') + 1))) << spec;
  }
  EXPECT_FALSE(fs::exists(folder_.path() / "odd"));
  clitest::Device viaUrl(folder_.path() / "url", "file://" + file("shared"), folder_.path());
  EXPECT_EQ(rowsOn(viaUrl, {"notes", "add", "x"}), "1 x");
  EXPECT_EQ(clitest::fileContents(file("shared") + "/notesFromCloud"), clitest::items({"x"}));
}

TEST_F(HomeServerTest, AUsageErrorNamesTheCommandAndTheClosestOne) {
  std::string said;
  for (std::vector<std::string> args : {std::vector<std::string>{"nots", "list"},
                                        {"notes", "lst"},
                                        {"notes", "list", "--jsn"},
                                        {"tasks"},
                                        {"serve", "--listen", "localhost"},
                                        {"serve", "--tls-cert", "/nonexistent/c.pem", "--tls-key", "k.pem"}})
    said += refused(args) + "\n";
  EXPECT_EQ(said,
            "2 quillbox: no command \"nots\"; did you mean \"notes\"? (see quillbox --help)\n"
            "2 quillbox notes: no command \"lst\"; did you mean \"list\"? (see quillbox notes --help)\n"
            "2 quillbox notes list: no option \"--jsn\"; did you mean \"--json\"? (see quillbox notes list "
            "--help)\n"
            "2 quillbox tasks: a command is needed: list, add, toggle, delete (see quillbox tasks --help)\n"
            "2 quillbox: --listen wants HOST:PORT, and localhost has no port (e.g. localhost:8080)\n"
            "2 quillbox: --tls-cert: cannot read /nonexistent/c.pem: No such file or directory\n");
}

TEST_F(HomeServerTest, DeleteAndToggleActOnlyWhileTheRowHoldsTheTextTheySaw) {
  for (const char* text : {"a", "b", "a"}) ok({"notes", "add", text});
  ok({"tasks", "add", "x"});
  ok({"tags", "add", "--tag", "blue", "sky"});
  ok({"tags", "add", "plain"});
  const std::string before = stored("stringNotes") + stored("stringTasksFinishedIndices");
  std::string said;
  for (std::vector<std::string> args : {std::vector<std::string>{"notes", "delete", "2", "--text", "a"},
                                        {"tasks", "toggle", "1", "--text", "y"},
                                        {"notes", "delete", "--text", "zz"}})
    said += refused(args) + "\n";
  EXPECT_EQ(stored("stringNotes") + stored("stringTasksFinishedIndices"), before);
  for (std::vector<std::string> args : {std::vector<std::string>{"tasks", "toggle", "1", "--text", "x"},
                                        {"notes", "delete", "3", "--text", "a"},
                                        {"notes", "delete", "--text", "b"},
                                        {"tags", "delete", "--text", "sky"}})
    said += rows(args) + "\n";
  said += Json::parse(ok({"tags", "list", "--json"})).dump();
  EXPECT_EQ(said,
            "2 quillbox: notes delete: row 2 now holds \"b\", not \"a\"; nothing was changed\n"
            "2 quillbox: tasks toggle: row 1 now holds \"x\", not \"y\"; nothing was changed\n"
            "2 quillbox: notes delete: no note is \"zz\"\n"
            "marked \"x\" finished|1 [x] x\n"
            "deleted 2 entries equal to \"a\"|1 b\n"
            "deleted 1 entry equal to \"b\"\n"
            "deleted 1 entry equal to \"🔵  sky\"|1 🔴  plain\n"
            R"([{"number":1,"text":"🔴  plain","label":"text","tag":"red"}])");
}

}  // namespace
}  // namespace quillbox
