#include "platform/sync/sync_engine.h"

#include <gtest/gtest.h>

namespace quillbox::syncengine {
namespace {

const Base kUnknown{};
const Base on(std::optional<std::string> value) { return Base{true, std::move(value)}; }

std::string plan(const Base& base, std::string_view key, std::string_view value,
                 std::optional<std::optional<std::string>> held = std::nullopt) {
  Send send = planSend(base, key, value, held ? &*held : nullptr);
  if (send.kind == Send::Kind::mergeFirst) return "merge first";
  return send.condition ? "on " + *send.condition : "on nothing";
}

TEST(SyncEngineTest, SendsEachWriteOnWhatItWasBuiltOnAndMergesWhereThatIsUnknown) {
  const std::string notes = "notesFromCloud", marks = "stringTasksFinishedIndicesFromCloud";
  std::string got =
      plan(on("aNOTES_SEPARATOR"), notes, "aNOTES_SEPARATORbNOTES_SEPARATOR", std::string("x")) + " | " +
      plan(on(std::nullopt), notes, "b") + " | " + plan(kUnknown, notes, "b") + " | " +
      plan(kUnknown, notes, "b", std::optional<std::string>()) + " | " +
      plan(kUnknown, notes, "aNOTES_SEPARATORNOTES_SEPARATORb", std::string("aNOTES_SEPARATORb")) + " | " +
      plan(kUnknown, notes, "bNOTES_SEPARATOR", std::string("aNOTES_SEPARATOR")) + " | " +
      plan(kUnknown, marks, "1,2,", std::string("01,2")) + " | " +
      plan(kUnknown, "otherKey", "1,2,", std::string("1,2"));
  EXPECT_EQ(
      got,
      "on aNOTES_SEPARATOR | on nothing | on nothing | on nothing | on aNOTES_SEPARATORb | merge first | "
      "on 01,2 | merge first");
}

TEST(SyncEngineTest, WritesNothingTheCloudHoldsAndOneWritePerKeyAtATime) {
  const std::string notes = "notesFromCloud";
  std::string got;
  for (bool needed :
       {needsSending(on("aNOTES_SEPARATOR"), false, notes, "a"),
        needsSending(on("aNOTES_SEPARATOR"), true, notes, "aNOTES_SEPARATOR"),
        needsSending(kUnknown, false, notes, ""), needsSending(on(std::nullopt), false, notes, ""),
        needsSending(on("a"), false, notes, "aNOTES_SEPARATORb")})
    got += needed ? "send " : "none ";
  const Pending pending[] = {
      {1, "notesFromCloud"}, {2, "tasksFromCloud"}, {3, "notesFromCloud"}, {4, "tags"}};
  const std::string inFlight[] = {"tasksFromCloud"};
  for (std::size_t i : sendable(pending, inFlight, 8)) got += std::to_string(pending[i].id);
  for (std::size_t i : sendable(pending, {}, 2)) got += "," + std::to_string(pending[i].id);
  for (const Status& outcome : {Status::Ok(), Status::Conflict("moved"), Status::Invalid("too large"),
                                Status::Unavailable("away"), Status::Unauthenticated("revoked")}) {
    Step step = onAnswer(answerOf(outcome));
    got += std::string(" ") + (step.deliver ? "d" : "") + (step.merge ? "m" : "") +
           (step.backOff ? "b" : "") + (step.stop ? "s" : "");
  }
  EXPECT_EQ(got, "none send send send send 14,1,2 d m  b s");
}

}  // namespace
}  // namespace quillbox::syncengine
