#include "app/raw_commands.h"

#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "app/content_view.h"
#include "base/escape.h"
#include "platform/cloud_store.h"
#include "platform/view_render.h"
#include "platform/window.h"
#include "screens/notes/notes_view.h"
#include "screens/tags/tags_view.h"
#include "screens/tasks/todo_view.h"

namespace quillbox {

namespace {

constexpr int kCloudFlushMs = 1500;

struct RawOptions {
  std::string screen;
  std::string key;
  std::string value;
  bool json = false;
};

std::string readValue(const std::string& value, std::istream& in) {
  if (value != "-") return value;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void printTree(const RawOptions& options, CommandContext& context) {
  auto session = openSession(context.options);
  std::unique_ptr<Window> window;
  if (options.screen == "notes") {
    window = openScreen(*session, NotesView(session->env));
  } else if (options.screen == "tasks") {
    window = openScreen(*session, ToDoView(session->env));
  } else if (options.screen == "tags") {
    window = openScreen(*session, TagsView(session->env));
  } else {
    window = QuillboxApp().makeWindow(session->env);
    throwIfFailed(window->open());
  }
  endVisit(*session, context.err);
  if (options.json) {
    writeJson(context.out, window->tree(), 2);
    context.out << "\n";
  } else {
    writeText(context.out, window->tree());
  }
}

void storeGet(const RawOptions& options, CommandContext& context) {
  auto session = openSession(context.options);
  Result<std::string> stored = session->store->read(options.key);
  throwIfFailed(stored.status());
  context.out << stored.value() << "\n";
}

void storeSet(const RawOptions& options, CommandContext& context) {
  std::string stored = readValue(options.value, context.in);
  auto session = openSession(context.options);
  Status status = session->store->set(options.key, stored);
  if (!status.ok()) throw Failure{kStoreError, status.message()};
}

void cloudGet(const RawOptions& options, CommandContext& context) {
  auto session = openSession(context.options);
  std::optional<std::string> found = session->env.cloud().stringForKey(options.key);
  endVisit(*session, context.err);
  if (!found) throw Failure{kStoreError, "cloud: nothing under " + terminalSafe(options.key)};
  context.out << *found << "\n";
}

void cloudSet(const RawOptions& options, CommandContext& context) {
  std::string stored = readValue(options.value, context.in);
  auto session = openSession(context.options);
  CloudStore& cloudStore = session->env.cloud();
  // A store that keeps the write to send later has not lost it; a write neither sent nor kept is a
  // failure.
  Status written = cloudStore.setString(stored, options.key);
  if (!written.ok()) {
    int code = written.code() == Status::Code::invalid ? kUsageError : kStoreError;
    throw Failure{code, "cloud: " + terminalSafe(written.message())};
  }
  endVisit(*session, context.err);
}

void cloudStatus(const RawOptions&, CommandContext& context) {
  auto session = openSession(context.options);
  CloudStore& cloudStore = session->env.cloud();
  cloudStore.flushPending(kCloudFlushMs);
  Status health = cloudStore.health();
  context.out << "store: " << terminalSafe(cloudStore.describe()) << "\n";
  context.out << "status: " << (health.ok() ? "ok" : terminalSafe(health.message())) << "\n";
  for (const std::string& pending : cloudStore.pendingKeys()) {
    context.out << "pending: " << terminalSafe(pending) << "\n";
  }
}

}  // namespace

void addRawCommands(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<RawOptions>();
  CommandContext* shared = &context;  // lives until the chosen command has run
  auto runs = [options, shared](void (*run)(const RawOptions&, CommandContext&)) {
    return [options, shared, run] { shared->command = [options, shared, run] { run(*options, *shared); }; };
  };

  CLI::App* tree = app.add_subcommand("tree", "print a screen's view tree after its Appear");
  tree->add_option("SCREEN", options->screen, "notes, tasks, tags or app")
      ->required()
      ->check(CLI::IsMember({"notes", "tasks", "tags", "app"}));
  tree->add_flag("--json", options->json, "the tree as JSON");
  tree->callback(runs(printTree));

  CLI::App* store = app.add_subcommand("store", "the local settings store, raw");
  store->require_subcommand(1);
  CLI::App* storeGetCommand =
      store->add_subcommand("get", "print the string stored under KEY (\"\" when none)");
  storeGetCommand->add_option("KEY", options->key)->required();
  storeGetCommand->callback(runs(storeGet));
  CLI::App* storeSetCommand = store->add_subcommand("set", "store VALUE under KEY (- reads standard input)");
  storeSetCommand->add_option("KEY", options->key)->required();
  storeSetCommand->add_option("VALUE", options->value)->required();
  storeSetCommand->callback(runs(storeSet));

  CLI::App* cloud = app.add_subcommand("cloud", "the cloud store, raw");
  cloud->require_subcommand(1);
  CLI::App* cloudGetCommand =
      cloud->add_subcommand("get", "print the string under KEY; exits 1 when the key holds nothing");
  cloudGetCommand->add_option("KEY", options->key)->required();
  cloudGetCommand->callback(runs(cloudGet));
  CLI::App* cloudSetCommand = cloud->add_subcommand("set", "put VALUE under KEY (- reads standard input)");
  cloudSetCommand->add_option("KEY", options->key)->required();
  cloudSetCommand->add_option("VALUE", options->value)->required();
  cloudSetCommand->callback(runs(cloudSet));
  cloud->add_subcommand("status", "the cloud store, whether it answers, and what waits to be sent")
      ->callback(runs(cloudStatus));
}

}  // namespace quillbox
