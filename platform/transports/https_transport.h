#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "platform/sync/cloud_store.h"
#include "platform/sync/cloud_transport.h"
#include "platform/transports/https_client.h"

namespace quillbox {

// The cloud endpoint of a `quillbox serve` (see cloud_wire.h) as a cloud backing, over one kept
// HTTPS connection, the server's certificate always verified. Every call is bounded by the
// address's timeout. Holds only the four cloud keys: any other is refused before it is kept.
// Failures are classed by their code: unavailable (no connection, a certificate that does not
// verify, no answer in time, 503, 429), unauthenticated (no token, or 401: the token is unknown
// or revoked), conflict (412), io (any other refusal). Messages name the server, never the token.
class HttpsTransport : public CloudTransport {
 public:
  // token: this device's token; empty when it has none (every call then fails, unauthenticated).
  HttpsTransport(std::unique_ptr<HttpsClient> client, std::string token);

  Result<std::optional<std::string>> get(std::string_view key) override;
  Status set(std::string_view key, std::string_view value) override;
  // Several writes go in one request, made one after another on the server.
  std::vector<Status> setMany(std::span<const CloudWriteView> writes) override;
  // One request: the server makes all or none, against its store's own conditional write.
  Status setIf(std::span<const ConditionalWrite> writes) override;
  Status checkKey(std::string_view key) const override;
  Status ping() override;
  std::string describe() const override { return client_->address().text(); }
  std::string identity() const override { return client_->address().text(); }
  // One second, or twice the timeout when longer.
  std::chrono::milliseconds backoff() const override;

 private:
  Result<HttpsReply> call(std::string_view method, std::string_view target, std::string_view body = {},
                          HttpsHeaders headers = {});
  Status refusal(const HttpsReply& reply) const;

  std::unique_ptr<HttpsClient> client_;
  std::string token_;
};

// A cloud store on a Quillbox server, named by an https:// address (see parseHttpsAddress): an
// OutboxCloudStore over an HttpsTransport, its outbox in <home>'s database. The device token comes
// given, else from <home>/cloud-token (which must not be readable by other users); caFile names
// certificates to trust besides the system's ("" for none).
// Fails with a clear message for a malformed address, a token file open to others, a CA file that
// cannot be read or an outbox that cannot be opened; an unreachable server or a missing token is
// no failure here.
Result<std::unique_ptr<CloudStore>> makeHttpsCloudStore(std::string_view address,
                                                        const std::filesystem::path& home,
                                                        std::string_view givenToken,
                                                        const std::string& caFile);

}  // namespace quillbox
