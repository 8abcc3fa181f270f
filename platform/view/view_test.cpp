#include "platform/view/view.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "base/random_test_support.h"
#include "platform/view/cell.h"
#include "platform/view/view_render.h"

namespace quillbox {
namespace {

// A list screen in miniature: a ForEach over a State's entries, hiding "hidden", counting the rows
// it builds.
class LazyRowsTest : public ::testing::Test {
 protected:
  Element body() {
    std::shared_ptr<const std::vector<std::string>> list = entries_.snapshot();
    Rows rows;
    rows.count = list->size();
    rows.shown = [list](std::size_t p) { return (*list)[p] != "hidden"; };
    rows.row = [list, this](std::size_t p) {
      ++built_;
      return HStack(Text((*list)[p], true), Image("trash").onTapGesture([] { return Status::Ok(); }));
    };
    return Section(Text("Header", false), Elements(ForEach(std::move(rows))));
  }
  std::string found(const Element& tree, std::string_view id) {
    FoundElement element = findElement(tree, id);
    if (!element) return "none";
    const auto* text = element->as<kinds::Text>();
    return std::string(element->name()) + " " + (text ? text->text : "") + " in row " + element.rowId();
  }

  State<std::vector<std::string>> entries_{std::vector<std::string>{"a", "hidden", "c"}};
  int built_ = 0;
};

TEST_F(LazyRowsTest, RowsAreBuiltWhenAskedForFromTheListTheTreeWasBuiltFrom) {
  const Element tree = body();
  EXPECT_EQ(built_, 0);
  EXPECT_EQ(found(tree, "/0/2/0"), "Text c in row /0/2");
  EXPECT_EQ(built_, 1);
  EXPECT_EQ(found(tree, "/header"), "Text Header in row ");
  for (std::string_view id : {"/0/1", "/0/3", "/0/02", "/0/-1", "/0/", "/0/x", "/1", "0/0"})
    EXPECT_EQ(found(tree, id), "none") << id;

  const std::vector<std::string>* before = &entries_.get();
  entries_.mutate()[0] = "changed";  // the tree holds the list: a copy is changed
  EXPECT_NE(&entries_.get(), before);
  entries_.set({"x"});
  EXPECT_EQ(renderText(tree), R"(Section
  header:
    Text text="Header" verbatim=false
  ForEach
    HStack alignment="center" spacing=null
      Text text="a" verbatim=true
      Image systemName="trash" .onTapGesture({"count":1})
    HStack alignment="center" spacing=null
      Text text="c" verbatim=true
      Image systemName="trash" .onTapGesture({"count":1})
)");
  EXPECT_FALSE(sameElement(tree, body()));
  EXPECT_TRUE(sameElement(body(), body()));
  before = &entries_.get();
  entries_.mutate().push_back("y");  // nothing holds it: changed in place
  EXPECT_EQ(&entries_.get(), before);
}

// The JSON renderers' strings are what nlohmann's dump writes (the form `tree --json` has always
// had), ill-formed UTF-8 included. QUILLBOX_SEED replays a run.
TEST(JsonText, EveryByteStringIsWrittenAsNlohmannWritesIt) {
  std::mt19937 random(test::randomSeed());
  // Every byte that is escaped, starts a sequence or ends one, some well-formed sequences and a NUL.
  std::vector<std::string> pieces = {"\xe2\x80\xa8", "\xc3\xa9", "\xf0\x9f\x94\xb4", std::string(1, '\0')};
  for (char c :
       std::string("a\"\\\n\b\f\x01\x1f\x7f\x80\xbf\xc0\xc1\xc2\xdf\xe0\xa0\xed\x9f\xf0\x90\xf4\x8f\xf5\xff"))
    pieces.emplace_back(1, c);
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    for (int n = static_cast<int>(random() % 10); n > 0; --n) text += pieces[random() % pieces.size()];
    std::string ours;
    appendJsonText(ours, text);
    ASSERT_EQ(ours, nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
        << nlohmann::json(text).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
  }
}

}  // namespace
}  // namespace quillbox
