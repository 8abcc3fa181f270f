#include "platform/page/web_events.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillbox::web {
namespace {

// What parsing makes of a body: the event in short, or "error: " and the reason.
std::string parsed(std::string_view body) {
  Result<ClientEvent> event = parseClientEvent(body);
  if (!event) return "error: " + event.status().message();
  const ClientEvent& e = event.value();
  static const char* const kTypes[] = {"tap",     "submit",     "edit",   "select",  "tab",
                                       "appear",  "foreground", "undo",   "history", "revert",
                                       "restore", "viewport",   "attach", "detach"};
  std::string shown =
      std::string(kTypes[static_cast<int>(e.type)]) + " w=" + e.window + " seq=" + std::to_string(e.seq);
  if (e.rev != 0) shown += " rev=" + std::to_string(e.rev);
  if (!e.id.empty() || !e.text.empty()) shown += " id=" + e.id + " text=" + e.text;
  if (e.index != 0) shown += " index=" + std::to_string(e.index);
  if (e.to != 0) shown += " rows=" + std::to_string(e.from) + "-" + std::to_string(e.to);
  if (!e.stream.empty() || !e.idiom.empty()) shown += " stream=" + e.stream + " idiom=" + e.idiom;
  return shown;
}

// Each body and what is read from it; a field that is not shown holds its default (0 or "").
TEST(ClientEvents, EachKindOfEventIsReadWithWhatItCarries) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"window":"w","seq":1,"rev":4,"type":"tap","id":"/a/3"})", "tap w=w seq=1 rev=4 id=/a/3 text="},
      {R"({"window":"w","seq":2,"type":"submit","id":"/f"})", "submit w=w seq=2 id=/f text="},
      {R"({"window":"w","seq":3,"type":"edit","id":"/f","text":"caf\u00e9 <b>"})",
       "edit w=w seq=3 id=/f text=caf\xc3\xa9 <b>"},
      {R"({"window":"w","seq":4,"type":"select","id":"/p","value":"\ud83d\udfe2"})",
       "select w=w seq=4 id=/p text=\xf0\x9f\x9f\xa2"},
      {R"({"window":"w","seq":5,"type":"tab","index":2})", "tab w=w seq=5 index=2"},
      {R"({"window":"w","seq":6,"type":"foreground","extra":[[[[[[[1]]]]]]]})", "foreground w=w seq=6"},
      {R"({"window":"w","seq":7,"type":"viewport","id":"/l","from":3,"to":9})",
       "viewport w=w seq=7 id=/l text= rows=3-9"},
      {R"({"window":"","seq":8,"type":"attach","stream":"s1","idiom":"pad"})",
       "attach w= seq=8 stream=s1 idiom=pad"},
      {R"({"window":"w","seq":9,"type":"detach"})", "detach w=w seq=9"}};
  for (const auto& [body, expected] : cases) EXPECT_EQ(parsed(body), expected) << body;
}

TEST(ClientEvents, MalformedEventsAreRefusedSayingWhatIsWrong) {
  std::string manyValues = R"({"window":"w","seq":1,"type":"appear","x":[0)";
  for (int i = 0; i < 300; ++i) manyValues += ",0";
  manyValues += "]}";
  std::vector<std::pair<std::string, std::string>> cases = {
      {"", "error: the event is not JSON text"},
      {"[1,2]", "error: the event is not a JSON object"},
      {R"({"seq":1,"type":"tap","id":"x"})", "error: missing \"window\""},
      {R"({"window":7,"seq":1,"type":"tap","id":"x"})", "error: \"window\" is not a string"},
      {R"({"window":"w","type":"tap","id":"x"})", "error: missing \"seq\""},
      {R"({"window":"w","seq":-1,"type":"tap","id":"x"})", "error: \"seq\" is not a whole number from 0"},
      {R"({"window":"w","seq":1e300,"type":"tap","id":"x"})", "error: \"seq\" is not a whole number from 0"},
      {R"({"window":"w","seq":9007199254740993,"type":"tap","id":"x"})", "error: \"seq\" is too large"},
      {R"({"window":"w","seq":1,"type":"tap"})", "error: missing \"id\""},
      {R"({"window":"w","seq":1,"type":"edit","id":"x","text":null})", "error: \"text\" is not a string"},
      {R"({"window":"w","seq":1,"type":"edit","id":"x","text":"a\u0000b"})",
       "error: the text holds a NUL character"},
      {R"({"window":"w","seq":1,"type":"select","id":"x","text":"a"})", "error: missing \"value\""},
      {R"({"window":"w","seq":1,"type":"tab","index":64})", "error: no tab 64"},
      {R"({"window":"w","seq":1,"type":"tab","index":"1"})", "error: \"index\" is not a whole number from 0"},
      {R"({"window":"w","seq":1,"type":"explode"})", "error: unknown event type"},
      {R"({"window":"w","seq":1,"type":"viewport","id":"/l","from":3})", "error: missing \"to\""},
      {R"({"window":"w","seq":1,"type":"attach"})", "error: missing \"stream\""},
      {"{\"window\":\"w\xff\",\"seq\":1,\"type\":\"appear\"}", "error: the event is not JSON text"},
      // Stopped before anything is built: a body of the largest size nested all the way down.
      {std::string(4 << 20, '['), "error: the event is nested too deeply"},
      {R"({"window":"w","seq":1,"type":"appear","x":[[[[[[[[1]]]]]]]]})",
       "error: the event is nested too deeply"},
      {manyValues, "error: the event holds too many values"},
  };
  for (const auto& [body, expected] : cases) EXPECT_EQ(parsed(body), expected) << body.substr(0, 80);
}

}  // namespace
}  // namespace quillbox::web
