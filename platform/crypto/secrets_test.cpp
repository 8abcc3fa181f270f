#include "platform/crypto/secrets.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/crypto/sha256.h"

#ifdef __EMSCRIPTEN__
#include <emscripten.h>
#endif

namespace quillbox {
namespace {

// A digest no code of ours computed: OpenSSL's natively, node's (OpenSSL's too) in the browser build.
std::string referenceSha256(const std::string& bytes) {
#ifdef __EMSCRIPTEN__
  char theirs[65] = {};
  EM_ASM(
      {
        const bytes = Buffer.from(HEAPU8.subarray($0, $0 + $1));
        stringToUTF8(require('crypto').createHash('sha256').update(bytes).digest('hex'), $2, 65);
      },
      bytes.data(), bytes.size(), theirs);
  return theirs;
#else
  return sha256Hex(bytes);
#endif
}

// The standard's own examples (the empty string, "abc", the 448-bit and 896-bit messages, a million
// "a"), and lengths around the padding's edges: a tail of 55 bytes takes one block, 56 takes two, 64
// fills one exactly. Both digests: the one sha256Hex is, and the written-out one.
TEST(Sha256Test, KnownAnswers) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
       "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"}};
  for (const auto& [bytes, digest] : cases) {
    EXPECT_EQ(sha256Hex(bytes) + " " + portableSha256Hex(bytes), std::string(digest) + " " + digest)
        << bytes.size() << " bytes";
  }
}

// The written-out digest against OpenSSL's at every length over two blocks.
TEST(Sha256Test, TheWrittenOutDigestAgreesWithOpenSslAtEveryLengthUpToTwoBlocks) {
  for (int length = 0; length <= 130; ++length) {
    std::string bytes;
    for (int i = 0; i < length; ++i) bytes += static_cast<char>((i * 37 + length) & 0xff);
    EXPECT_EQ(portableSha256Hex(bytes), referenceSha256(bytes)) << "length " << length;
  }
}

}  // namespace
}  // namespace quillbox
