#include "app/cli/raw_commands.h"

#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "app/content_view.h"
#include "base/escape.h"
#include "platform/sync/cloud_store.h"
#include "platform/view/view_render.h"
#include "platform/view/window.h"
#include "screens/notes/notes_view.h"
#include "screens/tags/tags_view.h"
#include "screens/tasks/todo_view.h"

namespace quillbox {

namespace {

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

Result<std::unique_ptr<Window>> openTreeWindow(const std::string& screen, Session& session) {
  if (screen == "notes") return openScreen(session, NotesView(session.env));
  if (screen == "tasks") return openScreen(session, ToDoView(session.env));
  if (screen == "tags") return openScreen(session, TagsView(session.env));
  std::unique_ptr<Window> window = QuillboxApp().makeWindow(session.env);
  if (Status opened = window->open(); !opened.ok()) return opened;
  return window;
}

Status printTree(const RawOptions& options, CommandContext& context) {
  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  Result<std::unique_ptr<Window>> opened = openTreeWindow(options.screen, *session.value());
  if (!opened) return opened.status();
  if (Status ended = endVisit(*session.value(), context.err); !ended.ok()) return ended;
  const std::unique_ptr<Window>& window = opened.value();
  if (options.json) {
    writeJson(context.out, window->tree(), 2);
    context.out << "\n";
  } else {
    writeText(context.out, window->tree());
  }
  return Status::Ok();
}

Status storeGet(const RawOptions& options, CommandContext& context) {
  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  Result<std::string> stored = session.value()->store->read(options.key);
  if (!stored) return stored.status();
  context.out << stored.value() << "\n";
  return Status::Ok();
}

Status storeSet(const RawOptions& options, CommandContext& context) {
  std::string stored = readValue(options.value, context.in);
  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  return asStoreFailure(session.value()->store->set(options.key, stored));
}

Status cloudGet(const RawOptions& options, CommandContext& context) {
  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  std::optional<std::string> found = session.value()->env.cloud().stringForKey(options.key);
  if (Status ended = endVisit(*session.value(), context.err); !ended.ok()) return ended;
  if (!found) return Status::Error("cloud: nothing under " + terminalSafe(options.key));
  context.out << *found << "\n";
  return Status::Ok();
}

Status cloudSet(const RawOptions& options, CommandContext& context) {
  std::string stored = readValue(options.value, context.in);
  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  CloudStore& cloudStore = session.value()->env.cloud();
  // A store that keeps the write to send later has not lost it; a write neither sent nor kept is a
  // failure: the person's when the key cannot name a value, else the store's.
  Status written = cloudStore.setString(stored, options.key);
  if (written.code() == Status::Code::conflict) {
    // Held back by another device's newer value: withdrawn, so that no later command delivers what
    // this one reports as failed.
    Status withdrawn = cloudStore.withdraw(options.key);
    (void)endVisit(*session.value(), context.err);
    if (!withdrawn.ok())
      return Status::Error(
          "cloud: " + terminalSafe(written.message()) +
          "; the write could not be withdrawn and may still be sent: " + terminalSafe(withdrawn.message()));
    return Status::Error("cloud: " + terminalSafe(written.message()) + "; nothing was written");
  }
  if (!written.ok()) {
    std::string message = "cloud: " + terminalSafe(written.message());
    return written.code() == Status::Code::invalid ? Status::Invalid(message) : Status::Error(message);
  }
  return endVisit(*session.value(), context.err);
}

Status cloudStatus(const RawOptions&, CommandContext& context) {
  Result<std::unique_ptr<Session>> session = openSession(context.options);
  if (!session) return session.status();
  CloudStore& cloudStore = session.value()->env.cloud();
  cloudStore.flushPending(kCloudFlushMs);
  Status health = cloudStore.health();
  context.out << "store: " << terminalSafe(cloudStore.describe()) << "\n";
  context.out << "status: " << (health.ok() ? "ok" : terminalSafe(health.message())) << "\n";
  for (const std::string& pending : cloudStore.pendingKeys()) {
    context.out << "pending: " << terminalSafe(pending) << "\n";
  }
  return Status::Ok();
}

}  // namespace

void addRawCommands(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<RawOptions>();
  CommandContext* shared = &context;  // lives until the chosen command has run
  auto runs = [options, shared](Status (*run)(const RawOptions&, CommandContext&)) {
    return [options, shared, run] {
      shared->command = [options, shared, run] { return run(*options, *shared); };
    };
  };

  CLI::App* tree = app.add_subcommand("tree", "print a screen's view tree after its Appear");
  tree->add_option("SCREEN", options->screen, "notes, tasks, tags or app")
      ->required()
      ->check(CLI::IsMember({"notes", "tasks", "tags", "app"}));
  tree->add_flag("--json", options->json, "the tree as JSON");
  tree->callback(runs(printTree));

  // A raw store's get KEY and set KEY VALUE.
  auto addGetAndSet = [&](CLI::App* parent, const char* getHelp, auto get, const char* setHelp, auto set) {
    parent->require_subcommand(1);
    CLI::App* getCommand = parent->add_subcommand("get", getHelp);
    getCommand->add_option("KEY", options->key)->required();
    getCommand->callback(runs(get));
    CLI::App* setCommand = parent->add_subcommand("set", setHelp);
    setCommand->add_option("KEY", options->key)->required();
    setCommand->add_option("VALUE", options->value)->required();
    setCommand->callback(runs(set));
  };
  addGetAndSet(app.add_subcommand("store", "the local settings store, raw"),
               "print the string stored under KEY (\"\" when none)", storeGet,
               "store VALUE under KEY (- reads standard input)", storeSet);
  CLI::App* cloud = app.add_subcommand("cloud", "the cloud store, raw");
  addGetAndSet(cloud, "print the string under KEY; exits 1 when the key holds nothing", cloudGet,
               "put VALUE under KEY (- reads standard input)", cloudSet);
  cloud->add_subcommand("status", "the cloud store, whether it answers, and what waits to be sent")
      ->callback(runs(cloudStatus));
}

}  // namespace quillbox
