#include "platform/web/cloud_endpoint.h"

#include <gtest/gtest.h>

#include "platform/sync/cloud_wire.h"
#include "platform/sync/memory_transport_test_support.h"
#include "platform/web/http_client_test_support.h"

namespace quillbox::web {
namespace {

using namespace std::chrono_literals;

class CloudEndpointTest : public ::testing::Test {
 protected:
  CloudEndpointTest() {
    devices_ =
        std::make_shared<DeviceTokens>(std::make_unique<MemoryTransport>(deviceList_), [] { return 100; });
    token_ = devices_->add("phone").value();
    limit(100, 100);
  }
  // A new endpoint on the same store: a burst of requests per token, then one a second; a burst of
  // refused tokens per address, then one per ten seconds.
  void limit(double requests, double failures) {
    // One request a second after a burst; refused tokens' burst and interval; the body bound; the clock.
    endpoint_ = std::make_unique<CloudEndpoint>(
        std::make_unique<MemoryTransport>(store_), devices_,
        CloudEndpointOptions{1, requests, failures, 10s, std::size_t{64} << 20, [this] { return now_; }});
  }

  // One request as the front runs it, screened then handled: "STATUS" and the body's first line.
  std::string send(const std::string& method, const std::string& path, const std::string& body = {},
                   HttpHeaders headers = {}, std::optional<std::string> token = {}) {
    const std::string bearer = token.value_or(token_);
    if (!bearer.empty()) headers.emplace_back("authorization", "Bearer " + bearer);
    HttpRequest request{.method = method,
                        .target = {},
                        .path = path,
                        .query = {},
                        .headers = std::move(headers),
                        .body = body,
                        .peer = peer_};
    Screening screening = endpoint_->screen(request);
    HttpResponse response = screening.refusal ? std::move(*screening.refusal) : endpoint_->handle(request);
    lastEtag_.clear();
    for (const auto& [name, value] : response.headers)
      if (name == "ETag") lastEtag_ = value;
    std::string line = response.body.substr(0, response.body.find('\n'));
    return std::to_string(response.status) + (line.empty() ? "" : " " + line);
  }
  std::string held(const std::string& key) {
    return store_->values.contains(key) ? store_->values[key] : "(nothing)";
  }

  std::shared_ptr<MemoryBacking> store_ = std::make_shared<MemoryBacking>();
  std::shared_ptr<MemoryBacking> deviceList_ = std::make_shared<MemoryBacking>();
  std::shared_ptr<DeviceTokens> devices_;
  std::unique_ptr<CloudEndpoint> endpoint_;
  std::string token_;
  std::string peer_ = "127.0.0.1";
  HttpClock::time_point now_{};
  std::string lastEtag_;
};

TEST_F(CloudEndpointTest, ATokenThatIsNoDevicesReadsAndWritesNothing) {
  store_->values["notesFromCloud"] = "a";
  std::string answers = send("PUT", "/cloud/v1/notesFromCloud", "x", {}, "") + "|" +
                        send("GET", "/cloud/v1/notesFromCloud", {}, {}, std::string(64, 'f')) + "|" +
                        send("GET", "/cloud/v1/notesFromCloud", {}, {}, "not hex");
  ASSERT_TRUE(devices_->revoke("phone").ok());
  answers += "|" + send("PUT", "/cloud/v1/notesFromCloud", "x");
  const std::string noDevice = "|401 this token is no device's (unknown, or revoked)";
  EXPECT_EQ(answers, "401 this endpoint needs a device token (Authorization: Bearer TOKEN)" + noDevice +
                         noDevice + noDevice);
  EXPECT_EQ(store_->calls, 0);
  EXPECT_EQ(held("notesFromCloud"), "a");
}

TEST_F(CloudEndpointTest, WritesHonourTheValidatorOfTheValueTheDeviceSaw) {
  const std::string binary("a\0b\nNOTES_SEPARATOR", 19), key = "/cloud/v1/notesFromCloud";
  std::string answers;
  auto step = [&](const std::string& answer) { answers += answer + "|"; };
  step(send("GET", key));
  step(send("PUT", key, binary, {{"if-none-match", "*"}}));
  step(send("GET", key).substr(0, 3));
  const std::string seen = lastEtag_;
  EXPECT_EQ(seen, cloudwire::etagOf(binary));
  step(send("PUT", key, "b", {{"if-none-match", "*"}}));
  step(send("PUT", key, "c", {{"if-match", cloudwire::etagOf("other")}}));
  step(held("notesFromCloud") == binary ? "kept" : "lost");
  // A named write sent again after its answer was lost is answered as made, even written over since.
  const HttpHeaders named{{"if-match", seen}, {std::string(cloudwire::kNameHeader), "n1"}};
  step(send("PUT", key, "d", named));
  step(send("PUT", key, "e", {{"if-match", seen}}));
  store_->values["notesFromCloud"] = "d2";
  step(send("PUT", key, "d", named) + " " + send("PUT", key, "d", {named[0]}));
  step(send("PUT", key, "d", {named[0], {std::string(cloudwire::kNameHeader), "n 1"}}));
  store_->values["notesFromCloud"] = binary;  // put back to the write's base: made before, not again
  step(send("PUT", key, "d", named));
  step(held("notesFromCloud") == binary ? "kept" : "made again");
  store_->values["notesFromCloud"] = "d2";
  step(held("notesFromCloud"));
  step(send("GET", "/cloud/v1/stringNotes"));
  step(send("DELETE", key));
  EXPECT_EQ(
      answers,
      "404 nothing under notesFromCloud|204|200|412 the key holds a value|412 the value of notesFromCloud "
      "moved|kept|204|412 the value of notesFromCloud moved|204 412 the value of notesFromCloud moved|400 a "
      "write's name is one word of at most 64 characters|204|kept|d2|404 not a cloud key|405 the method is "
      "not one "
      "this address takes|");
}

TEST_F(CloudEndpointTest, AGroupWithAConditionIsWrittenWholeOrNotAtAll) {
  using W = cloudwire::GroupWrite;
  store_->values["tasksFromCloud"] = "t";
  const std::string tag = cloudwire::etagOf("t"), gone = cloudwire::etagOf("gone");
  std::string answers;
  auto post = [&](const std::vector<W>& writes, const std::string& a, const std::string& b) {
    answers += send("POST", "/cloud/v1/", cloudwire::encodeGroup(writes));
    answers += "|" + held(a) + " " + held(b) + "|";
  };
  const std::vector<W> moved{{"tasksFromCloud", "t2", W::Condition::matches, tag, "f1"},
                             {"stringTasksFinishedIndicesFromCloud", "0", W::Condition::matches, gone, "f2"}},
      made{{"tasksFromCloud", "t2", W::Condition::matches, tag, "m1"},
           {"stringTasksFinishedIndicesFromCloud", "0", W::Condition::absent, {}, "m2"}};
  // Sent again after another device wrote over it: the group made is answered as made, the other not.
  for (int round = 0; round < 2; ++round) {
    for (const std::vector<W>& group : {moved, made})
      post(group, "tasksFromCloud", "stringTasksFinishedIndicesFromCloud");
    store_->values["tasksFromCloud"] = "t3";
  }
  answers +=
      send("POST", "/cloud/v1/",
           cloudwire::encodeGroup(std::vector<W>{{"notesFromCloud", "n", W::Condition::none, {}},
                                                 {"taggedNotesFromCloud", "g", W::Condition::none, {}}}));
  answers += "|" + send("POST", "/cloud/v1/", "notesFromCloud - 5\nab");
  EXPECT_EQ(
      answers + "|" + held("notesFromCloud") + " " + held("taggedNotesFromCloud"),
      "412 the value of stringTasksFinishedIndicesFromCloud moved|t (nothing)|204|t2 0|412 the value of "
      "tasksFromCloud moved|t3 0|204|t3 0|204|400 a write's value is cut short|n g");
}

TEST_F(CloudEndpointTest, AStoreThatCannotBeReachedAnswers503SoTheDeviceKeepsItsWrite) {
  store_->away = true;
  std::string answers = send("PUT", "/cloud/v1/notesFromCloud", "x").substr(0, 3) +
                        send("GET", "/cloud/v1/notesFromCloud").substr(0, 3) +
                        send("GET", "/cloud/v1/").substr(0, 3);
  store_->away = false;
  deviceList_->away = true;
  EXPECT_EQ(answers + send("GET", "/cloud/v1/notesFromCloud").substr(0, 3), "503503503503");
}

TEST_F(CloudEndpointTest, RequestsAreLimitedPerTokenAndRefusedTokensPerAddress) {
  limit(4, 2);
  std::string answers;
  for (int i = 0; i < 5; ++i) answers += send("GET", "/cloud/v1/").substr(0, 3) + " ";
  now_ += 2s;
  answers += send("GET", "/cloud/v1/").substr(0, 3) + " | ";
  peer_ = "127.0.0.9";
  for (int i = 0; i < 3; ++i)
    answers += send("GET", "/cloud/v1/", {}, {}, std::string(64, '0')).substr(0, 3) + " ";
  answers += send("GET", "/cloud/v1/").substr(0, 3) + " | ";
  peer_ = "::1";  // loopback too, and not the address refused
  answers += send("GET", "/cloud/v1/").substr(0, 3);
  EXPECT_EQ(answers, "204 204 204 204 429 204 | 401 401 429 429 | 204");
}

// Through the front: what a proxy on loopback says of its client counts only when trusted, and a
// device's list as large as a folder or Redis store takes syncs.
TEST_F(CloudEndpointTest, ThroughTheFrontATrustedProxySaysWhetherItsClientUsedHttpsAndABigListSyncs) {
  const std::string away = "X-Forwarded-For: 10.0.0.1, 198.51.100.4\r\n", list(10 << 20, 'n');
  const HttpsHeaders device{{"Authorization", "Bearer " + token_}};
  std::string answers;
  for (bool trusted : {true, false}) {
    HttpServerOptions options;  // every request screened and handled by the endpoint
    options.screen = [this](const HttpRequest& r) { return endpoint_->screen(r); };
    options.handle = [this](const HttpRequest& r) { return endpoint_->handle(r); };
    options.trustProxy = trusted;
    HttpServer server(options);
    ASSERT_TRUE(server.start().ok());
    for (const std::string& forwarded : {away, away + "X-Forwarded-Proto: https\r\n", std::string()}) {
      RawClient client(server.port(), "GET /cloud/v1/ HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                                          token_ + "\r\n" + forwarded + "\r\n");
      answers += client.answer().substr(0, 3) + " ";
    }
    answers += std::to_string(fetch(server.port(), "PUT", "/cloud/v1/notesFromCloud", device, list).status);
    HttpsReply back = fetch(server.port(), "GET", "/cloud/v1/notesFromCloud", device);
    answers += " " + std::to_string(back.status) + (back.body == list ? " same|" : " differs|");
  }
  EXPECT_EQ(answers, "403 204 204 204 200 same|204 204 204 204 200 same|");
}

}  // namespace
}  // namespace quillbox::web
