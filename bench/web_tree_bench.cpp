// The server's share of one keystroke in the notes search field: the window runs the edit
// (Window), builds its tree again (Build), and the tree is compared with what the browser was sent
// and the changed records of the rows in view are written out (Diff); Keystroke is all of it.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "app/content_view.h"
#include "base/list_string.h"
#include "platform/page/web_tree.h"
#include "platform/sync/cloud_store.h"

namespace quillbox {
namespace {

constexpr const char* kNoteSearch = "/notes/0/1/0/0";

struct Notes {
  explicit Notes(int count) {
    home = std::filesystem::temp_directory_path() / ("quillbox-web-bench-" + std::to_string(::getpid()));
    std::filesystem::remove_all(home);
    store = SettingsStore::open(home).value();
    std::string list;
    for (int i = 1; i <= count; ++i) list = appendItem(list, "Note " + std::to_string(i) + " word");
    (void)store->set("stringNotes", list);
    Environment env{store, [this]() -> CloudStore& { return cloud; }, std::make_shared<Device>(Idiom::phone)};
    window = QuillboxApp().makeWindow(env);
    window->open();
  }
  ~Notes() {
    window.reset();
    store.reset();
    std::filesystem::remove_all(home);
  }
  std::filesystem::path home;
  std::shared_ptr<SettingsStore> store;
  MemoryCloudStore cloud;
  std::unique_ptr<Window> window;
};

// The search text goes "4", "42", "421" and back; each step is one keystroke.
const char* const kTyping[] = {"4", "42", "421", "42", "4", ""};

void BM_SearchKeystrokeWindow(benchmark::State& state) {
  Notes notes(static_cast<int>(state.range(0)));
  std::size_t step = 0;
  for (auto _ : state) {
    (void)notes.window->edit(kNoteSearch, kTyping[step++ % std::size(kTyping)]);
  }
}
BENCHMARK(BM_SearchKeystrokeWindow)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_SearchKeystrokeBuild(benchmark::State& state) {
  Notes notes(static_cast<int>(state.range(0)));
  std::size_t step = 0;
  for (auto _ : state) {
    state.PauseTiming();
    (void)notes.window->edit(kNoteSearch, kTyping[step++ % std::size(kTyping)]);
    state.ResumeTiming();
    benchmark::DoNotOptimize(notes.window->snapshot().get());
  }
}
BENCHMARK(BM_SearchKeystrokeBuild)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_SearchKeystrokeDiff(benchmark::State& state) {
  Notes notes(static_cast<int>(state.range(0)));
  web::TreeMirror mirror;
  (void)mirror.diff(notes.window->tree());
  std::size_t step = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    (void)notes.window->edit(kNoteSearch, kTyping[step++ % std::size(kTyping)]);
    const Element& tree = notes.window->tree();
    state.ResumeTiming();
    bytes += mirror.diff(tree).size();
  }
  state.counters["bytes"] =
      benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_SearchKeystrokeDiff)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_SearchKeystroke(benchmark::State& state) {
  Notes notes(static_cast<int>(state.range(0)));
  web::TreeMirror mirror;
  (void)mirror.diff(notes.window->tree());
  std::size_t step = 0;
  for (auto _ : state) {
    (void)notes.window->edit(kNoteSearch, kTyping[step++ % std::size(kTyping)]);
    benchmark::DoNotOptimize(mirror.diff(notes.window->tree()).size());
  }
}
BENCHMARK(BM_SearchKeystroke)->Arg(100)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillbox
