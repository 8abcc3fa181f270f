#include "platform/transports/https_client.h"

#include <gtest/gtest.h>

namespace quillbox {
namespace {

TEST(HttpsAddressTest, AServersAddressIsReadOrRefusedSayingWhy) {
  std::string read;
  for (const char* text :
       {"https://example.org", "https://h.local:8443/q/?timeout_ms=250", "https://[::1]:9/"}) {
    Result<HttpsAddress> address = parseHttpsAddress(text);
    read += address.ok() ? address->text() + " " + std::to_string(address->timeoutMs) + "|" : "refused|";
  }
  EXPECT_EQ(read, "https://example.org:443/ 5000|https://h.local:8443/q/ 250|https://[::1]:9/ 5000|");
  for (const char* bad :
       {"http://example.org/", "https://", "https://h:0/", "https://h:70000/", "https://h:x/",
        "https://u:p@h/", "https://h/path", "https://h/#f", "https://h/?timeout_ms=0", "https://h/?token=x",
        "https://h h/", "https://[::1/", "https://[host]/", "https://h/%2e/"})
    EXPECT_EQ(parseHttpsAddress(bad).status().code(), Status::Code::invalid) << bad;
}

}  // namespace
}  // namespace quillbox
