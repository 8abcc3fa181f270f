#pragma once

#include <atomic>
#include <string_view>

namespace quillbox {

// The kind of device a window is drawn on. A browser reports its own; phone until it does.
enum class Idiom { unspecified = -1, phone = 0, pad = 1 };

// The named text styles of the view layer.
enum class TextStyle { headline, title2, title3 };

// "headline", "title2", "title3".
std::string_view textStyleName(TextStyle style);

// The device query of one window: its idiom, read afresh each time a style is needed.
class Device {
 public:
  explicit Device(Idiom idiom = Idiom::phone) : idiom_(idiom) {}
  Idiom userInterfaceIdiom() const { return idiom_.load(); }
  void setIdiom(Idiom idiom) { idiom_.store(idiom); }

 private:
  std::atomic<Idiom> idiom_;
};

// headline on a phone; title2 on any other idiom (a tablet, a desktop, unspecified).
TextStyle deviceTextStyle(const Device& device);

// Parses "phone" or "pad"; nothing for any other text.
bool parseIdiom(std::string_view text, Idiom* idiom);

}  // namespace quillbox
