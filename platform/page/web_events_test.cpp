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

// Each body after {"window":"w","seq":7, and what is read from it; a field that is not shown holds its
// default (0 or "").
TEST(ClientEvents, EachKindOfEventIsReadWithWhatItCarries) {
  std::string seen = parsed(R"({"window":"","seq":8,"type":"attach","stream":"s1","idiom":"pad"})");
  for (const char* rest :
       {R"("rev":4,"type":"tap","id":"/a/3"})", R"("type":"submit","id":"/f"})",
        R"("type":"edit","id":"/f","text":"caf\u00e9 <b>"})", R"("type":"tab","index":2})",
        R"("type":"select","id":"/p","value":"\ud83d\udfe2"})", R"("type":"detach"})",
        R"("type":"foreground","extra":[[[[[[[1]]]]]]]})", R"("type":"viewport","id":"/l","from":3,"to":9})"})
    seen += "|" + parsed(R"({"window":"w","seq":7,)" + std::string(rest));
  EXPECT_EQ(
      seen,
      "attach w= seq=8 stream=s1 idiom=pad|tap w=w seq=7 rev=4 id=/a/3 text=|submit w=w seq=7 id=/f text=|"
      "edit w=w seq=7 id=/f text=caf\xc3\xa9 <b>|tab w=w seq=7 index=2|select w=w seq=7 id=/p "
      "text=\xf0\x9f\x9f\xa2|detach w=w seq=7|foreground w=w seq=7|viewport w=w seq=7 id=/l text= rows=3-9");
}

// Each body, most after {"window":"w","seq":1, and the reason it is refused.
TEST(ClientEvents, MalformedEventsAreRefusedSayingWhatIsWrongAndFailedOnesAnsweredByWhy) {
  std::string manyValues = R"("type":"appear","x":[0)";
  for (int i = 0; i < 300; ++i) manyValues += ",0";
  manyValues += "]}";
  // Stopped before anything is built: a body of the largest size nested all the way down.
  std::string seen = parsed(std::string(4 << 20, '[')).substr(7) + "|";
  for (const char* body :
       {"", "[1,2]", R"({"seq":1,"type":"tap","id":"x"})", R"({"window":7,"seq":1,"type":"tap","id":"x"})",
        R"({"window":"w","type":"tap","id":"x"})", R"({"window":"w","seq":-1,"type":"tap","id":"x"})",
        R"({"window":"w","seq":1e300,"type":"tap","id":"x"})",
        R"({"window":"w","seq":9007199254740993,"type":"tap","id":"x"})",
        "{\"window\":\"w\xff\",\"seq\":1,\"type\":\"appear\"}"})
    seen += parsed(body).substr(7) + "|";
  for (const char* rest :
       {R"("type":"tap"})", R"("type":"edit","id":"x","text":null})",
        R"("type":"edit","id":"x","text":"a\u0000b"})", R"("type":"select","id":"x","text":"a"})",
        R"("type":"tab","index":64})", R"("type":"tab","index":"1"})", R"("type":"explode"})",
        R"("type":"viewport","id":"/l","from":3})", R"("type":"attach"})",
        R"("type":"appear","x":[[[[[[[[1]]]]]]]]})", manyValues.c_str()})
    seen += parsed(R"({"window":"w","seq":1,)" + std::string(rest)).substr(7) + "|";
  EXPECT_EQ(
      seen,
      "the event is nested too deeply|the event is not JSON text|the event is not a JSON object|missing "
      "\"window\"|\"window\" is not a "
      "string|missing \"seq\"|\"seq\" is not a whole number from 0|\"seq\" is not a whole number from "
      "0|\"seq\" is too large|the event is not JSON text|missing \"id\"|"
      "\"text\" is not a string|the text holds a NUL character|missing \"value\"|no tab 64|\"index\" is "
      "not a whole number from 0|unknown event type|missing \"to\"|missing \"stream\"|the event is nested "
      "too deeply|the event holds too many values|");
  // An operation that failed: something changed or is no longer there, a store cannot be reached, a secret
  // was refused.
  seen.clear();
  for (const Status& failed : {Status::Conflict("x"), Status::NotFound("x"), Status::Error("x"),
                               Status::Busy("x"), Status::Unavailable("x"), Status::Unauthenticated("x")})
    seen += std::to_string(statusForFailure(failed)) + " ";
  EXPECT_EQ(seen, "409 409 503 503 503 403 ");
}

}  // namespace
}  // namespace quillbox::web
