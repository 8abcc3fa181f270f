#pragma once

// What the text rules ask of Unicode itself, answered by ICU in the native build and by the browser's
// own facilities in the WebAssembly build (text_icu.cpp, text_browser.cpp): the same answers from both.
// Both are given well-formed UTF-8 only; the rules deal with other bytes before asking.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace quillbox::textbackend {

enum class Nfc {
  already,     // the text is in NFC as it stands
  normalised,  // out holds its NFC form
  failed,      // it could not be normalised (too long, or the facility failed)
};

// The NFC form of text, well-formed UTF-8 that is not all ASCII.
Nfc toNfc(std::string_view text, std::string& out);

// Answers whether a byte offset of a UTF-8 text falls between two user-perceived characters (grapheme
// clusters). The text is segmented on the first question; when that fails, every offset counts.
class ClusterBoundaries {
 public:
  explicit ClusterBoundaries(std::string_view text);
  ~ClusterBoundaries();
  ClusterBoundaries(const ClusterBoundaries&) = delete;
  ClusterBoundaries& operator=(const ClusterBoundaries&) = delete;

  bool at(std::size_t offset);

 private:
  struct State;
  std::string_view text_;
  std::unique_ptr<State> state_;  // made on the first question inside the text
};

}  // namespace quillbox::textbackend
