// Costs of a merge of two devices' edits at 1k, 10k and 100k to-dos of about 20 bytes each, one in ten
// marked: each side deleted one text in fifty, toggled one to-do in a hundred and added one in a hundred.
// Beside them, DecodeFloor decodes the three strings and nothing else: the least a merge of them can cost.
// The reported complexity says whether the cost stays linear.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/list_merge.h"
#include "base/list_string.h"

namespace {

using quillbox::TaskStrings;

const char* const kWords[] = {"buy", "milk", "call", "mum", "fix",  "bike", "read", "book",
                              "pay", "rent", "walk", "dog", "plan", "trip", "send", "mail"};

// To-do i: "todo 000042 walk dog" and the like, 20 bytes; `accent` spells the words' first vowel with an
// accent (precomposed), so that every entry goes through the canonical comparison.
std::string todo(std::int64_t i, bool accent) {
  std::string text = "todo " + std::to_string(1000000 + i).substr(1) + " ";
  text += kWords[i % 16];
  text += ' ';
  text += kWords[(i / 16 + 7) % 16];
  if (accent) text.replace(text.find_first_of("aeiou", 12), 1, "\u00e9");
  return text;
}

// The base's to-dos, with every tenth one marked; a side keeps them but for every fiftieth (from `shift`),
// toggles every hundredth and adds one to-do in a hundred of its own.
TaskStrings lists(std::int64_t count, int side, bool accent) {
  TaskStrings lists;
  std::int64_t kept = 0;
  for (std::int64_t i = 0; i < count; ++i) {
    if (side > 0 && i % 50 == side * 7) continue;
    lists.tasks.append(todo(i, accent)).append(quillbox::kItemSeparator);
    if ((i % 10 == 0) != (side > 0 && i % 100 == side * 3))
      lists.marks.append(std::to_string(kept)).append(",");
    ++kept;
  }
  for (std::int64_t i = 0; side > 0 && i < count / 100; ++i) {
    lists.tasks.append(todo(count * (side + 1) + i, accent)).append(quillbox::kItemSeparator);
  }
  return lists;
}

void report(benchmark::State& state, const TaskStrings& base) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(3 * base.tasks.size()));
  state.counters["per_entry"] =
      benchmark::Counter(static_cast<double>(state.range(0)),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void DecodeFloor(benchmark::State& state) {
  const TaskStrings base = lists(state.range(0), 0, false), mine = lists(state.range(0), 1, false),
                    theirs = lists(state.range(0), 2, false);
  for (auto _ : state) {
    benchmark::DoNotOptimize(quillbox::decodeItemList(base.tasks));
    benchmark::DoNotOptimize(quillbox::decodeItemList(mine.tasks));
    benchmark::DoNotOptimize(quillbox::decodeItemList(theirs.tasks));
  }
  report(state, base);
}

void HashFloor(benchmark::State& state) {
  const TaskStrings base = lists(state.range(0), 0, false), mine = lists(state.range(0), 1, false),
                    theirs = lists(state.range(0), 2, false);
  for (auto _ : state) {
    const quillbox::ItemList lists[] = {quillbox::decodeItemList(base.tasks),
                                        quillbox::decodeItemList(mine.tasks),
                                        quillbox::decodeItemList(theirs.tasks)};
    std::unordered_map<std::string_view, std::size_t> classes;
    classes.reserve(lists[0].size() + lists[1].size() + lists[2].size());
    for (const quillbox::ItemList& list : lists) {
      for (std::string_view entry : list) classes.try_emplace(entry, classes.size());
    }
    benchmark::DoNotOptimize(classes);
  }
  report(state, base);
}

void MergeItemLists(benchmark::State& state) {
  const bool accent = state.range(1) != 0;
  const TaskStrings base = lists(state.range(0), 0, accent), mine = lists(state.range(0), 1, accent),
                    theirs = lists(state.range(0), 2, accent);
  for (auto _ : state)
    benchmark::DoNotOptimize(quillbox::mergeItemLists(base.tasks, mine.tasks, theirs.tasks));
  report(state, base);
}

void MergeTaskLists(benchmark::State& state) {
  const TaskStrings base = lists(state.range(0), 0, false), mine = lists(state.range(0), 1, false),
                    theirs = lists(state.range(0), 2, false);
  for (auto _ : state) benchmark::DoNotOptimize(quillbox::mergeTaskLists(base, mine, theirs));
  report(state, base);
}

BENCHMARK(DecodeFloor)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(HashFloor)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(MergeItemLists)->ArgsProduct({{1000, 10000, 100000}, {0, 1}});
BENCHMARK(MergeTaskLists)->Arg(1000)->Arg(10000)->Arg(100000);

}  // namespace
