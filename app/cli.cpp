#include "app/cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/content_view.h"
#include "app/devices_commands.h"
#include "app/history_commands.h"
#include "app/serve.h"
#include "app/visit.h"
#include "platform/app_info.h"
#include "platform/cloud_store.h"
#include "platform/home.h"
#include "platform/settings_store.h"
#include "platform/view_render.h"
#include "platform/window.h"
#include "screens/notes/notes_view.h"
#include "screens/tags/tags_view.h"
#include "screens/tasks/todo_view.h"
#include "storage/text.h"
#include "storage/url.h"

namespace quillbox {

std::string terminalSafe(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  auto escapeByte = [&](unsigned char byte) {
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
  };
  for (std::size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      if (byte == '\n') {
        out += "\\n";
      } else if (byte == '\t') {
        out += "\\t";
      } else if (byte == '\r') {
        out += "\\r";
      } else if (byte < 0x20 || byte == 0x7f) {
        escapeByte(byte);
      } else {
        out += static_cast<char>(byte);
      }
      ++i;
      continue;
    }
    // A multi-byte sequence: kept when it is well-formed UTF-8 and not a C1 control.
    std::size_t length = byte >= 0xf0 ? 4 : byte >= 0xe0 ? 3 : byte >= 0xc0 ? 2 : 1;
    std::string_view sequence = text.substr(i, length);
    bool c1 =
        length == 2 && byte == 0xc2 && sequence.size() == 2 && static_cast<unsigned char>(sequence[1]) < 0xa0;
    if (length > 1 && sequence.size() == length && isValidUtf8(sequence) && !c1) {
      out += sequence;
      i += length;
    } else if (c1) {
      escapeByte(static_cast<unsigned char>(sequence[1]));
      i += 2;
    } else {
      escapeByte(byte);
      ++i;
    }
  }
  return out;
}

namespace {

constexpr int kCloudFlushMs = 1500;

// A row number as printed by `list`: 1 up to the list's length.
std::int64_t rowPosition(const std::string& text, std::size_t count, const std::string& command) {
  std::int64_t number = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) {
    throw Failure{kUsageError, command + ": not a row number: " + terminalSafe(text)};
  }
  if (number < 1 || static_cast<std::uint64_t>(number) > count) {
    throw Failure{kUsageError, command + ": no row " + std::to_string(number) + " (the list has " +
                                   std::to_string(count) + (count == 1 ? " row)" : " rows)")};
  }
  return number - 1;
}

// A tag given as its glyph or its colour name.
std::string tagFor(const std::string& given) {
  for (std::size_t i = 0; i < kTags.size(); ++i) {
    if (given == kTags[i] || given == kTagNames[i] || textEquals(given, kTags[i]))
      return std::string(kTags[i]);
  }
  if (given == "\u26AB") return std::string(kTags[7]);  // black typed without its variation selector
  throw Failure{kUsageError, "not a tag: " + terminalSafe(given) +
                                 " (red, green, yellow, orange, brown, purple, blue, black or a glyph)"};
}

struct Row {
  std::int64_t number;
  std::string text;
  std::string label;  // "text", "link" or "none"
  std::optional<bool> finished;
};

Row rowFor(std::size_t position, std::string_view text) {
  Row row{static_cast<std::int64_t>(position) + 1, std::string(text), "text", std::nullopt};
  if (isLinkText(text)) row.label = parseURL(text) ? "link" : "none";
  return row;
}

void printRows(const std::vector<Row>& rows, bool json, std::ostream& out) {
  if (json) {
    Json array = Json::array();
    for (const Row& row : rows) {
      Json item{{"number", row.number}, {"text", row.text}, {"label", row.label}};
      if (row.finished) item["finished"] = *row.finished;
      array.push_back(std::move(item));
    }
    out << dumpJson(array, 2) << "\n";
    return;
  }
  for (const Row& row : rows) {
    out << row.number << '\t';
    if (row.finished) out << (*row.finished ? "[x] " : "[ ] ");
    // The label as the screen shows it: the text, a link's address, nothing for a bad link.
    if (row.label != "none") out << terminalSafe(row.text);
    out << '\n';
  }
}

std::vector<Row> noteRows(const NotesView& view) {
  std::vector<Row> rows;
  const ItemList& notes = view.notes.get();
  for (std::size_t p = 0; p < notes.size(); ++p) {
    if (view.isNoteShown(static_cast<std::int64_t>(p))) rows.push_back(rowFor(p, notes[p]));
  }
  return rows;
}

std::vector<Row> taskRows(const ToDoView& view) {
  std::vector<Row> rows;
  const ItemList& tasks = view.tasks.get();
  for (std::size_t p = 0; p < tasks.size(); ++p) {
    auto position = static_cast<std::int64_t>(p);
    if (!view.isTaskShown(position)) continue;
    Row row = rowFor(p, tasks[p]);
    row.finished = view.isFinished(position);
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<Row> tagRows(const TagsView& view) {
  std::vector<Row> rows;
  const ItemList& notes = view.taggedNotes.get();
  for (std::size_t p = 0; p < notes.size(); ++p) {
    if (view.isTaggedNoteShown(static_cast<std::int64_t>(p))) rows.push_back(rowFor(p, notes[p]));
  }
  return rows;
}

std::string readValue(const std::string& value, std::istream& in) {
  if (value != "-") return value;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int runCommandLine(int argc, const char* const* argv, std::istream& in, std::ostream& terminal,
                   std::ostream& terminalErr) {
  // What a command prints is collected and written once it has ended and let go of the home's
  // lock: a reader that is slow to take it (a pager, a full pipe) never holds up anyone else.
  std::ostringstream out;
  std::ostringstream err;
  auto printCollected = [&] {
    terminalErr << err.str();
    terminal << out.str();
    terminal.flush();
    err.str("");
    out.str("");
  };

  CLI::App app{"Quillbox: notes, to-dos and tagged notes that follow you to your other devices.", "quillbox"};
  app.set_version_flag("--version", mainAppInfo().appTitle());
  app.require_subcommand(0, 1);
  app.fallthrough();

  GlobalOptions options;
  app.add_option("--home", options.home,
                 "the device's data folder (default: $QUILLBOX_HOME, else $XDG_DATA_HOME/quillbox)");
  app.add_option("--cloud", options.cloud,
                 "cloud store: a folder path, redis://..., unix://... or a Quillbox server "
                 "https://HOST:PORT/ (default: $QUILLBOX_CLOUD, else <home>/cloud)");
  std::string cloudCa;
  app.add_option(
      "--cloud-ca", cloudCa,
      "also trust the certificates in FILE for an https:// cloud store (default: $QUILLBOX_CLOUD_CA)");
  app.add_option("--idiom", options.idiom, "the device the trees are drawn for")
      ->check(CLI::IsMember({"phone", "pad"}));

  std::function<void()> command;
  std::string text, number, search, tag = "red", key, value, screen;
  bool json = false;

  auto listCommand = [&](CLI::App* parent, auto run) {
    CLI::App* list = parent->add_subcommand("list", "print the rows the screen would draw");
    list->add_option("--search", search, "only rows that contain TEXT");
    list->add_flag("--json", json, "one JSON object per row");
    list->callback([&, run] { command = run; });
    return list;
  };

  // notes
  CLI::App* notes = app.add_subcommand("notes", "the numbered list of free notes");
  notes->require_subcommand(1);
  auto notesVisit = [&](const std::function<void(NotesView&, Window&)>& operation, bool print) {
    auto session = openSession(options);
    NotesView view(session->env);
    auto window = openScreen(*session, view);
    if (operation) operation(view, *window);
    endVisit(*session, err);
    if (print) printRows(noteRows(view), json, out);
  };
  listCommand(notes,
              [&] { notesVisit([&](NotesView& view, Window&) { view.searchNotes.set(search); }, true); });
  notes->add_subcommand("add", "add a note at the end")
      ->callback([&] {
        command = [&] {
          notesVisit(
              [&](NotesView& view, Window& window) {
                runOperation(window, [&] {
                  view.notesTextField.set(text);
                  return view.addNote();
                });
              },
              true);
        };
      })
      ->add_option("TEXT", text, "the note, exactly as given")
      ->required();
  notes->add_subcommand("delete", "delete row N and every note equal to it")
      ->callback([&] {
        command = [&] {
          notesVisit(
              [&](NotesView& view, Window& window) {
                std::int64_t p = rowPosition(number, view.notes.get().size(), "notes delete");
                runOperation(window, [&] { return view.deleteNote(p); });
              },
              true);
        };
      })
      ->add_option("N", number, "the row number as listed")
      ->required();

  // tasks
  CLI::App* tasks = app.add_subcommand("tasks", "the to-dos and their finished marks");
  tasks->require_subcommand(1);
  auto tasksVisit = [&](const std::function<void(ToDoView&, Window&)>& operation, bool print) {
    auto session = openSession(options);
    ToDoView view(session->env);
    auto window = openScreen(*session, view);
    if (operation) operation(view, *window);
    endVisit(*session, err);
    if (print) printRows(taskRows(view), json, out);
  };
  listCommand(tasks,
              [&] { tasksVisit([&](ToDoView& view, Window&) { view.searchTasks.set(search); }, true); });
  tasks->add_subcommand("add", "add a to-do at the end")
      ->callback([&] {
        command = [&] {
          tasksVisit(
              [&](ToDoView& view, Window& window) {
                runOperation(window, [&] {
                  view.tasksTextField.set(text);
                  return view.addTask();
                });
              },
              true);
        };
      })
      ->add_option("TEXT", text, "the to-do, exactly as given")
      ->required();
  tasks->add_subcommand("toggle", "mark row N finished, or unfinished again")
      ->callback([&] {
        command = [&] {
          tasksVisit(
              [&](ToDoView& view, Window& window) {
                std::int64_t p = rowPosition(number, view.tasks.get().size(), "tasks toggle");
                runOperation(window, [&] { return view.toggleFinished(p); });
              },
              true);
        };
      })
      ->add_option("N", number, "the row number as listed")
      ->required();
  tasks->add_subcommand("delete", "delete row N and every to-do equal to it")
      ->callback([&] {
        command = [&] {
          tasksVisit(
              [&](ToDoView& view, Window& window) {
                std::int64_t p = rowPosition(number, view.tasks.get().size(), "tasks delete");
                runOperation(window, [&] { return view.deleteTask(p); });
              },
              true);
        };
      })
      ->add_option("N", number, "the row number as listed")
      ->required();

  // tags
  CLI::App* tags = app.add_subcommand("tags", "short notes under eight colour tags");
  tags->require_subcommand(1);
  auto tagsVisit = [&](const std::function<void(TagsView&, Window&)>& operation, bool print) {
    std::string chosen = tagFor(tag);
    auto session = openSession(options);
    TagsView view(session->env);
    view.selectedTag.set(chosen);
    auto window = openScreen(*session, view);
    if (operation) operation(view, *window);
    endVisit(*session, err);
    if (print) printRows(tagRows(view), json, out);
  };
  CLI::App* tagsList = listCommand(
      tags, [&] { tagsVisit([&](TagsView& view, Window&) { view.searchTaggedNotes.set(search); }, true); });
  tagsList->add_option("--tag", tag,
                       "the tag whose notes are listed: a glyph or a colour name (default red)");
  CLI::App* tagsAdd = tags->add_subcommand("add", "add a note under a tag");
  tagsAdd->add_option("--tag", tag, "the note's tag: a glyph or a colour name (default red)");
  tagsAdd->add_option("TEXT", text, "the note, exactly as given")->required();
  tagsAdd->callback([&] {
    command = [&] {
      tagsVisit(
          [&](TagsView& view, Window& window) {
            runOperation(window, [&] {
              view.taggedNotesTextField.set(text);
              return view.addTaggedNote();
            });
          },
          true);
    };
  });
  CLI::App* tagsDelete = tags->add_subcommand("delete", "delete row N and every entry equal to it");
  tagsDelete->add_option("N", number, "the row number as listed")->required();
  tagsDelete->add_option("--tag", tag, "the tag whose rows are printed afterwards (default red)");
  tagsDelete->callback([&] {
    command = [&] {
      tagsVisit(
          [&](TagsView& view, Window& window) {
            std::int64_t p = rowPosition(number, view.taggedNotes.get().size(), "tags delete");
            runOperation(window, [&] { return view.deleteTaggedNote(p); });
          },
          true);
    };
  });

  // tree
  CLI::App* tree = app.add_subcommand("tree", "print a screen's view tree after its Appear");
  tree->add_option("SCREEN", screen, "notes, tasks, tags or app")
      ->required()
      ->check(CLI::IsMember({"notes", "tasks", "tags", "app"}));
  tree->add_flag("--json", json, "the tree as JSON");
  tree->callback([&] {
    command = [&] {
      auto session = openSession(options);
      std::unique_ptr<Window> window;
      if (screen == "notes") {
        window = openScreen(*session, NotesView(session->env));
      } else if (screen == "tasks") {
        window = openScreen(*session, ToDoView(session->env));
      } else if (screen == "tags") {
        window = openScreen(*session, TagsView(session->env));
      } else {
        window = QuillboxApp().makeWindow(session->env);
        throwIfFailed(window->open());
      }
      endVisit(*session, err);
      if (json) {
        writeJson(out, window->tree(), 2);
        out << "\n";
      } else {
        writeText(out, window->tree());
      }
    };
  });

  // store
  CLI::App* store = app.add_subcommand("store", "the local settings store, raw");
  store->require_subcommand(1);
  store->add_subcommand("get", "print the string stored under KEY (\"\" when none)")
      ->callback([&] {
        command = [&] {
          auto session = openSession(options);
          Result<std::string> stored = session->store->read(key);
          throwIfFailed(stored.status());
          out << stored.value() << "\n";
        };
      })
      ->add_option("KEY", key)
      ->required();
  CLI::App* storeSet = store->add_subcommand("set", "store VALUE under KEY (- reads standard input)");
  storeSet->add_option("KEY", key)->required();
  storeSet->add_option("VALUE", value)->required();
  storeSet->callback([&] {
    command = [&] {
      std::string stored = readValue(value, in);
      auto session = openSession(options);
      Status status = session->store->set(key, stored);
      if (!status.ok()) throw Failure{kStoreError, status.message()};
    };
  });

  // cloud
  CLI::App* cloud = app.add_subcommand("cloud", "the cloud store, raw");
  cloud->require_subcommand(1);
  cloud->add_subcommand("get", "print the string under KEY; exits 1 when the key holds nothing")
      ->callback([&] {
        command = [&] {
          auto session = openSession(options);
          std::optional<std::string> found = session->env.cloud().stringForKey(key);
          endVisit(*session, err);
          if (!found) throw Failure{kStoreError, "cloud: nothing under " + terminalSafe(key)};
          out << *found << "\n";
        };
      })
      ->add_option("KEY", key)
      ->required();
  CLI::App* cloudSet = cloud->add_subcommand("set", "put VALUE under KEY (- reads standard input)");
  cloudSet->add_option("KEY", key)->required();
  cloudSet->add_option("VALUE", value)->required();
  cloudSet->callback([&] {
    command = [&] {
      std::string stored = readValue(value, in);
      auto session = openSession(options);
      CloudStore& cloudStore = session->env.cloud();
      // A store that keeps the write to send later has not lost it; a write neither sent nor kept
      // is a failure.
      Status written = cloudStore.setString(stored, key);
      if (!written.ok()) {
        int code = written.code() == Status::Code::invalid ? kUsageError : kStoreError;
        throw Failure{code, "cloud: " + terminalSafe(written.message())};
      }
      endVisit(*session, err);
    };
  });
  cloud->add_subcommand("status", "the cloud store, whether it answers, and what waits to be sent")
      ->callback([&] {
        command = [&] {
          auto session = openSession(options);
          CloudStore& cloudStore = session->env.cloud();
          cloudStore.flushPending(kCloudFlushMs);
          Status health = cloudStore.health();
          out << "store: " << terminalSafe(cloudStore.describe()) << "\n";
          out << "status: " << (health.ok() ? "ok" : terminalSafe(health.message())) << "\n";
          for (const std::string& pending : cloudStore.pendingKeys())
            out << "pending: " << terminalSafe(pending) << "\n";
        };
      });

  CommandContext context{options, command, in, out, err};
  addHistoryCommands(app, context);
  addDevicesCommands(app, context);

  // serve
  ServeOptions serve;
  CLI::App* serveCommand =
      app.add_subcommand("serve", "start the app for a browser on a phone, tablet or desktop");
  addServeOptions(*serveCommand, serve);
  serveCommand->callback([&] { command = nullptr; });

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    terminal << app.help();
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    terminal << app.help("", CLI::AppFormatMode::All);
    return 0;
  } catch (const CLI::CallForVersion&) {
    terminal << mainAppInfo().appTitle() << "\n";
    return 0;
  } catch (const CLI::ParseError& e) {
    terminalErr << "quillbox: " << terminalSafe(e.what()) << " (see quillbox --help)\n";
    return kUsageError;
  }

  // The https:// cloud store reads it where it reads its token.
  if (!cloudCa.empty()) ::setenv("QUILLBOX_CLOUD_CA", cloudCa.c_str(), 1);

  try {
    if (command) {
      command();  // its session, and with it the lock, ends within
      printCollected();
      return 0;
    }
    // No list command: the app itself.
    if (app.get_subcommands().empty() || serveCommand->parsed()) {
      serve.home = options.home;
      serve.cloud = cloudSpec(options);
      serve.idiom = options.idiom;
      return runServe(serve, terminal, terminalErr);
    }
    return 0;
  } catch (const Failure& failure) {
    err << "quillbox: " << failure.message << "\n";
    printCollected();
    return failure.code;
  }
}

}  // namespace quillbox
