// Costs of the persisted list string operations at 1k, 10k and 100k entries of about 20 ASCII bytes each,
// beside two floors: ScanFloor only finds every separator in the same bytes, the least any split can do;
// ItemAllocationFloor copies the same entries into a vector of strings (one heap string per entry longer
// than the small-string buffer): what a decode into separately owned strings would cost at the least.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/list_string.h"

namespace {

using quillbox::kItemSeparator;

const char* const kWords[] = {"buy", "milk", "call", "mum", "fix",  "bike", "read", "book",
                              "pay", "rent", "walk", "dog", "plan", "trip", "send", "mail"};

// Entry i: "note 000042 walk dog" and the like, 20 bytes.
std::string entry(std::int64_t i) {
  std::string text = "note " + std::to_string(1000000 + i).substr(1) + " ";
  text += kWords[i % 16];
  text += ' ';
  text += kWords[(i / 16 + 7) % 16];
  return text;
}

std::string itemString(std::int64_t count) {
  std::string stored;
  for (std::int64_t i = 0; i < count; ++i) stored.append(entry(i)).append(kItemSeparator);
  return stored;
}

std::string indexString(std::int64_t count) {
  std::string stored;
  for (std::int64_t i = 0; i < count; ++i) stored.append(std::to_string(i * 7)).append(",");
  return stored;
}

void report(benchmark::State& state, const std::string& stored) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stored.size()));
  state.counters["entries"] = static_cast<double>(state.range(0));
}

std::size_t countSeparators(std::string_view stored, std::string_view separator) {
  std::size_t count = 0;
  for (std::size_t at = stored.find(separator); at != std::string_view::npos;
       at = stored.find(separator, at + separator.size())) {
    ++count;
  }
  return count;
}

// Runs op on a stored string again and again, and reports the string's size.
template <class Op>
void overStored(benchmark::State& state, const std::string& stored, Op op) {
  for (auto _ : state) benchmark::DoNotOptimize(op(stored));
  report(state, stored);
}

void ItemScanFloor(benchmark::State& state) {
  overStored(state, itemString(state.range(0)),
             [&](const std::string& stored) { return countSeparators(stored, kItemSeparator); });
}

void ItemAllocationFloor(benchmark::State& state) {
  const std::string stored = itemString(state.range(0));
  std::vector<std::string_view> pieces;
  std::string_view rest = stored;
  for (std::size_t at = rest.find(kItemSeparator); at != std::string_view::npos;
       at = rest.find(kItemSeparator)) {
    pieces.push_back(rest.substr(0, at));
    rest.remove_prefix(at + kItemSeparator.size());
  }
  for (auto _ : state) {
    std::vector<std::string> items;
    for (std::string_view piece : pieces) items.emplace_back(piece);
    benchmark::DoNotOptimize(items);
  }
  report(state, stored);
}

void DecodeItemList(benchmark::State& state) {
  overStored(state, itemString(state.range(0)),
             [&](const std::string& stored) { return quillbox::decodeItemList(stored); });
}

void AppendItem(benchmark::State& state) {
  overStored(state, itemString(state.range(0)),
             [&](const std::string& stored) { return quillbox::appendItem(stored, "one more thing to do"); });
}

// Removes an entry from the middle of the list (ASCII: the common case).
void RemoveItemsEqualTo(benchmark::State& state) {
  const std::string removed = entry(state.range(0) / 2);
  overStored(state, itemString(state.range(0)),
             [&](const std::string& stored) { return quillbox::removeItemsEqualTo(stored, removed); });
}

// The same removal by a text that is not in NFC, so every entry is compared to its canonical form.
void RemoveItemsEqualToDecomposed(benchmark::State& state) {
  const std::string removed = entry(state.range(0) / 2) + "e\u0301";
  overStored(state, itemString(state.range(0)),
             [&](const std::string& stored) { return quillbox::removeItemsEqualTo(stored, removed); });
}

void IndexScanFloor(benchmark::State& state) {
  overStored(state, indexString(state.range(0)),
             [&](const std::string& stored) { return countSeparators(stored, quillbox::kIndexSeparator); });
}

void DecodeIndexList(benchmark::State& state) {
  overStored(state, indexString(state.range(0)),
             [&](const std::string& stored) { return quillbox::decodeIndexList(stored); });
}

void RemoveIndex(benchmark::State& state) {
  overStored(state, indexString(state.range(0)), [&](const std::string& stored) {
    return quillbox::removeIndex(stored, state.range(0) / 2 * 7);
  });
}

#define LIST_SIZES Arg(1000)->Arg(10000)->Arg(100000)

BENCHMARK(ItemScanFloor)->LIST_SIZES;
BENCHMARK(ItemAllocationFloor)->LIST_SIZES;
BENCHMARK(DecodeItemList)->LIST_SIZES;
BENCHMARK(AppendItem)->LIST_SIZES;
BENCHMARK(RemoveItemsEqualTo)->LIST_SIZES;
BENCHMARK(RemoveItemsEqualToDecomposed)->LIST_SIZES;
BENCHMARK(IndexScanFloor)->LIST_SIZES;
BENCHMARK(DecodeIndexList)->LIST_SIZES;
BENCHMARK(RemoveIndex)->LIST_SIZES;

}  // namespace
