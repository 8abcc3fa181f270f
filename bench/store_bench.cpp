// The cost of keeping one large list: a 10,000-entry list string (about 200 KB) written to and
// read from the local settings store and the folder cloud store (its outbox in the home's
// database, then the folder), and the folder alone. Every settings write and every folder write is
// durable (synced to the disk) before it returns.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/store/settings_store.h"
#include "platform/sync/cloud_store.h"
#include "platform/transports/cloud_store_spec.h"
#include "platform/transports/folder_transport.h"

namespace quillbox {
namespace {

namespace fs = std::filesystem;

// 10,000 entries in the item list encoding, about 200 KB.
std::string bigList(char last = 'z') {
  std::string list;
  for (int i = 0; i < 10000; ++i) list += "note " + std::to_string(i) + "NOTES_SEPARATOR";
  list.back() = last;  // two lists that differ in their last byte: each write is a real one
  return list;
}

// A fresh folder on the same disk as the build, removed at the end.
class ScratchHome {
 public:
  ScratchHome() {
    std::string pattern = (fs::current_path() / "store-bench-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~ScratchHome() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::shared_ptr<SettingsStore> openSettings(const ScratchHome& home) {
  auto opened = SettingsStore::open(home.path());
  if (!opened.ok()) return nullptr;
  return opened.value();
}

void BM_SettingsSetList(benchmark::State& state) {
  ScratchHome home;
  auto store = openSettings(home);
  if (!store) return state.SkipWithError("cannot open the settings store");
  const std::string lists[2] = {bigList('y'), bigList('z')};
  int which = 0;
  for (auto _ : state) {
    if (!store->set("stringNotes", lists[which ^= 1]).ok()) return state.SkipWithError("write failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(lists[0].size()));
}
BENCHMARK(BM_SettingsSetList)->Unit(benchmark::kMillisecond);

void BM_SettingsSetEqualList(benchmark::State& state) {
  ScratchHome home;
  auto store = openSettings(home);
  if (!store) return state.SkipWithError("cannot open the settings store");
  const std::string list = bigList();
  if (!store->set("stringNotes", list).ok()) return state.SkipWithError("write failed");
  for (auto _ : state) {
    if (!store->set("stringNotes", list).ok()) return state.SkipWithError("write failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(list.size()));
}
BENCHMARK(BM_SettingsSetEqualList)->Unit(benchmark::kMicrosecond);

void BM_SettingsGetList(benchmark::State& state) {
  ScratchHome home;
  auto store = openSettings(home);
  if (!store) return state.SkipWithError("cannot open the settings store");
  const std::string list = bigList();
  if (!store->set("stringNotes", list).ok()) return state.SkipWithError("write failed");
  for (auto _ : state) benchmark::DoNotOptimize(store->get("stringNotes"));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(list.size()));
}
BENCHMARK(BM_SettingsGetList)->Unit(benchmark::kMicrosecond);

void BM_SettingsGeneration(benchmark::State& state) {
  ScratchHome home;
  auto store = openSettings(home);
  if (!store) return state.SkipWithError("cannot open the settings store");
  for (auto _ : state) benchmark::DoNotOptimize(store->generation());
}
BENCHMARK(BM_SettingsGeneration)->Unit(benchmark::kMicrosecond);

// The folder store as the app uses it: recorded in the outbox, written to the folder, forgotten.
void BM_FolderSetStringList(benchmark::State& state) {
  ScratchHome home;
  auto made = makeCloudStore(CloudOptions((home.path() / "cloud").string()), home.path());
  if (!made.ok()) return state.SkipWithError(made.status().message().c_str());
  CloudStore& store = *made.value();
  const std::string lists[2] = {bigList('y'), bigList('z')};
  int which = 0;
  for (auto _ : state) {
    if (!store.setString(lists[which ^= 1], "notesFromCloud").ok())
      return state.SkipWithError("write failed");
  }
  if (!store.health().ok()) state.SkipWithError(store.health().message().c_str());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(lists[0].size()));
}
BENCHMARK(BM_FolderSetStringList)->Unit(benchmark::kMillisecond);

// The folder alone, without the outbox: the floor of the line above.
void BM_FolderTransportSetList(benchmark::State& state) {
  ScratchHome home;
  auto made = FolderTransport::open(home.path() / "cloud");
  if (!made.ok()) return state.SkipWithError(made.status().message().c_str());
  const std::string lists[2] = {bigList('y'), bigList('z')};
  int which = 0;
  for (auto _ : state) {
    if (!made.value()->set("notesFromCloud", lists[which ^= 1]).ok())
      return state.SkipWithError("write failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(lists[0].size()));
}
BENCHMARK(BM_FolderTransportSetList)->Unit(benchmark::kMillisecond);

void BM_FolderStringForKeyList(benchmark::State& state) {
  ScratchHome home;
  auto made = makeCloudStore(CloudOptions((home.path() / "cloud").string()), home.path());
  if (!made.ok()) return state.SkipWithError(made.status().message().c_str());
  CloudStore& store = *made.value();
  const std::string list = bigList();
  if (!store.setString(list, "notesFromCloud").ok()) return state.SkipWithError("write failed");
  for (auto _ : state) benchmark::DoNotOptimize(store.stringForKey("notesFromCloud"));
  if (!store.health().ok()) state.SkipWithError(store.health().message().c_str());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(list.size()));
}
BENCHMARK(BM_FolderStringForKeyList)->Unit(benchmark::kMicrosecond);

// A screen's load: the value and whether an unsent write waits to be merged onto it.
void BM_FolderLoadCopyList(benchmark::State& state) {
  ScratchHome home;
  auto made = makeCloudStore(CloudOptions((home.path() / "cloud").string()), home.path());
  if (!made.ok()) return state.SkipWithError(made.status().message().c_str());
  CloudStore& store = *made.value();
  const std::string list = bigList();
  if (!store.setString(list, "notesFromCloud").ok()) return state.SkipWithError("write failed");
  for (auto _ : state) benchmark::DoNotOptimize(store.loadCopy("notesFromCloud"));
  if (!store.health().ok()) state.SkipWithError(store.health().message().c_str());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(list.size()));
}
BENCHMARK(BM_FolderLoadCopyList)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quillbox
