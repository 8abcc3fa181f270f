// The cost of keeping history: one add to a 10,000-entry notes string (about 200 KB) written to
// the local settings store, with the replaced value kept as a version and without. Every write
// is durable (synced to the disk) before it returns. The history runs full, as it does on a
// device in use: 200 versions are kept before timing starts, so each add also drops one.
// And the import of a document with 100,000 members, through the command line in this process:
// a refusal of 100,000 list names, and a document whose "history" holds 100,000 members.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/cli.h"
#include "base/list_string.h"
#include "platform/store/settings_store.h"
#include "platform/temp_folder_test_support.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

// 10,000 entries in the item list encoding, about 200 KB.
std::string tenThousandNotes() {
  std::string list;
  for (int i = 0; i < 10000; ++i) list = appendItem(list, "note " + std::to_string(i));
  return list;
}

// A fresh folder on the same disk as the build, removed at the end.
struct ScratchHome : TempFolder {
  ScratchHome() : TempFolder(std::filesystem::current_path()) {}
};

// Each iteration is one add at the end of the same 10,000 entries, the entry differing from the
// one before, so every write is a change.
void addAtTenThousand(benchmark::State& state, SettingsStore::HistoryLimits limits) {
  ScratchHome home;
  auto opened = SettingsStore::open(home.path());
  if (!opened.ok()) return state.SkipWithError("cannot open the settings store");
  SettingsStore& store = *opened.value();
  store.setHistoryLimits(limits);
  const std::string notes = tenThousandNotes();
  int added = 0;
  auto add = [&] {
    return store.set("stringNotes", appendItem(notes, "added " + std::to_string(added++))).ok();
  };
  for (int i = 0; i < 201; ++i) {
    if (!add()) return state.SkipWithError("write failed");
  }
  for (auto _ : state) {
    if (!add()) return state.SkipWithError("write failed");
  }
  auto kept = store.versions("stringNotes");
  state.counters["versions"] = kept.ok() ? static_cast<double>(kept.value().size()) : -1;
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(notes.size()));
}

void BM_AddAt10kWithoutHistory(benchmark::State& state) { addAtTenThousand(state, {0, 0}); }
BENCHMARK(BM_AddAt10kWithoutHistory)->Unit(benchmark::kMillisecond);

// The default bounds: 200 versions of about 200 KB stay under the 64 MB bound.
void BM_AddAt10kWithHistory(benchmark::State& state) { addAtTenThousand(state, {}); }
BENCHMARK(BM_AddAt10kWithHistory)->Unit(benchmark::kMillisecond);

// The size bound reached at every add: the oldest versions are walked and dropped by size.
void BM_AddAt10kWithHistoryAtItsSizeBound(benchmark::State& state) {
  addAtTenThousand(state, {200, std::uint64_t{8} << 20});
}
BENCHMARK(BM_AddAt10kWithHistoryAtItsSizeBound)->Unit(benchmark::kMillisecond);

// Runs `quillbox --home HOME import -` on document; its exit code.
int importDocument(const fs::path& home, const std::string& document) {
  std::istringstream in(document);
  std::ostringstream out, err;
  std::string homeText = home.string();
  std::vector<const char*> argv{"quillbox", "--home", homeText.c_str(), "import", "-"};
  return runCommandLine(static_cast<int>(argv.size()), argv.data(), in, out, err);
}

void importMembers(benchmark::State& state, const std::string& prefix, const std::string& suffix,
                   int expected) {
  ScratchHome home;
  std::string document = prefix;
  for (int i = 0; i < 100000; ++i) document += (i ? ", \"k" : "\"k") + std::to_string(i) + "\": []";
  document += suffix;
  for (auto _ : state) {
    if (importDocument(home.path(), document) != expected) return state.SkipWithError("unexpected exit code");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(document.size()));
}

void BM_ImportRefusing100kListNames(benchmark::State& state) {
  importMembers(state, R"({"lists": {)", "}}", 2);
}
BENCHMARK(BM_ImportRefusing100kListNames)->Unit(benchmark::kMillisecond);

void BM_ImportWith100kHistoryMembers(benchmark::State& state) {
  importMembers(state, R"({"lists": {"notes": {"text": "a"}}, "history": {)", "}}", 0);
}
BENCHMARK(BM_ImportWith100kHistoryMembers)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillbox
