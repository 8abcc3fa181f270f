#include "platform/sync/sync_engine.h"

#include <gtest/gtest.h>

namespace quillbox::syncengine {
namespace {

TEST(SyncEngineTest, SendsOnTheBaseMergesWhatItNeverMetSendsOneWritePerKeyAndActsOnEachAnswer) {
  const std::string n = "notesFromCloud", s = "NOTES_SEPARATOR";
  const Base unknown{}, onA{true, "a" + s};
  std::string got;
  auto plan = [&](const Base& base, std::string_view key, std::string value,
                  std::optional<std::string> held) {
    Send send = planSend(base, key, value, &held);
    got += send.kind == Send::Kind::mergeFirst ? "merge|"
           : send.condition                    ? "on " + *send.condition + "|"
                                               : "on -|";
  };
  plan(onA, n, "a" + s + "b" + s, "x");
  plan(unknown, n, "b", std::nullopt);
  plan(unknown, n, "a" + s + s + "b", "a" + s + "b");  // the same list spelt another way
  plan(unknown, n, "b" + s, "a" + s);
  plan(unknown, "stringTasksFinishedIndicesFromCloud", "1,2,", "01,2");
  for (bool needed : {needsSending(onA, false, n, "a"), needsSending(onA, true, n, "a" + s),
                      needsSending(onA, false, n, "a" + s + "b")})
    got += needed ? "send " : "none ";
  const Pending pending[] = {{1, n}, {2, "tasksFromCloud"}, {3, n}, {4, "tags"}};
  const std::string inFlight[] = {"tasksFromCloud"};
  for (std::size_t i : sendable(pending, inFlight, 8)) got += std::to_string(pending[i].id);
  for (std::size_t i : sendable(pending, {}, 2)) got += "," + std::to_string(pending[i].id);
  for (const Status& outcome : {Status::Ok(), Status::Conflict("moved"), Status::Invalid("too large"),
                                Status::Unavailable("away"), Status::Unauthenticated("revoked")}) {
    Step step = onAnswer(answerOf(outcome));
    got += std::string(" ") + (step.deliver ? "d" : "") + (step.merge ? "m" : "") +
           (step.backOff ? "b" : "") + (step.stop ? "s" : "");
  }
  EXPECT_EQ(got, "on a" + s + "|on -|on a" + s + "b|merge|on 01,2|" + "none send send 14,1,2 d m  b s");
}

}  // namespace
}  // namespace quillbox::syncengine
