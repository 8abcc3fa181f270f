#include "platform/web/device_tokens.h"

#include <gtest/gtest.h>

#include "platform/sync/cloud_wire.h"
#include "platform/sync/memory_transport_test_support.h"

namespace quillbox {
namespace {

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
}  // namespace quillbox
