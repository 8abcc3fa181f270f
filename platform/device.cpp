#include "platform/device.h"

namespace quillbox {

std::string_view textStyleName(TextStyle style) {
  switch (style) {
    case TextStyle::headline:
      return "headline";
    case TextStyle::title2:
      return "title2";
    case TextStyle::title3:
      return "title3";
  }
  return "headline";
}

TextStyle deviceTextStyle(const Device& device) {
  return device.userInterfaceIdiom() == Idiom::phone ? TextStyle::headline : TextStyle::title2;
}

bool parseIdiom(std::string_view text, Idiom* idiom) {
  if (text == "phone") {
    *idiom = Idiom::phone;
    return true;
  }
  if (text == "pad") {
    *idiom = Idiom::pad;
    return true;
  }
  return false;
}

}  // namespace quillbox
