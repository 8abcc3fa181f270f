#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <vector>

#include "base/hex.h"
#include "platform/crypto/secrets.h"

namespace quillbox {

std::string sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1) return "";
  return hexOf(std::string_view(reinterpret_cast<const char*>(digest), size));
}

Result<std::string> randomHex(std::size_t size) {
  std::vector<unsigned char> bytes(size);
  if (RAND_bytes(bytes.data(), static_cast<int>(size)) != 1)
    return Status::Error("the system's random source gave no random bytes");
  return hexOf(std::string_view(reinterpret_cast<const char*>(bytes.data()), size));
}

bool sameSecretBytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool isHexOfSize(std::string_view text, std::size_t size) {
  return text.size() == size * 2 && std::all_of(text.begin(), text.end(), isHexDigit);
}

}  // namespace quillbox
